#include <gtest/gtest.h>

#include <cstdlib>
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
