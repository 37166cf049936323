#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "huffman/huff_encode.h"
#include "jpegtestsupport.h"
#include "processor/kernel_dispatch.h"

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

// The samples, when every row decodes cleanly.
Bytes DecodeLossless(const Bytes& file)
{
    const Decoded got = DecodeAll(file);
    for (const jpeg_status row : got.rows) {
        EXPECT_EQ(row, JPEG_OK);
    }
    return got.start == JPEG_OK ? got.pixels : Bytes{};
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
