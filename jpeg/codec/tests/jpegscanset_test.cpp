#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"
#include "processor/kernel_dispatch.h"

// Lossy frames whose components come in scans of their own.

namespace {

// Within two of libjpeg-turbo's islow samples, half a level on average, every row clean.
void ExpectSeparateNearPeer(const Bytes& bytes, const std::string& what)
{
    const Decoded got = DecodeAll(bytes);
    EXPECT_TRUE(got.separate) << what;
    ExpectNearPeer(got, PeerDecode(bytes), got.width, 2, 0.5, what);
}

}   // namespace

// Every layout, sizes with partial MCUs at both edges, both scan orders, with and without
// restart intervals (which count blocks in such scans), on the kernels and on the plain level.
TEST(SeparateScans, LayoutsOrdersAndRestartsMatchLibjpegTurbo)
{
    struct Layout {
        const char* name;
        int components;
        uint8_t sampling[3];
    };
    const Layout layouts[] = {{"420", 3, {0x22, 0x11, 0x11}}, {"422", 3, {0x21, 0x11, 0x11}},
                              {"444", 3, {0x11, 0x11, 0x11}}, {"411", 3, {0x41, 0x11, 0x11}},
                              {"1x2", 3, {0x12, 0x11, 0x11}}, {"cmyk", 4, {0x11, 0x11, 0x11}}};
    const int sizes[3][2] = {{1, 1}, {33, 17}, {250, 131}};
    LevelGuard guard;
    for (const int32_t level : {guard.saved, 0}) {
        ASSERT_GE(dispatch_set_level(level), 0);
        for (const Layout& layout : layouts) {
            for (const auto& size : sizes) {
                for (const int order : {1, 2}) {
                    for (const int restart : {0, 5}) {
                        PeerOptions o;
                        o.width = size[0];
                        o.height = size[1];
                        o.components = layout.components;
                        std::memcpy(o.sampling, layout.sampling, 3);
                        o.restart_mcus = restart;
                        o.separate_scans = order;
                        ExpectSeparateNearPeer(
                            PeerEncodeBaseline(o, Picture(o.width, o.height, o.components)),
                            testing::PrintToString(std::vector<int>{size[0], size[1], order, restart, level}) +
                                layout.name);
                    }
                }
            }
        }
    }
}

// cjpeg's scan scripts: Y, Cb, Cr; Cr, Cb, Y; 4:2:2 with a restart every two blocks.
TEST(SeparateScans, CjpegScanScriptsMatchLibjpegTurbo)
{
    for (const char* name : {"cjpeg_scans_420.jpg", "cjpeg_scans_crcby_420.jpg", "cjpeg_scans_rst_422.jpg"}) {
        ExpectSeparateNearPeer(ReadData(name), name);
    }
}

// The same coefficients coded in one scan and in three give the same samples at every size.
TEST(SeparateScans, ReducedSizesEqualTheInterleavedImage)
{
    PeerOptions o;
    o.width = 75;
    o.height = 43;
    for (const uint8_t luma : {0x22, 0x21}) {
        o.sampling[0] = luma;
        const std::vector<uint8_t> picture = Picture(o.width, o.height, 3);
        o.separate_scans = 0;
        const Bytes interleaved = PeerEncodeBaseline(o, picture);
        o.separate_scans = 2;
        const Bytes separate = PeerEncodeBaseline(o, picture);
        for (const uint32_t scale : {1u, 2u, 4u, 8u}) {
            SCOPED_TRACE(testing::Message() << int(luma) << " 1/" << scale);
            const Decoded a = DecodeAll(interleaved, scale);
            const Decoded b = DecodeAll(separate, scale);
            ASSERT_EQ(b.start, JPEG_OK);
            EXPECT_TRUE(b.separate);
            EXPECT_EQ(a.pixels, b.pixels);
        }
    }
}

// Reduced sizes and luminance only, which the separate-scan start takes as the interleaved one
// does, against libjpeg-turbo's scaled decode: RGB-coded 4:4:4 exactly at 1/2 and 1/4 and within
// 1 at 1/8, 4:2:0 within 2; luminance only within 2 of its Y at every scale.
TEST(SeparateScans, ReducedSizesAndLuminanceOnlyMatchLibjpegTurbo)
{
    for (const uint8_t luma : {0x11, 0x22}) {
        PeerOptions o;
        o.width = 100;
        o.height = 61;
        o.sampling[0] = luma;
        o.rgb = luma == 0x11;
        o.separate_scans = 1;
        const Bytes bytes = PeerEncodeBaseline(o, Picture(o.width, o.height, 3));
        for (const uint32_t scale : {1u, 2u, 4u, 8u}) {
            const std::string what = std::to_string(luma) + " 1/" + std::to_string(scale);
            int w = 0;
            int h = 0;
            const std::vector<uint8_t> expected = PeerDecodeScaled(bytes, static_cast<int>(scale), &w, &h);
            const Decoded got = DecodeAll(bytes, scale);
            EXPECT_TRUE(got.separate) << what;
            ASSERT_LE(got.width, static_cast<uint32_t>(w)) << what;
            ASSERT_LE(got.height, static_cast<uint32_t>(h)) << what;
            const int max = luma == 0x22 ? 2 : scale == 8 ? 1 : scale == 1 ? 2 : 0;
            ExpectNearPeer(got, expected, static_cast<uint32_t>(w), max, max == 0 ? 0.0 : 1.0, what);
            if (luma != 0x22) {
                continue;
            }
            TestHeap heap;
            jpeg_decoder* d = OpenBytes(bytes, &heap);
            ASSERT_GE(jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
            ASSERT_EQ(jpeg_set_luminance_only(d, 1), JPEG_OK);
            ASSERT_EQ(jpeg_set_scale(d, scale), JPEG_OK);
            ASSERT_EQ(jpeg_start_decode(d), JPEG_OK) << what;
            EXPECT_EQ(jpeg_output_color_code(d), JPEG_COLOR_GREY);
            Decoded y{JPEG_OK,        {}, Bytes(static_cast<size_t>(jpeg_width(d)) * jpeg_height(d)), jpeg_width(d),
                      jpeg_height(d), 1};
            for (uint32_t r = 0; r < y.height; ++r) {
                y.rows.push_back(jpeg_decode_row(d, y.pixels.data() + static_cast<size_t>(r) * y.width));
            }
            jpeg_decoder_destroy(d);
            EXPECT_EQ(heap.live, 0);
            Bytes peer_y(static_cast<size_t>(w) * h);
            for (size_t i = 0; i < peer_y.size(); ++i) {
                peer_y[i] = expected[3 * i];
            }
            ExpectNearPeer(y, peer_y, static_cast<uint32_t>(w), 2, 1.0, what + " luminance");
        }
    }
}

// A lost restart marker in the first scan: the row warns, the lost blocks stay grey, the other
// components and the rows after it decode as before.
TEST(SeparateScans, DamageInOneScanWarnsAndDecodingGoesOn)
{
    PeerOptions o;
    o.width = 64;
    o.height = 32;
    o.sampling[0] = 0x11;
    o.restart_mcus = 2;
    o.separate_scans = 1;
    const Bytes whole = PeerEncodeBaseline(o, Picture(o.width, o.height, 3));
    const Decoded clean = DecodeAll(whole);
    Bytes damaged = whole;
    // The first RSTn of the first scan becomes fill: its interval is lost.
    for (size_t i = FindMarker(whole, 0xDA); i + 1 < damaged.size(); ++i) {
        if (damaged[i] == 0xFF && damaged[i + 1] >= 0xD0 && damaged[i + 1] <= 0xD7) {
            damaged[i + 1] = 0xFF;
            break;
        }
    }
    const Decoded got = DecodeAll(damaged);
    ASSERT_EQ(got.start, JPEG_OK);
    ASSERT_EQ(got.rows.size(), 32u);
    EXPECT_EQ(got.rows.front(), JPEG_WARN_DAMAGED_DATA);
    for (size_t y = 8; y < 32; ++y) {
        EXPECT_EQ(got.rows[y], JPEG_OK) << y;
    }
    int grey = 0;
    int other_changed = 0;
    for (size_t i = 0; i < got.pixels.size(); ++i) {
        grey += i % 3 == 0 && got.pixels[i] == 128 && clean.pixels[i] != 128;
        other_changed += i % 3 != 0 && got.pixels[i] != clean.pixels[i];
    }
    EXPECT_GE(grey, 16);
    EXPECT_EQ(other_changed, 0);
    EXPECT_EQ(Bytes(got.pixels.begin() + 8 * 64 * 3, got.pixels.end()),
              Bytes(clean.pixels.begin() + 8 * 64 * 3, clean.pixels.end()));
}

TEST(SeparateScans, TwoScansOfOneComponentRefused)
{
    Bytes bytes = ReadData("cjpeg_scans_420.jpg");
    const size_t third = FindMarker(bytes, 0xDA, 2, 2);
    ASSERT_LT(third + 5, bytes.size());
    bytes[third + 5] = 2;   // the third scan names Cb again
    EXPECT_EQ(DecodeAll(bytes).start, JPEG_ERR_SYNTAX);
}

// Each allocation of the start refused in turn: -1, nothing left behind.
TEST(SeparateScans, EveryRefusedAllocationOfTheStartGivesMinusOne)
{
    ExpectEachStartAllocationRefused(ReadData("cjpeg_scans_crcby_420.jpg"));
}
