#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"

namespace {

Bytes Encode(PeerOptions o)
{
    return PeerEncodeBaseline(o, Picture(o.width, o.height, o.components));
}

struct Case {
    const char* name;
    int components;
    uint8_t luma;
    int restart;
    int progression;
};

const Case kProgressive[] = {
    {"grey", 1, 0x11, 0, 1},          {"4:2:0", 3, 0x22, 0, 1},        {"4:4:4", 3, 0x11, 0, 1},
    {"4:2:0 restart", 3, 0x22, 3, 1}, {"grey restart", 1, 0x11, 5, 1}, {"spectral only", 3, 0x22, 0, 2},
};

PeerOptions Options(const Case& c, int width = 83, int height = 45)
{
    PeerOptions o;
    o.width = width;
    o.height = height;
    o.components = c.components;
    o.sampling[0] = c.luma;
    o.restart_mcus = c.restart;
    o.progression = c.progression;
    return o;
}

// Every block after the coefficient pass against jpeg_read_coefficients, bit for bit.
void ExpectCoefficients(const Bytes& bytes, const std::string& what)
{
    const std::vector<std::vector<int16_t>> expected = PeerReadCoefficients(bytes);
    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK) << what;
    ASSERT_EQ(jpeg_decode_progressive_scans(decoder), JPEG_OK) << what;
    const int32_t nf = decoder->component_count;
    uint32_t offset = 0;
    for (int32_t k = 0; k < nf; ++k) {
        const uint32_t h = decoder->blocks_h[k];
        const uint32_t v = decoder->blocks_v[k];
        const uint32_t hmax = decoder->blocks_h[0];
        const uint32_t columns = ((decoder->frame.samples * h + hmax - 1) / hmax + 7) / 8;
        ASSERT_EQ(expected[k].size() % (64 * columns), 0u) << what;
        const auto rows = static_cast<uint32_t>(expected[k].size() / (64 * columns));
        int32_t mismatches = 0;
        for (uint32_t by = 0; by < rows; ++by) {
            for (uint32_t bx = 0; bx < columns; ++bx) {
                const size_t mcu = static_cast<size_t>(by / v) * decoder->mcus_per_row + bx / h;
                const jpeg_block_entry& entry =
                    decoder->block_entries[mcu * decoder->blocks_per_mcu + offset + (by % v) * h + bx % h];
                for (int i = 0; i < 64; ++i) {
                    mismatches += entry.coefficients[i] != expected[k][(by * columns + bx) * 64 + i];
                }
            }
        }
        EXPECT_EQ(mismatches, 0) << what << " component " << k;
        offset += decoder->component_blocks[k];
    }
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0) << what;
}

}   // namespace

// After the coefficient pass every block holds what libjpeg-turbo reads, bit for bit, and the
// pixels are within 2 of its islow decode (the fast transform truncates): streams made here and
// the cjpeg -progressive fixtures.
TEST(Progressive, CoefficientsAndPixelsAgreeWithLibjpegTurbo)
{
    std::vector<std::pair<std::string, Bytes>> streams;
    for (const Case& c : kProgressive) {
        streams.emplace_back(c.name, Encode(Options(c)));
    }
    for (const char* name : {"cjpeg_progressive.jpg", "cjpeg_progressive_grey.jpg"}) {
        streams.emplace_back(name, ReadData(name));
    }
    for (const auto& [name, bytes] : streams) {
        ExpectCoefficients(bytes, name);
        const Decoded got = DecodeAll(bytes);
        ExpectNearPeer(got, PeerDecode(bytes), got.width, 2, 1.0, name);
    }
}

TEST(Progressive, TruncationScaleAndScanCount)
{
    PeerOptions o = Options(kProgressive[1]);
    const Bytes bytes = Encode(o);
    // Cut inside the last scan: the pass ends with the marker reading's status.
    const Bytes cut(bytes.begin(), bytes.end() - 40);
    EXPECT_EQ(DecodeAll(cut).rows.at(0), JPEG_ERR_END_OF_INPUT);
    // EOI right after a scan's data ends the pass well.
    Bytes early(bytes.begin(), bytes.end() - 2);
    early.push_back(0xFF);
    early.push_back(0xD9);
    EXPECT_EQ(DecodeAll(early).rows.at(0), JPEG_OK);

    EXPECT_EQ(DecodeAll(bytes, 2).start, JPEG_ERR_PARAMETER);

    // Thousands of tiny scans end the pass instead of walking the image for minutes.
    Bytes many;
    Marker(many, 0xD8);
    Quant(many);
    Frame(many, 0xC2, 8, 8, 8, {{1, 0x11, 0}});
    LumaDc(many);
    for (int i = 0; i < 1100; ++i) {
        Scan(many, {{1, 0x00}}, 0, 0, i == 0 ? 0x01 : 0x10);
        many.push_back(0x00);
    }
    Marker(many, 0xD9);
    EXPECT_EQ(DecodeAll(many).rows.at(0), JPEG_ERR_SYNTAX);
}

// The stream with 0 lines in its frame header and the height in a DNL segment after the first
// scan, as an encoder that learns the height late writes it.
Bytes WithDnl(const Bytes& bytes)
{
    Bytes out = bytes;
    size_t at = 2;
    uint16_t lines = 0;
    while (at + 4 <= out.size() && out[at] == 0xFF) {
        const uint8_t code = out[at + 1];
        const size_t length = static_cast<size_t>(out[at + 2]) << 8 | out[at + 3];
        if (code == 0xC0 || code == 0xC2) {
            lines = static_cast<uint16_t>(out[at + 5] << 8 | out[at + 6]);
            out[at + 5] = 0;
            out[at + 6] = 0;
        }
        at += 2 + length;
        if (code == 0xDA) {
            break;
        }
    }
    // The first marker after the scan's data that is neither stuffing nor RSTn.
    while (at + 1 < out.size() && !(out[at] == 0xFF && out[at + 1] != 0 && out[at + 1] != 0xFF &&
                                    (out[at + 1] < 0xD0 || out[at + 1] > 0xD7))) {
        ++at;
    }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(at),
               {0xFF, 0xDC, 0x00, 0x04, static_cast<uint8_t>(lines >> 8), static_cast<uint8_t>(lines)});
    return out;
}

// Progressive and sequential frames whose height comes in a DNL segment decode as the same
// image with the height in the frame header: grey and colour, with restarts, full and reduced.
TEST(Progressive, HeightFromDnlDecodesAsTheHeightInTheFrame)
{
    const Case sequential[] = {{"sequential grey", 1, 0x11, 0, 0}, {"sequential 4:2:0 restart", 3, 0x22, 2, 0}};
    std::vector<Case> cases(std::begin(kProgressive), std::end(kProgressive));
    cases.insert(cases.end(), std::begin(sequential), std::end(sequential));
    for (const Case& c : cases) {
        const Bytes plain = Encode(Options(c, 48, 40));
        const Bytes dnl = WithDnl(plain);
        ASSERT_EQ(dnl.size(), plain.size() + 6) << c.name;
        for (const uint32_t scale : {1u, 2u, 8u}) {
            if (c.progression != 0 && scale != 1) {
                continue;
            }
            const Decoded expected = DecodeAll(plain, scale);
            const Decoded got = DecodeAll(dnl, scale);
            ASSERT_EQ(got.start, JPEG_OK) << c.name << " 1/" << scale;
            EXPECT_EQ(got.height, expected.height) << c.name;
            EXPECT_EQ(got.rows, expected.rows) << c.name << " 1/" << scale;
            EXPECT_EQ(got.pixels, expected.pixels) << c.name << " 1/" << scale;
        }
    }
}

// Every refused allocation of a progressive start or of its first row: -1 and nothing leaks.
TEST(Progressive, RefusedAllocationsGiveMinusOneWithoutALeak)
{
    ExpectEachStartAllocationRefused(Encode(Options(kProgressive[1], 40, 24)), 40 * 3);
}

// Grey, 4:4:4 (RGB-coded) and CMYK equal libjpeg-turbo's scaled decode at 1/2 and 1/4, within 1
// at 1/8; 4:2:0 within 2 at every scale.
TEST(Reduced, ScaledDecodeMatchesLibjpegTurbo)
{
    for (int components : {1, 3, 4}) {
        for (uint8_t luma : {uint8_t{0x11}, uint8_t{0x22}}) {
            if (components != 3 && luma != 0x11) {
                continue;
            }
            PeerOptions o;
            o.width = 100;
            o.height = 61;
            o.components = components;
            o.sampling[0] = luma;
            o.rgb = luma == 0x11;
            const Bytes bytes = Encode(o);
            for (uint32_t scale : {2u, 4u, 8u}) {
                const std::string what =
                    std::to_string(components) + " " + std::to_string(luma) + " 1/" + std::to_string(scale);
                int w = 0;
                int h = 0;
                const std::vector<uint8_t> expected = PeerDecodeScaled(bytes, static_cast<int>(scale), &w, &h);
                const Decoded got = DecodeAll(bytes, scale);
                ASSERT_LE(got.width, static_cast<uint32_t>(w)) << what;
                ASSERT_LE(got.height, static_cast<uint32_t>(h)) << what;
                const int max = luma == 0x22 ? 2 : scale == 8 ? 1 : 0;
                ExpectNearPeer(got, expected, w, max, max == 0 ? 0.0 : 1.0, what);
            }
        }
    }
    PeerOptions o;
    o.width = 97;
    o.height = 20;
    o.components = 1;
    EXPECT_EQ(DecodeAll(Encode(o), 4).width, 24u);
    o.width = 100;
    EXPECT_EQ(DecodeAll(Encode(o), 8).width, 13u);
}

// 4:2:2 and 4:1:1: luminance as libjpeg-turbo scales it; chroma from libjpeg-turbo at the scale
// where its chroma transform has our size, rows averaged (and 4:1:1 at 1/2 replicated) here.
TEST(Reduced, SubsampledChromaAveragesRowsOfTheLargerTransform)
{
    for (uint8_t luma : {uint8_t{0x21}, uint8_t{0x41}}) {
        PeerOptions o;
        o.width = 96;
        o.height = 64;
        o.sampling[0] = luma;
        const Bytes bytes = Encode(o);
        for (uint32_t s : {2u, 4u, 8u}) {
            const std::string what = std::to_string(luma) + " 1/" + std::to_string(s);
            const Decoded got = DecodeAll(bytes, s);
            ASSERT_EQ(got.start, JPEG_OK) << what;
            int w = 0;
            int h = 0;
            const std::vector<uint8_t> scaled = PeerDecodeScaled(bytes, static_cast<int>(s), &w, &h);
            // Our chroma transform's scale, its vertical averaging and horizontal replication.
            const uint32_t cs = luma == 0x21 ? s / 2 : s == 8 ? 2 : 1;
            const uint32_t v = luma == 0x21 ? 2 : s == 2 ? 2 : 4;
            const uint32_t hr = luma == 0x41 && s == 2 ? 2 : 1;
            int cw = 0;
            int ch = 0;
            const std::vector<uint8_t> chroma = PeerDecodeScaled(bytes, static_cast<int>(cs), &cw, &ch);
            int worst_luma = 0;
            int worst_chroma = 0;
            for (uint32_t y = 0; y < got.height; ++y) {
                for (uint32_t x = 0; x < got.width; ++x) {
                    const uint8_t* ours = got.pixels.data() + (static_cast<size_t>(y) * got.width + x) * 3;
                    worst_luma = std::max(worst_luma, std::abs(ours[0] - scaled[(static_cast<size_t>(y) * w + x) * 3]));
                    const uint32_t column = x / hr * hr * s / cs;
                    for (int c = 1; c < 3; ++c) {
                        uint32_t sum = 0;
                        for (uint32_t k = 0; k < v; ++k) {
                            sum += chroma[((static_cast<size_t>(y) * v + k) * cw + column) * 3 + c];
                        }
                        worst_chroma = std::max(worst_chroma, std::abs(ours[c] - static_cast<int>(sum >> (v >> 1))));
                    }
                }
            }
            EXPECT_LE(worst_luma, s == 8 ? 1 : 0) << what;   // the 1 x 1 transform truncates
            EXPECT_LE(worst_chroma, cs == 1 ? 2 : 0) << what;
        }
    }
}

// The sequential decoder off the direct path: fewer lines than the height, restart intervals,
// and data that ends right after the last block with no EOI.
TEST(Reduced, SequentialRowsOnTheBufferedPath)
{
    PeerOptions o;
    o.width = 50;
    o.height = 40;
    o.restart_mcus = 2;
    const Bytes bytes = Encode(o);
    const std::vector<uint8_t> expected = PeerDecode(bytes);
    TestHeap heap;
    jpeg_decoder* d = OpenBytes(bytes, &heap);
    ASSERT_GE(jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    ASSERT_EQ(jpeg_set_line_count(d, 21), JPEG_OK);
    ASSERT_EQ(jpeg_start_decode(d), JPEG_OK);
    EXPECT_EQ(d->direct, nullptr);
    EXPECT_EQ(d->decode_unit, &jpeg_decode_block_baseline);
    Decoded got{JPEG_OK, {}, Bytes(50 * 3 * 21), 50, 21, 3};
    for (uint32_t y = 0; y < 21; ++y) {
        ASSERT_EQ(jpeg_decode_row(d, got.pixels.data() + 150 * y), JPEG_OK) << y;
    }
    jpeg_decoder_destroy(d);
    EXPECT_EQ(heap.live, 0);
    ExpectNearPeer(got, expected, 50, 2, 1.0, "21 lines");
    // Luminance only, baseline and progressive: component 0 through the buffered decoders.
    PeerOptions p = o;
    p.progression = 1;
    for (const Bytes& stream : {bytes, Encode(p)}) {
        const std::vector<uint8_t> peer = PeerDecode(stream);
        TestHeap lheap;
        jpeg_decoder* l = OpenBytes(stream, &lheap);
        ASSERT_GE(jpeg_read_header(l, JPEG_COLOR_NONE, static_cast<uint32_t>(stream.size()), nullptr), 1);
        ASSERT_EQ(jpeg_set_luminance_only(l, 1), JPEG_OK);
        ASSERT_EQ(jpeg_start_decode(l), JPEG_OK);
        EXPECT_EQ(l->output_blocks, &jpeg_output_blocks_first);
        std::vector<uint8_t> line(50 * 3);
        int worst = 0;
        for (uint32_t y = 0; y < 40; ++y) {
            ASSERT_EQ(jpeg_decode_row(l, line.data()), JPEG_OK);
            for (int x = 0; x < 50; ++x) {
                worst = std::max(worst, std::abs(line[x] - peer[(y * 50 + x) * 3]));
            }
        }
        EXPECT_LE(worst, 2);
        jpeg_decoder_destroy(l);
        EXPECT_EQ(lheap.live, 0);
    }

    const Bytes no_eoi(bytes.begin(), bytes.end() - 2);
    const Decoded scaled = DecodeAll(no_eoi, 2);
    ASSERT_EQ(scaled.start, JPEG_OK);
    for (jpeg_status row : scaled.rows) {
        EXPECT_EQ(row, JPEG_OK);
    }
}

// Reduced sizes decode the same rows at every level, whichever way each level takes through the
// blocks: grey, 4:2:0 and 4:2:2, with restarts and with an interval damaged (its MCUs stay grey).
TEST(Reduced, EveryLevelGivesTheSameRows)
{
    LevelGuard guard;
    for (const auto& [components, luma] : {std::pair{1, 0x11}, std::pair{3, 0x22}, std::pair{3, 0x21}}) {
        PeerOptions o;
        o.width = 77;
        o.height = 50;
        o.components = components;
        o.sampling[0] = static_cast<uint8_t>(luma);
        o.restart_mcus = 3;
        const Bytes bytes = Encode(o);
        Bytes damaged = bytes;
        const size_t rst = FindMarker(damaged, 0xD1);
        ASSERT_LT(rst + 8, damaged.size());
        for (size_t i = rst + 2; i < rst + 8; ++i) {
            damaged[i] = damaged[i] == 0xFF ? 0x00 : 0xFF;
        }
        for (const uint32_t scale : {2u, 4u, 8u}) {
            for (const Bytes* stream : {&bytes, static_cast<const Bytes*>(&damaged)}) {
                ASSERT_GE(dispatch_set_level(0), 0);
                const Decoded plain = DecodeAll(*stream, scale);
                ASSERT_EQ(plain.start, JPEG_OK);
                EXPECT_EQ(std::count(plain.rows.begin(), plain.rows.end(), JPEG_WARN_DAMAGED_DATA) > 0,
                          stream == &damaged);
                for (int32_t level = 1; level <= guard.saved; ++level) {
                    ASSERT_GE(dispatch_set_level(level), 0);
                    const Decoded got = DecodeAll(*stream, scale);
                    const std::string what = std::to_string(components) + " " + std::to_string(luma) + " 1/" +
                                             std::to_string(scale) + " level " + std::to_string(level) +
                                             (stream == &damaged ? " damaged" : "");
                    EXPECT_EQ(got.rows, plain.rows) << what;
                    EXPECT_EQ(got.pixels, plain.pixels) << what;
                }
            }
        }
    }
}

// A DC-only block gives n x n equal values; the all-zero shortcuts round as the full formulas.
TEST(Reduced, TransformsOfADcOnlyBlock)
{
    int32_t block[64];
    jpeg_block_entry entry{block, 0, 0};
    for (int32_t dc : {-1000, -17, 0, 5, 333}) {
        for (int n : {8, 4, 2, 1}) {
            std::memset(block, 0, sizeof block);
            block[0] = dc * 8;
            if (n == 8) {
                jpeg_idct_8x8_fast(nullptr, &entry, 0);
            } else if (n == 4) {
                jpeg_idct_4x4(nullptr, &entry, 0);
            } else if (n == 2) {
                jpeg_idct_2x2(nullptr, &entry, 0);
            } else {
                jpeg_idct_1x1(nullptr, &entry, 0);
            }
            for (int y = 0; y < n; ++y) {
                for (int x = 0; x < n; ++x) {
                    EXPECT_EQ(block[8 * y + x], block[0]) << dc << " " << n;
                }
            }
            if (n == 4 || n == 2) {
                // (8 dc * 4 + 16) >> 5: the rounded value, as the full formulas give it.
                EXPECT_EQ(block[0], (dc * 32 + 16) >> 5) << n;
            }
        }
    }
    // A row that takes the full formula and one that takes the shortcut agree on the same DC.
    std::memset(block, 0, sizeof block);
    block[0] = 4;   // pass 1: 16, pass 2 shortcut: (16 + 16) >> 5 = 1
    jpeg_idct_4x4(nullptr, &entry, 0);
    EXPECT_EQ(block[0], 1);
}

#if defined(__x86_64__) || defined(__i386__)
// The vector bodies must give the plain bodies' values exactly, wrapping included: sparse and
// dense blocks, columns and rows that take the all-zero shortcut, and sums past 32 bits.
TEST(Reduced, VectorTransformsEqualThePlainOnes)
{
    std::mt19937 random(7);
    jpeg_multiplier_table table{};
    for (int32_t& m : table.values) {
        m = static_cast<int32_t>(random() % 30000) + 1;
    }
    jpeg_decoder decoder{};
    decoder.multipliers = &table;
    for (int trial = 0; trial < 3000; ++trial) {
        int32_t block[64] = {};
        const int kind = trial % 5;
        for (int k = 0; k < 64; ++k) {
            if (kind == 0 && k % 9 != 0) {
                continue;
            }
            if ((kind == 1 && k >= 8 && random() % 4 != 0) || (kind == 4 && k > 0)) {
                continue;
            }
            const uint32_t r = random();
            block[k] = kind >= 3 ? static_cast<int32_t>(r) : static_cast<int32_t>(r % 2048) - 1024;
        }
        for (bool dequant : {false, true}) {
            int32_t plain[64];
            int32_t vector[64];
            std::memcpy(plain, block, sizeof plain);
            std::memcpy(vector, block, sizeof vector);
            jpeg_block_entry a{plain, 0, 0};
            jpeg_block_entry b{vector, 0, 0};
            if (dequant) {
                jpeg_idct_8x8_dequant(&decoder, &a, 0);
                jpeg_idct_8x8_dequant_sse2(&decoder, &b, 0);
            } else {
                jpeg_idct_8x8_fast(&decoder, &a, 0);
                jpeg_idct_8x8_fast_sse2(&decoder, &b, 0);
            }
            ASSERT_EQ(std::memcmp(plain, vector, sizeof plain), 0) << trial << " " << dequant;
            if (__builtin_cpu_supports("sse4.1")) {
                std::memcpy(vector, block, sizeof vector);
                if (dequant) {
                    jpeg_idct_8x8_dequant_sse41(&decoder, &b, 0);
                } else {
                    jpeg_idct_8x8_fast_sse41(&decoder, &b, 0);
                }
                ASSERT_EQ(std::memcmp(plain, vector, sizeof plain), 0) << trial << " " << dequant << " SSE4.1";
            }
            if (kind == 4) {
                // Without AC coefficients every value is the (dequantised) DC >> 13, which the
                // progressive rows use for such blocks.
                const uint32_t dc = static_cast<uint32_t>(block[0]) * (dequant ? table.values[0] : 1u);
                for (int k = 0; k < 64; ++k) {
                    ASSERT_EQ(plain[k], static_cast<int32_t>(dc) >> 13) << trial;
                }
            }
        }
    }
}
#endif

// The chroma resampling of reduced 4:2:2 and 4:1:1 on planes of known samples.
TEST(Reduced, Resampling)
{
    // 4:2:2 at scale 2: rows 10 and 13 average to 11; 4:1:1 at scale 4: four rows, shifted by 2.
    uint8_t samples[4 * 4] = {10, 1, 0, 0, 13, 2, 0, 0, 7, 3, 0, 0, 9, 4, 0, 0};
    jpeg_plane plane{2, 4, 4, samples};
    jpeg_downsample_v(&plane, &plane, 1, 2, 2, 2);
    EXPECT_EQ(samples[0], 11);
    EXPECT_EQ(samples[4], 8);
    EXPECT_EQ(plane.height, 2u);
    uint8_t four[4] = {10, 13, 7, 9};
    jpeg_plane column{1, 4, 1, four};
    jpeg_downsample_v(&column, &column, 1, 4, 1, 1);
    EXPECT_EQ(four[0], (10 + 13 + 7 + 9) >> 2);
    // Averaged, then replicated across within the plane's own stride.
    uint8_t wide[8 * 2] = {10, 20, 0, 0, 0, 0, 0, 0, 12, 30, 0, 0, 0, 0, 0, 0};
    jpeg_plane band{2, 2, 8, wide};
    jpeg_downsample_v_upsample_h(&band, &band, 2, 2, 4, 1);
    EXPECT_EQ(std::vector<uint8_t>(wide, wide + 4), (std::vector<uint8_t>{11, 11, 25, 25}));
}

// With a selected component only its plane is written.
TEST(Reduced, SelectedComponentWritesOnlyItsPlane)
{
    int32_t blocks[3][64]{};
    jpeg_block_entry entries[3] = {{blocks[0], 0, 0}, {blocks[1], 0, 0}, {blocks[2], 0, 0}};
    uint8_t out[3][16];
    std::memset(out, 7, sizeof out);
    jpeg_decoder d{};
    d.component_count = 3;
    d.selected_component = 1;
    d.component_scale[0] = d.component_scale[1] = d.component_scale[2] = 2;
    d.scale_denominator = 2;
    jpeg_setup_decode_output(&d);
    jpeg_range_table_attach(&d);
    jpeg_plane planes[3] = {{8, 8, 4, out[0]}, {8, 8, 4, out[1]}, {8, 8, 4, out[2]}};
    jpeg_output_blocks(planes, &d, entries);
    EXPECT_EQ(out[0][0], 7);
    EXPECT_EQ(out[1][0], 128);
    EXPECT_EQ(out[2][0], 7);
}

// ---- the bit reader ----

namespace {

// A decoder whose bit reader runs over `data` (as the entropy-coded segment of a scan).
struct Reader {
    TestHeap heap;
    Bytes data;
    jpeg_decoder* d = nullptr;
    int32_t block[64]{};
    jpeg_block_entry entry{block, 0, 0};

    explicit Reader(const Bytes& bytes) : data(bytes)
    {
        d = OpenBytes(data, &heap);
        jpeg_input_buffer_create(d);
        d->bytes_left = static_cast<uint32_t>(data.size());
        d->natural_order = GetNaturalOrderTable();
        d->lookahead_bits = 8;
        jpeg_entropy_restart(d);
    }
    ~Reader() { jpeg_decoder_destroy(d); }
    // One bit through the DC refinement (Al 0): 0 or 1, or the status below 1.
    int32_t Bit()
    {
        block[0] = 0;
        const jpeg_status status = jpeg_decode_dc_refine(d, &entry, 0);
        return status < 1 ? status : block[0];
    }
    int32_t Byte()
    {
        int32_t value = 0;
        for (int i = 0; i < 8; ++i) {
            const int32_t bit = Bit();
            if (bit < 0) {
                return bit;
            }
            value = value << 1 | bit;
        }
        return value;
    }
};

}   // namespace

TEST(Entropy, StuffingMarkersAndTheEndOfData)
{
    {
        Reader r({0xFF, 0x00, 0x5A, 0xFF, 0xFF, 0x00, 0x3C});
        EXPECT_EQ(r.Byte(), 0xFF);
        EXPECT_EQ(r.Byte(), 0x5A);
        EXPECT_EQ(r.Byte(), 0xFF);
        EXPECT_EQ(r.Byte(), 0x3C);
        // Past the end: zeros until more than 15 were inserted (look-ahead padding counts), then
        // -3 (no marker).
        int32_t last = 0;
        int zeros = 0;
        while ((last = r.Bit()) == 0) {
            ++zeros;
        }
        EXPECT_EQ(last, JPEG_ERR_DATA);
        EXPECT_LE(zeros, 16);
    }
    {
        // A marker inside the data: its FF reads as ones, then zeros, then -9999.
        Reader r({0x81, 0xFF, 0xD3});
        EXPECT_EQ(r.Byte(), 0x81);
        EXPECT_EQ(r.Byte(), 0xFF);
        int32_t last = 0;
        int zeros = 0;
        while ((last = r.Bit()) == 0) {
            ++zeros;
        }
        EXPECT_EQ(last, JPEG_ERR_MARKER_IN_DATA);
        EXPECT_LE(zeros, 16);
        EXPECT_EQ(r.d->pending_marker, 0xD3u);
    }
}

// Sequential and progressive block decoders on hand-made codes.
TEST(Entropy, BlockDecoders)
{
    // DC table: one code "0" for size 0 and "10" for size 1. AC table: "0" EOB, "10" 0x01,
    // "110" run 15 size 1 (0xF1), "1110" EOB run r 2 (0x20).
    const uint8_t dc_counts[16] = {1, 1};
    const uint8_t dc_values[2] = {0, 1};
    const uint8_t ac_counts[16] = {1, 1, 1, 1};
    const uint8_t ac_values[4] = {0x00, 0x01, 0xF1, 0x20};
    auto setup = [&](Reader& r) {
        jpeg_decoder* d = r.d;
        d->dc_tables = static_cast<jpeg_huff_table*>(jpeg_calloc(d, 1, sizeof(jpeg_huff_table)));
        d->ac_tables = static_cast<jpeg_huff_table*>(jpeg_calloc(d, 1, sizeof(jpeg_huff_table)));
        d->dc_count = d->dc_capacity = 1;
        d->ac_count = d->ac_capacity = 1;
        DeriveHuffDecodeTable(d, d->dc_tables, dc_counts, dc_values, 17);
        DeriveHuffDecodeTable(d, d->ac_tables, ac_counts, ac_values, 256);
        jpeg_rebuild_lookaheads(d, 8);
        d->component_count = 1;
        d->multipliers = static_cast<jpeg_multiplier_table*>(jpeg_calloc(d, 1, sizeof(jpeg_multiplier_table)));
        for (int32_t& m : d->multipliers->values) {
            m = 1;
        }
    };
    {
        // DC size 0, immediate EOB: count 1.
        Reader r({0b00111111});
        setup(r);
        EXPECT_EQ(jpeg_decode_block_baseline(r.d, &r.entry, 0), JPEG_OK);
        EXPECT_EQ(r.entry.count, 1);
    }
    {
        // DC 0, then five runs of 15 with size 1 pass coefficient 63: -3, nothing outside.
        int32_t guard[66];
        for (int32_t& g : guard) {
            g = 77;
        }
        Reader r({0b01100110, 0b11001100, 0b11001100, 0b11000000, 0xFF, 0xFF});
        setup(r);
        jpeg_block_entry inner{guard + 1, 0, 0};
        EXPECT_EQ(jpeg_decode_block_baseline(r.d, &inner, 0), JPEG_ERR_DATA);
        EXPECT_EQ(guard[0], 77);
        EXPECT_EQ(guard[65], 77);
    }
    {
        // A look-ahead of length 0 (bits no code begins with) is a data error.
        const uint8_t one_counts[16] = {1};
        const uint8_t one_value[1] = {0};
        Reader r({0xFF, 0xFF, 0xFF});
        setup(r);
        DeriveHuffDecodeTable(r.d, r.d->dc_tables, one_counts, one_value, 17);
        jpeg_rebuild_lookaheads(r.d, 8);
        EXPECT_EQ(jpeg_decode_block_baseline(r.d, &r.entry, 0), JPEG_ERR_DATA);
    }
    {
        // Progressive AC first: EOB run r 2 with bits 01 ends this band and the next four.
        Reader r({0b11100110, 0b00000000});
        setup(r);
        r.d->frame_marker = 0xC2;
        r.d->scan.ss = 1;
        r.d->scan.se = 63;
        r.d->scan.approximation = 0;
        jpeg_entropy_restart(r.d);
        EXPECT_EQ(r.d->decode_unit, &jpeg_decode_ac_first);
        int32_t blocks[5][64];
        for (auto& b : blocks) {
            for (int32_t& v : b) {
                v = 5;
            }
        }
        for (auto& b : blocks) {
            jpeg_block_entry e{b, 0, 0};
            EXPECT_EQ(jpeg_decode_ac_first(r.d, &e, 0), JPEG_OK);
        }
        for (auto& b : blocks) {
            for (int32_t v : b) {
                ASSERT_EQ(v, 5);
            }
        }
        EXPECT_EQ(r.d->eob_run, 0);
        // The sixth block reads "10" + one bit: coefficient 1 becomes 1.
        int32_t sixth[64]{};
        jpeg_block_entry e{sixth, 0, 0};
        EXPECT_EQ(jpeg_decode_ac_first(r.d, &e, 0), JPEG_OK);
    }
}

// A DHT between scans reaches the look-ahead only at the next restart or scan.
TEST(Entropy, NewTablesTakeEffectAtTheRestart)
{
    const uint8_t counts_a[16] = {1, 1};
    const uint8_t values_a[2] = {0, 1};
    const uint8_t counts_b[16] = {1, 1};
    const uint8_t values_b[2] = {1, 0};
    Reader r({0x00, 0x00});
    jpeg_decoder* d = r.d;
    d->dc_tables = static_cast<jpeg_huff_table*>(jpeg_calloc(d, 1, sizeof(jpeg_huff_table)));
    d->dc_count = d->dc_capacity = 1;
    DeriveHuffDecodeTable(d, d->dc_tables, counts_a, values_a, 17);
    d->tables_changed = 1;
    jpeg_entropy_restart(d);
    EXPECT_EQ(d->dc_tables[0].lookahead[0].symbol, 0u);
    DeriveHuffDecodeTable(d, d->dc_tables, counts_b, values_b, 17);
    d->tables_changed = 1;
    EXPECT_EQ(d->dc_tables[0].lookahead[0].symbol, 0u);
    jpeg_entropy_restart(d);
    EXPECT_EQ(d->dc_tables[0].lookahead[0].symbol, 1u);
}
