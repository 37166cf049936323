#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <cstring>
#include <random>
#include <turbojpeg.h>

#include "colour/colour_blocks.h"
#include "huffman/huff_encode.h"
#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"
#include "processor/kernel_dispatch.h"

// A 4:4:4 stream made by our encoding kernels decodes through the codec as libjpeg-turbo decodes it.

namespace {

struct Tables {
    Bytes segments;          // DQT and DHT as libjpeg-turbo wrote them
    const uint8_t* quant[2] = {};
    const uint8_t* huff[2][2][2] = {};  // [class][id]: counts, values
};

Tables PeerTables(const Bytes& file)
{
    Tables t;
    for (size_t p = 2; p + 4 <= file.size() && file[p] == 0xFF && file[p + 1] != 0xDA;) {
        const size_t len = size_t(file[p + 2]) << 8 | file[p + 3], end = p + 2 + len;
        if (file[p + 1] == 0xDB || file[p + 1] == 0xC4) t.segments.insert(t.segments.end(), file.begin() + long(p),
                                                                          file.begin() + long(end));
        p = end;
    }
    for (size_t p = 0; p < t.segments.size();) {
        const size_t len = size_t(t.segments[p + 2]) << 8 | t.segments[p + 3], end = p + 2 + len;
        for (size_t q = p + 4; q < end;) {
            const uint8_t k = t.segments[q];
            if (t.segments[p + 1] == 0xDB) {
                t.quant[k & 1] = &t.segments[q + 1];
                q += 65;
            } else {
                int total = 0;
                for (int i = 0; i < 16; ++i) total += t.segments[q + 1 + size_t(i)];
                t.huff[k >> 4][k & 1][0] = &t.segments[q + 1];
                t.huff[k >> 4][k & 1][1] = &t.segments[q + 17];
                q += 17 + size_t(total);
            }
        }
        p = end;
    }
    return t;
}

Bytes EncodeWithKernels(int level, const std::vector<uint8_t>& rgb, int w, int h, const Tables& t)
{
    uint16_t quant[2][64];
    HuffEncodeSpec spec[2][2];
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(dispatch_entry<dispatch_table_quant_table_init>(level)(t.quant[i], quant[i]), kernel_ok);
        for (int c = 0; c < 2; ++c)
            EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_spec_init>(level)(t.huff[c][i][0], t.huff[c][i][1],
                                                                                  &spec[c][i]),
                      kernel_ok);
    }
    HuffEncodeState state;
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_state_init>(level)(&state), kernel_ok);
    const auto encode = dispatch_entry<dispatch_table_encode_huffman_8x8>(level);
    Bytes scan(size_t(w) * size_t(h) * 4);
    int32_t pos = 0;
    int16_t last[3] = {};
    alignas(16) int16_t area[3 * 64];
    for (int my = 0; my < h / 8; ++my)
        for (int mx = 0; mx < w / 8; ++mx) {
            int16_t* blocks[3] = {area, area + 64, area + 128};
            const uint8_t* src = rgb.data() + (size_t(my) * 8 * size_t(w) + size_t(mx) * 8) * 3;
            EXPECT_EQ(dispatch_entry<dispatch_table_ycbcr_from_rgb_444_blocks>(level)(src, w * 3, blocks), kernel_ok);
            for (int c = 0; c < 3; ++c) {
                const int id = c == 0 ? 0 : 1;
                EXPECT_EQ(dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level)(blocks[c], quant[id]), kernel_ok);
                EXPECT_EQ(encode(blocks[c], scan.data(), int32_t(scan.size()), &pos, &last[c], &spec[0][id],
                                 &spec[1][id], &state, 0),
                          kernel_ok);
            }
        }
    EXPECT_EQ(encode(nullptr, scan.data(), int32_t(scan.size()), &pos, nullptr, nullptr, nullptr, &state, 1),
              kernel_ok);
    Bytes f = {0xFF, 0xD8};
    f.insert(f.end(), t.segments.begin(), t.segments.end());
    f.insert(f.end(), {0xFF, 0xC0, 0, 17, 8, uint8_t(h >> 8), uint8_t(h), uint8_t(w >> 8), uint8_t(w), 3, 1, 0x11,
                       0, 2, 0x11, 1, 3, 0x11, 1});
    f.insert(f.end(), {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
    f.insert(f.end(), scan.begin(), scan.begin() + pos);
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

}  // namespace

TEST(DecodeKernelEncoded, Stream444WithinTwoOfTurboJpegPlanesAtEveryLevel)
{
    const int w = 64, h = 48;
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const int v = (c == 0 ? x * 4 : c == 1 ? y * 5 : (x + y) * 2) + int(rng() % 17) - 8;
                rgb[(size_t(y) * w + size_t(x)) * 3 + size_t(c)] = uint8_t(std::clamp(v, 0, 255));
            }
    PeerOptions o;
    o.width = w;
    o.height = h;
    o.sampling[0] = 0x11;
    const Tables tables = PeerTables(PeerEncodeBaseline(o, rgb));
    ASSERT_TRUE(tables.quant[0] && tables.quant[1] && tables.huff[1][1][1]);
    jpeg_cpu_init();
    for (int level = 0; level <= dispatch_supported_level(); ++level) {
        SCOPED_TRACE(level);
        const Bytes file = EncodeWithKernels(level, rgb, w, h, tables);
        tjhandle tj = tjInitDecompress();
        std::vector<uint8_t> planes(size_t(w) * h * 3);
        unsigned char* plane[3] = {planes.data(), planes.data() + w * h, planes.data() + 2 * w * h};
        const int r = tjDecompressToYUVPlanes(tj, file.data(), static_cast<unsigned long>(file.size()), plane, w,
                                              nullptr, h, TJFLAG_ACCURATEDCT);
        tjDestroy(tj);
        ASSERT_EQ(r, 0);
        TestHeap heap;
        jpeg_decoder* decoder = OpenBytes(file, &heap);
        ASSERT_NE(decoder, nullptr);
        ASSERT_EQ(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(file.size()), nullptr), JPEG_OK);
        ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
        ASSERT_EQ(jpeg_color_code_channels(jpeg_output_color_code(decoder)), 3);
        std::vector<uint8_t> row(size_t(w) * 3);
        int worst = 0;
        for (int y = 0; y < h; ++y) {
            ASSERT_EQ(jpeg_decode_row(decoder, row.data()), JPEG_OK);
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    worst = std::max(worst, std::abs(int(row[size_t(x) * 3 + size_t(c)]) -
                                                     int(planes[size_t(c * w * h + y * w + x)])));
        }
        jpeg_decoder_destroy(decoder);
        EXPECT_LE(worst, 2);
    }
}

namespace {

struct LosslessImage {
    int width, height, precision;
    std::vector<uint16_t> samples;
};

int Category(uint16_t difference)
{
    const int value = int16_t(difference);
    if (value == -32768) return 16;
    int size = 0;
    for (int a = value < 0 ? -value : value; a != 0; a >>= 1) ++size;
    return size;
}

// One-component lossless file: differences by the kernels, one table built from their own
// category counts, rows coded by the row encoder.
Bytes EncodeLossless(int level, const LosslessImage& img, int predictor)
{
    const int w = img.width, h = img.height;
    std::vector<uint16_t> diffs(size_t(w) * size_t(h));
    for (int y = 0; y < h; ++y) {
        const uint16_t* row = img.samples.data() + size_t(y) * size_t(w);
        uint16_t* out = diffs.data() + size_t(y) * size_t(w);
        if (y == 0)
            EXPECT_EQ(dispatch_entry<dispatch_table_diff_lossless_first_row>(level)(row, out, w, img.precision, 0),
                      kernel_ok);
        else
            EXPECT_EQ(dispatch_entry<dispatch_table_diff_lossless_row>(level)(row, row - w, out, w, predictor),
                      kernel_ok);
    }
    std::vector<int32_t> counts(257, 0);
    for (uint16_t d : diffs) ++counts[size_t(Category(d))];
    uint8_t bits[16];
    uint8_t values[256];
    EXPECT_EQ(dispatch_entry<dispatch_table_generate_huff_table>(level)(counts.data(), bits, values), kernel_ok);
    int total = 0;
    for (uint8_t n : bits) total += n;
    HuffEncodeSpec spec;
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_spec_init>(level)(bits, values, &spec), kernel_ok);
    const HuffEncodeSpec* specs[1] = {&spec};
    HuffEncodeState state;
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_state_init>(level)(&state), kernel_ok);
    const auto encode = dispatch_entry<dispatch_table_encode_huffman_lossless_row>(level);
    Bytes scan(diffs.size() * 8 + 64);
    int32_t pos = 0;
    for (int y = 0; y < h; ++y) {
        const int16_t* rows[1] = {reinterpret_cast<const int16_t*>(diffs.data() + size_t(y) * size_t(w))};
        EXPECT_EQ(encode(rows, w, 1, scan.data(), int32_t(scan.size()), &pos, specs, &state, 0), kernel_ok);
    }
    EXPECT_EQ(encode(nullptr, 0, 0, scan.data(), int32_t(scan.size()), &pos, nullptr, &state, 1), kernel_ok);
    Bytes f;
    Marker(f, 0xD8);
    Frame(f, 0xC3, uint8_t(img.precision), uint16_t(h), uint16_t(w), {{1, 0x11, 0}});
    HuffmanTable(f, 0x00, bits, Bytes(values, values + total));
    Scan(f, {{1, 0x00}}, uint8_t(predictor), 0, 0);
    f.insert(f.end(), scan.begin(), scan.begin() + pos);
    Marker(f, 0xD9);
    return f;
}

// Samples as the codec hands them out: bytes up to 8 bits, little-endian words above.
Bytes SampleBytes(const LosslessImage& img)
{
    Bytes out;
    for (uint16_t v : img.samples) {
        out.push_back(uint8_t(v));
        if (img.precision > 8) out.push_back(uint8_t(v >> 8));
    }
    return out;
}

Bytes DecodeLossless(const Bytes& file)
{
    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(file, &heap);
    Bytes pixels;
    if (decoder != nullptr && jpeg_read_header(decoder, JPEG_COLOR_NONE, uint32_t(file.size()), nullptr) == JPEG_OK &&
        jpeg_start_decode(decoder) == JPEG_OK) {
        Bytes row(size_t(decoder->width) * (decoder->sample_bits > 8 ? 2 : 1));
        for (uint32_t y = 0; y < decoder->height; ++y) {
            EXPECT_EQ(jpeg_decode_row(decoder, row.data()), JPEG_OK);
            pixels.insert(pixels.end(), row.begin(), row.end());
        }
    }
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0);
    return pixels;
}

}  // namespace

// Lossless files written with the encoding kernels (every predictor, 8 to 16 bits, a 16-bit
// gradient across mid-range) decode to their samples through the codec at every level, and
// through dcmdjpeg.
TEST(DecodeKernelEncoded, LosslessFilesGiveTheirSamplesBackHereAndInDcmdjpeg)
{
    std::mt19937 rng(27);
    std::vector<LosslessImage> images;
    for (int p : {8, 12, 16}) {
        LosslessImage img{41, 13, p, std::vector<uint16_t>(41 * 13)};
        for (auto& v : img.samples) v = uint16_t(rng() & ((1u << p) - 1));
        images.push_back(img);
    }
    LosslessImage gradient{41, 13, 16, std::vector<uint16_t>(41 * 13)};
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 41; ++x)
            gradient.samples[size_t(y * 41 + x)] = uint16_t(30000 + 6000 * (x + y) / 52 + int(rng() % 200) - 100);
    images.push_back(gradient);
    jpeg_cpu_init();
    char dir[] = "/tmp/kv_lossless_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string list = std::string(dir) + "/list";
    FILE* listing = std::fopen(list.c_str(), "w");
    ASSERT_NE(listing, nullptr);
    std::vector<std::pair<std::string, Bytes>> expected;
    for (size_t i = 0; i < images.size(); ++i)
        for (int predictor = 1; predictor <= 7; ++predictor) {
            SCOPED_TRACE(::testing::Message() << "image " << i << " predictor " << predictor);
            const Bytes want = SampleBytes(images[i]);
            Bytes first;
            for (int level = 0; level <= dispatch_supported_level(); ++level) {
                SCOPED_TRACE(level);
                const Bytes file = EncodeLossless(level, images[i], predictor);
                EXPECT_EQ(DecodeLossless(file), want);
                if (level == 0) first = file;
            }
            const std::string name = std::string(dir) + "/" + std::to_string(i) + "_" + std::to_string(predictor);
            FILE* f = std::fopen((name + ".jpg").c_str(), "wb");
            ASSERT_NE(f, nullptr);
            std::fwrite(first.data(), 1, first.size(), f);
            std::fclose(f);
            std::fprintf(listing, "%s.jpg %d %d %d %s.raw\n", name.c_str(), images[i].width, images[i].height,
                         images[i].precision, name.c_str());
            expected.emplace_back(name + ".raw", want);
        }
    std::fclose(listing);
    const std::string command = "/usr/bin/python3 " JPEG_TEST_DATA_DIR "/dcmdjpeg_raw.py " + list;
    EXPECT_EQ(std::system(command.c_str()), 0);
    for (const auto& [raw, want] : expected) {
        SCOPED_TRACE(raw);
        Bytes got = ReadWholeFile(raw);
        // Pixel data is kept to an even length.
        EXPECT_EQ(got.size(), (want.size() + 1) & ~size_t(1));
        got.resize(want.size());
        EXPECT_EQ(got, want);
    }
    std::filesystem::remove_all(dir);
}
