#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"
#include "processor/kernel_dispatch.h"

// Lossy frames whose components come in scans of their own.

namespace {

struct Decoded {
    jpeg_status start = 0;
    bool separate = false;
    std::vector<jpeg_status> rows;
    Bytes pixels;
};

Decoded Decode(const Bytes& bytes, uint32_t scale = 1)
{
    jpeg_cpu_init();
    TestHeap heap;
    Decoded result;
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    result.start = jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr);
    result.separate = jpeg_is_separate_scan(decoder);
    if (result.start >= 1) {
        result.start = jpeg_set_scale(decoder, scale);
    }
    if (result.start >= 1) {
        result.start = jpeg_start_decode(decoder);
    }
    if (result.start >= 1) {
        const size_t row = static_cast<size_t>(jpeg_width(decoder)) *
                           static_cast<size_t>(jpeg_color_code_channels(jpeg_output_color_code(decoder)));
        result.pixels.assign(row * jpeg_height(decoder), 0);
        for (uint32_t y = 0; y < jpeg_height(decoder); ++y) {
            result.rows.push_back(jpeg_decode_row(decoder, result.pixels.data() + row * y));
        }
    }
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0);
    return result;
}

// Within two of libjpeg-turbo's islow samples, half a level on average, every row clean.
void ExpectNearPeer(const Bytes& bytes)
{
    const Decoded got = Decode(bytes);
    ASSERT_EQ(got.start, JPEG_OK);
    EXPECT_TRUE(got.separate);
    for (const jpeg_status row : got.rows) {
        ASSERT_EQ(row, JPEG_OK);
    }
    const Bytes expected = PeerDecode(bytes);
    ASSERT_EQ(got.pixels.size(), expected.size());
    int worst = 0;
    double sum = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        const int d = std::abs(int(got.pixels[i]) - int(expected[i]));
        worst = std::max(worst, d);
        sum += d;
    }
    EXPECT_LE(worst, 2);
    EXPECT_LE(sum / double(expected.size()), 0.5);
}

struct LevelGuard {
    int32_t saved = dispatch_level.load();
    ~LevelGuard() { dispatch_set_level(saved); }
};

// Offset of the n-th (from 0) scan header.
size_t ScanHeader(const Bytes& bytes, int n)
{
    for (size_t i = 2; i + 1 < bytes.size(); ++i) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA && n-- == 0) {
            return i;
        }
    }
    return bytes.size();
}

}  // namespace

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
                        SCOPED_TRACE(testing::Message() << layout.name << " " << size[0] << "x" << size[1] << " order "
                                                        << order << " restart " << restart << " level " << level);
                        PeerOptions o;
                        o.width = size[0];
                        o.height = size[1];
                        o.components = layout.components;
                        std::memcpy(o.sampling, layout.sampling, 3);
                        o.restart_mcus = restart;
                        o.separate_scans = order;
                        ExpectNearPeer(PeerEncodeBaseline(o, Picture(o.width, o.height, o.components)));
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
        SCOPED_TRACE(name);
        ExpectNearPeer(ReadWholeFile(std::string(JPEG_TEST_DATA_DIR) + "/" + name));
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
            const Decoded a = Decode(interleaved, scale);
            const Decoded b = Decode(separate, scale);
            ASSERT_EQ(b.start, JPEG_OK);
            EXPECT_TRUE(b.separate);
            EXPECT_EQ(a.pixels, b.pixels);
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
    const Decoded clean = Decode(whole);
    Bytes damaged = whole;
    // The first RSTn of the first scan becomes fill: its interval is lost.
    for (size_t i = ScanHeader(whole, 0); i + 1 < damaged.size(); ++i) {
        if (damaged[i] == 0xFF && damaged[i + 1] >= 0xD0 && damaged[i + 1] <= 0xD7) {
            damaged[i + 1] = 0xFF;
            break;
        }
    }
    const Decoded got = Decode(damaged);
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
    Bytes bytes = ReadWholeFile(std::string(JPEG_TEST_DATA_DIR) + "/cjpeg_scans_420.jpg");
    const size_t third = ScanHeader(bytes, 2);
    ASSERT_LT(third + 5, bytes.size());
    bytes[third + 5] = 2;   // the third scan names Cb again
    EXPECT_EQ(Decode(bytes).start, JPEG_ERR_SYNTAX);
}

// Each allocation of the start refused in turn: -1, nothing left behind.
TEST(SeparateScans, EveryRefusedAllocationOfTheStartGivesMinusOne)
{
    jpeg_cpu_init();
    ExpectEachStartAllocationRefused(ReadWholeFile(std::string(JPEG_TEST_DATA_DIR) + "/cjpeg_scans_crcby_420.jpg"));
}
