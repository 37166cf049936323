#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <thread>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegrecord.h"
#include "jpeg/jpegtables.h"
#include "jpeg_test_stream.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"
#include "processor/kernel_dispatch.h"

namespace {

Bytes PeerEncode(const PeerOptions& o)
{
    return PeerEncodeBaseline(o, Picture(o.width, o.height, o.components));
}

// ---- the codec ----

// What the codec's global set-up does before any decoder exists: decoders then attach to the
// range-limit table instead of making it through their own (counting) allocators.
class CodecEnvironment : public testing::Environment {
public:
    void SetUp() override
    {
        jpeg_cpu_init();
        jpeg_range_table_create(nullptr, nullptr);
    }
    void TearDown() override { jpeg_range_table_release(nullptr, nullptr); }
};

[[maybe_unused]] testing::Environment* const kCodecEnvironment =
    testing::AddGlobalTestEnvironment(new CodecEnvironment);

void CodecUp()
{
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
}

}   // namespace

TEST(DecodeOracle, LayoutsAndSizesMatchLibjpegTurboIslowAtEveryLevel)
{
    struct Case {
        const char* name;
        int components;
        uint8_t sampling[3];
        bool rgb;
        int restart;
        bool optimize;
    };
    const Case cases[] = {
        {"grey", 1, {0x11, 0, 0}, false, 0, false},          {"420", 3, {0x22, 0x11, 0x11}, false, 0, false},
        {"422", 3, {0x21, 0x11, 0x11}, false, 0, false},     {"444", 3, {0x11, 0x11, 0x11}, false, 0, false},
        {"411", 3, {0x41, 0x11, 0x11}, false, 0, false},     {"1x2", 3, {0x12, 0x11, 0x11}, false, 0, false},
        {"rgb", 3, {0x11, 0x11, 0x11}, true, 0, false},      {"restart", 3, {0x22, 0x11, 0x11}, false, 3, false},
        {"optimize", 3, {0x21, 0x11, 0x11}, false, 0, true}, {"cmyk", 4, {0x11, 0x11, 0x11}, false, 0, false},
    };
    const int sizes[3][2] = {{1, 1}, {33, 17}, {1023, 769}};
    LevelGuard guard;
    for (int32_t level : {guard.saved, 0}) {
        ASSERT_GE(dispatch_set_level(level), 0);
        for (const Case& c : cases) {
            for (const auto& size : sizes) {
                PeerOptions o;
                o.width = size[0];
                o.height = size[1];
                o.components = c.components;
                std::memcpy(o.sampling, c.sampling, 3);
                o.rgb = c.rgb;
                o.restart_mcus = c.restart;
                o.optimize = c.optimize;
                const Bytes bytes = PeerEncode(o);
                ExpectNearPeer(DecodeAll(bytes), PeerDecode(bytes), static_cast<uint32_t>(o.width), 2, 0.5,
                               std::string(c.name) + " " + std::to_string(size[0]) + "x" + std::to_string(size[1]) +
                                   " level " + std::to_string(level));
            }
        }
    }
}

// The codec's bodies are chosen as a decode starts: level 0 forced before the start runs the plain
// bodies only (what the plain-kernels run of the suite relies on), and a level changed after the
// start leaves that decode on the bodies it began with; they give the samples of either level.
TEST(DecodeLevels, ALevelForcedBeforeTheStartHoldsForThatDecode)
{
    LevelGuard guard;
    PeerOptions o;
    o.width = 70;
    o.height = 35;
    const Bytes baseline = PeerEncode(o);
    o.progression = 1;
    const Bytes progressive = PeerEncode(o);
    const std::set<void (*)(jpeg_decoder*, jpeg_block_entry*, int32_t)> plain{&jpeg_direct_transform_block,
                                                                              &jpeg_idct_8x8_fast,
                                                                              &jpeg_idct_8x8_dequant,
                                                                              &jpeg_idct_4x4,
                                                                              &jpeg_idct_2x2,
                                                                              &jpeg_idct_1x1};
    const auto expect_plain = [&](const jpeg_decoder* d, const std::string& what) {
        EXPECT_EQ(d->store_block8, &jpeg_store_block8) << what;
        EXPECT_EQ(d->store_block8_words, &jpeg_store_block8_words) << what;
        EXPECT_EQ(d->store_block_small, &jpeg_store_block_small) << what;
        EXPECT_EQ(d->row_output, &jpeg_row_interleave3) << what;
        for (int32_t c = 0; c < 3; ++c) {
            EXPECT_EQ(plain.count(d->transform[c]), 1u) << what << " component " << c;
            EXPECT_EQ(d->transform_words[c], nullptr) << what << " component " << c;
            if (d->direct != nullptr && jpeg_rec_scale(d) > 1) {
                EXPECT_TRUE(d->direct->widen[c] == &jpeg_widen_block || d->direct->widen[c] == &jpeg_widen_dc)
                    << what << " component " << c;
            }
        }
        if (d->direct != nullptr) {
            EXPECT_EQ(d->direct->decode_block, dispatch_entry<dispatch_table_huff_decode_block_8x8>(0)) << what;
        }
    };
    for (const Bytes* stream : {&baseline, &progressive}) {
        for (const uint32_t scale : {1u, 2u, 8u}) {
            if (stream == &progressive && scale != 1) {
                continue;
            }
            const std::string what =
                std::string(stream == &progressive ? "progressive" : "baseline") + " 1/" + std::to_string(scale);
            ASSERT_GE(dispatch_set_level(0), 0);
            const Decoded at_zero = DecodeAll(*stream, scale);
            TestHeap heap;
            jpeg_decoder* d = OpenBytes(*stream, &heap);
            ASSERT_GE(jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(stream->size()), nullptr), 1);
            ASSERT_GE(jpeg_set_scale(d, scale), 1);
            ASSERT_GE(jpeg_start_decode(d), 1);
            expect_plain(d, what);
            ASSERT_GE(dispatch_set_level(guard.saved), 0);
            const uint32_t row = jpeg_width(d) * 3;
            Bytes pixels(static_cast<size_t>(row) * jpeg_height(d));
            for (uint32_t y = 0; y < jpeg_height(d); ++y) {
                ASSERT_EQ(jpeg_decode_row(d, pixels.data() + static_cast<size_t>(row) * y), JPEG_OK) << what;
            }
            expect_plain(d, what + " after the rows");
            jpeg_decoder_destroy(d);
            // The kernels' own full-size transforms round their own way; the codec's bodies agree.
            if (stream == &progressive || scale > 1) {
                EXPECT_EQ(pixels, at_zero.pixels) << what;
                EXPECT_EQ(DecodeAll(*stream, scale).pixels, at_zero.pixels) << what << " at the machine's level";
            }
        }
    }
}

TEST(DecodeRows, ReducedSizeAndComponentCounts)
{
    EXPECT_EQ(jpeg_reduced_size(3, 8), 1u);
    EXPECT_EQ(jpeg_reduced_size(100, 8), 13u);
    EXPECT_EQ(jpeg_reduced_size(97, 4), 24u);

    PeerOptions o;
    TestHeap heap;
    // Two components: refused with a colour output, component 0 with a grey one.
    o.components = 2;
    o.width = 16;
    o.height = 8;
    o.sampling[1] = 0x11;
    const Bytes two = PeerEncode(o);
    for (int32_t output : {JPEG_COLOR_RGB, JPEG_COLOR_GREY}) {
        jpeg_decoder* d = OpenBytes(two, &heap);
        EXPECT_EQ(jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(two.size()), nullptr), JPEG_ERR_PRECISION);
        // A start after the failed header returns its failure.
        EXPECT_EQ(jpeg_start_decode(d), JPEG_ERR_PRECISION);
        // The header stops at the colour settling; the record is completed as a caller would set it.
        d->header_status = JPEG_OK;
        d->output_color = output;
        d->bytes_left = static_cast<uint32_t>(two.size());
        if (output == JPEG_COLOR_RGB) {
            EXPECT_EQ(jpeg_start_decode(d), JPEG_ERR_UNSUPPORTED);
        } else {
            ASSERT_EQ(jpeg_start_decode(d), JPEG_OK);
            EXPECT_EQ(d->row_output, &jpeg_row_grey);
            std::vector<uint8_t> line(16);
            EXPECT_EQ(jpeg_decode_row(d, line.data()), JPEG_OK);
            const std::vector<uint8_t> pixels = Picture(16, 8, 2);
            for (int x = 0; x < 16; ++x) {
                EXPECT_NEAR(line[x], pixels[2 * x], 12);
            }
        }
        jpeg_decoder_destroy(d);
    }
    EXPECT_EQ(heap.live, 0);

    // One component comes out as grey, one byte per pixel.
    o.components = 1;
    const Decoded grey = DecodeAll(PeerEncode(o));
    EXPECT_EQ(grey.channels, 1u);
    EXPECT_EQ(grey.pixels.size(), 16u * 8u);
}

TEST(DecodeRangeLimit, EveryOutputMapsAsTheTableSaysAndNeverOutsideIt)
{
    TestHeap heap;
    const Bytes bytes = PeerEncode(PeerOptions{});
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
    const int32_t* base = decoder->range_limit;
    const std::pair<int32_t, int> cases[] = {{-129, 0},  {-128, 0},   {0, 128},   {127, 255}, {128, 255},
                                             {639, 255}, {640, 0},    {768, 0},   {-512, 0},  {-5000, 0},
                                             {5000, 0},  {-32768, 0}, {32767, 0}, {1407, 0},  {-640, 0}};
    for (const auto& [value, expected] : cases) {
        EXPECT_EQ(jpeg_range_sample(base, value), expected) << value;
    }
    for (int32_t v = -128; v <= 127; ++v) {
        EXPECT_EQ(jpeg_range_sample(base, v), v + 128);
    }
    // Both bodies of each store agree with the table: the full-size store over the kernel's
    // 16-bit range and beyond it, the direct path's 16-bit store over all its values.
    const auto expect_stores = [base](const auto& bodies, auto values) {
        values.resize((values.size() + 63) / 64 * 64, 0);
        for (const auto store : bodies) {
            uint8_t out[64];
            for (size_t b = 0; b < values.size(); b += 64) {
                store(values.data() + b, out, 8);
                for (size_t i = 0; i < 64; ++i) {
                    ASSERT_EQ(out[i], jpeg_range_sample(base, values[b + i])) << values[b + i];
                }
            }
        }
    };
    std::vector<int32_t> values{INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1};
    for (int32_t v = -70000; v <= 70000; ++v) {
        values.push_back(v);
    }
    std::vector<int16_t> words;
    for (int32_t v = -32768; v <= 32767; ++v) {
        words.push_back(static_cast<int16_t>(v));
    }
    std::vector<void (*)(const int32_t*, uint8_t*, int32_t)> bodies{&jpeg_store_block8};
    std::vector<void (*)(const int16_t*, uint8_t*, int32_t)> word_bodies{&jpeg_store_block8_words};
#if defined(__x86_64__) || defined(__i386__)
    bodies.push_back(&jpeg_store_block8_sse2);
    word_bodies.push_back(&jpeg_store_block8_words_sse2);
#endif
    expect_stores(bodies, values);
    expect_stores(word_bodies, words);
    jpeg_decoder_destroy(decoder);
}

TEST(DecodeResample, ReplicationInPlace)
{
    // A 2 x 1 chroma plane 10, 20 in a 4 x 2 memory.
    uint8_t memory[8] = {10, 20, 0, 0, 0, 0, 0, 0};
    jpeg_plane plane{2, 1, 4, memory};
    jpeg_upsample_hv(&plane, &plane, 2, 2, 4, 2);
    const uint8_t expected[8] = {10, 10, 20, 20, 10, 10, 20, 20};
    EXPECT_EQ(std::memcmp(memory, expected, 8), 0);
    EXPECT_EQ(plane.width, 4u);
    EXPECT_EQ(plane.height, 2u);

    // Doubling in place over a row longer than one word, and a factor of 4 (4:1:1).
    uint8_t row[80] = {};
    for (int i = 0; i < 20; ++i) {
        row[i] = static_cast<uint8_t>(i + 1);
    }
    jpeg_plane wide{20, 1, 80, row};
    jpeg_upsample_h(&wide, &wide, 2, 1, 40, 1);
    for (int x = 0; x < 40; ++x) {
        EXPECT_EQ(row[x], x / 2 + 1) << x;
    }
    jpeg_plane four{10, 1, 80, row};
    jpeg_upsample_h(&four, &four, 4, 1, 40, 1);
    for (int x = 0; x < 40; ++x) {
        EXPECT_EQ(row[x], x / 8 + 1) << x;
    }
}

namespace {

// Grey, 56 x 32: seven MCUs per row, restart interval 4.
Bytes RestartStream()
{
    PeerOptions o;
    o.components = 1;
    o.width = 56;
    o.height = 32;
    o.restart_mcus = 4;
    return PeerEncode(o);
}

// The 28 MCUs of RestartStream: those in [grey_from, grey_to) lost (flat grey), the others as
// in the undamaged decode.
void ExpectMcus(const Decoded& got, const Decoded& undamaged, int grey_from, int grey_to)
{
    for (int mcu = 0; mcu < 28; ++mcu) {
        const bool lost = mcu >= grey_from && mcu < grey_to;
        int wrong = 0;
        for (int y = 0; y < 8; ++y) {
            for (int x = 0; x < 8; ++x) {
                const size_t i = static_cast<size_t>((mcu / 7) * 8 + y) * 56 + (mcu % 7) * 8 + x;
                wrong += got.pixels[i] != (lost ? 128 : undamaged.pixels[i]);
            }
        }
        EXPECT_EQ(wrong, 0) << "MCU " << mcu;
    }
}

}   // namespace

TEST(DecodeRestarts, ResynchronisationSkipsTheLostIntervals)
{
    const Bytes good = RestartStream();
    const Decoded undamaged = DecodeAll(good);
    ASSERT_EQ(undamaged.start, JPEG_OK);
    const size_t scan = ScanStart(good);
    auto rst = [&](const Bytes& b, uint8_t n) { return FindMarker(b, static_cast<uint8_t>(0xD0 + n), scan); };

    // RST4 removed: RST5 follows RST3, interval 5 (MCUs 20..23, across rows 2 and 3) stays grey.
    Bytes cut = good;
    cut.erase(cut.begin() + static_cast<ptrdiff_t>(rst(cut, 4)), cut.begin() + static_cast<ptrdiff_t>(rst(cut, 4)) + 2);
    const Decoded damaged = DecodeAll(cut);
    ExpectMcus(damaged, undamaged, 20, 24);
    for (size_t row = 0; row < damaged.rows.size(); ++row) {
        EXPECT_EQ(damaged.rows[row], row >= 16 && row < 24 ? JPEG_WARN_DAMAGED_DATA : JPEG_OK) << row;
    }

    // RST4 removed and RST5 renamed RST3: the same marker again, seven intervals (28 MCUs) lost.
    Bytes same = cut;
    same[rst(same, 5) + 1] = 0xD3;
    ExpectMcus(DecodeAll(same), undamaged, 20, 28);

    // Junk before RST4: the next RSTn in order is found, nothing skipped.
    Bytes junk = good;
    junk.insert(junk.begin() + static_cast<ptrdiff_t>(rst(junk, 4)), 8, 0x55);
    const Decoded none = DecodeAll(junk);
    ExpectMcus(none, undamaged, 0, 0);
    EXPECT_EQ(none.rows[16], JPEG_WARN_DAMAGED_DATA);

    // EOI met while skipping ends the skip with 1; the rest stays grey, every row still decodes.
    Bytes ended(good.begin(), good.begin() + static_cast<ptrdiff_t>(rst(good, 4)));
    ended.insert(ended.end(), {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0xFF, 0xD9});
    const Decoded eoi = DecodeAll(ended);
    ASSERT_EQ(eoi.start, JPEG_OK);
    ExpectMcus(eoi, undamaged, 20, 28);
    for (jpeg_status row : eoi.rows) {
        EXPECT_GE(row, 1);
    }

    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(ended, &heap);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(ended.size()), nullptr), 1);
    ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
    decoder->end_of_scan_marker = 0xD3;
    EXPECT_EQ(jpeg_direct_skip_restart_markers(decoder, 8), JPEG_OK);
    EXPECT_EQ(decoder->last_marker, 0xD9);
    EXPECT_EQ(decoder->end_of_scan_marker, 0xD3 + 0);   // RST0..RST3 of the data are met on the way
    jpeg_decoder_destroy(decoder);
}

namespace {

jpeg_status StartOf(const Bytes& bytes)
{
    return DecodeAll(bytes).start;
}

// Every DQT segment rewritten with 16-bit values.
Bytes SixteenBitQuant(const Bytes& bytes)
{
    Bytes out(bytes.begin(), bytes.begin() + 2);
    size_t i = 2;
    while (i + 4 <= bytes.size()) {
        const uint8_t code = bytes[i + 1];
        const size_t length = static_cast<size_t>(bytes[i + 2]) << 8 | bytes[i + 3];
        if (code == 0xDA) {
            out.insert(out.end(), bytes.begin() + static_cast<ptrdiff_t>(i), bytes.end());
            break;
        }
        if (code != 0xDB) {
            out.insert(out.end(), bytes.begin() + static_cast<ptrdiff_t>(i),
                       bytes.begin() + static_cast<ptrdiff_t>(i + 2 + length));
        } else {
            Bytes payload;
            for (size_t t = i + 4; t + 65 <= i + 2 + length; t += 65) {
                payload.push_back(static_cast<uint8_t>(0x10 | (bytes[t] & 15)));
                for (int k = 0; k < 64; ++k) {
                    payload.push_back(0);
                    payload.push_back(bytes[t + 1 + k]);
                }
            }
            Segment(out, 0xDB, payload);
        }
        i += 2 + length;
    }
    return out;
}

}   // namespace

TEST(DecodeStates, WrongStatesAndRefusedFrames)
{
    const Bytes bytes = PeerEncode(PeerOptions{});
    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    std::vector<uint8_t> line(33 * 3, 0xAB);
    EXPECT_EQ(jpeg_start_decode(decoder), JPEG_ERR_STATE);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    EXPECT_EQ(jpeg_decode_row(decoder, line.data()), JPEG_ERR_STATE);
    ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
    for (int y = 0; y < 17; ++y) {
        EXPECT_EQ(jpeg_decode_row(decoder, line.data()), JPEG_OK);
    }
    // One image per decoder: a row after the last writes nothing.
    std::fill(line.begin(), line.end(), 0xAB);
    EXPECT_EQ(jpeg_decode_row(decoder, line.data()), JPEG_ERR_STATE);
    EXPECT_EQ(line[0], 0xAB);
    jpeg_decoder_destroy(decoder);

    const size_t sof = FindMarker(bytes, 0xC0);
    EXPECT_EQ(StartOf(Patched(bytes, sof + 1, 0xC1)), JPEG_ERR_UNSUPPORTED);   // extended, 8 bits
    EXPECT_EQ(StartOf(SixteenBitQuant(bytes)), JPEG_ERR_UNSUPPORTED);
    // A frame of no lines or no samples per line cannot be decoded.
    int started = 0;
    for (size_t at : {sof + 5, sof + 7}) {
        const Bytes zero = Patched(Patched(bytes, at, 0), at + 1, 0);
        TestHeap zero_heap;
        jpeg_decoder* d = OpenBytes(zero, &zero_heap);
        if (jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(zero.size()), nullptr) >= 1) {
            EXPECT_EQ(jpeg_start_decode(d), JPEG_ERR_SYNTAX) << at - sof;
            ++started;
        }
        jpeg_decoder_destroy(d);
    }
    EXPECT_GE(started, 1);

    const Bytes progressive = ReadData("cjpeg_progressive.jpg");
    const size_t sof2 = FindMarker(progressive, 0xC2);
    EXPECT_EQ(StartOf(Patched(progressive, sof2 + 4, 12)), JPEG_ERR_UNSUPPORTED);

    // Component 0 without the largest factors, or ratios that are not whole numbers.
    PeerOptions o;
    o.sampling[0] = 0x11;
    const Bytes flat = PeerEncode(o);
    const size_t at = FindMarker(flat, 0xC0) + 11;   // component 0's sampling byte
    EXPECT_EQ(StartOf(Patched(Patched(flat, at, 0x11), at + 3, 0x21)), JPEG_ERR_UNSUPPORTED);
    EXPECT_EQ(StartOf(Patched(Patched(flat, at, 0x31), at + 3, 0x21)), JPEG_ERR_UNSUPPORTED);

    // The processor is identified once: a forced level survives a second set-up.
    LevelGuard guard;
    jpeg_cpu_init();
    ASSERT_GE(dispatch_set_level(0), 0);
    jpeg_cpu_init();
    EXPECT_EQ(dispatch_level.load(), 0);
}

TEST(DecodeTruncation, RowsAfterTheCutStayGrey)
{
    const Bytes whole = ReadData("cjpeg_420.jpg");
    const size_t scan = ScanStart(whole);
    std::vector<size_t> cuts;
    for (size_t at = scan; at < whole.size(); at += 97) {
        cuts.push_back(at);
    }
    for (size_t at = whole.size() - 64; at < whole.size(); ++at) {
        cuts.push_back(at);
    }
    const size_t floor = FirstScanFloorBytes(whole);
    for (size_t at : cuts) {
        const Bytes cut(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(at));
        const Decoded got = DecodeAll(cut);
        // Too short for a bit a block: no image of the header's size.
        if (at - scan < floor) {
            EXPECT_EQ(got.start, JPEG_ERR_DATA) << at;
            continue;
        }
        ASSERT_EQ(got.start, JPEG_OK) << at;
        const size_t row = got.pixels.size() / got.rows.size();
        size_t first_bad = got.rows.size();
        for (size_t y = 0; y < got.rows.size(); ++y) {
            EXPECT_GE(got.rows[y], 1) << at;
            if (got.rows[y] == JPEG_WARN_DAMAGED_DATA && first_bad == got.rows.size()) {
                first_bad = y;
            }
        }
        // Rows of the MCU rows after the one where the data ended.
        for (size_t y = (first_bad / 16 + 1) * 16; y < got.rows.size(); ++y) {
            EXPECT_EQ(got.rows[y], JPEG_WARN_DAMAGED_DATA) << at;
            for (size_t x = 0; x < row; ++x) {
                ASSERT_EQ(got.pixels[y * row + x], 128) << at << " " << y;
            }
        }
    }
}

TEST(DecodeMemory, EveryRefusedAllocationOfAStartGivesMinusOneWithoutALeak)
{
    PeerOptions o;
    o.restart_mcus = 2;
    ExpectEachStartAllocationRefused(PeerEncode(o));
}

// A DNL met where the scan should end gives -3; a whole one sets the height it gives, one cut
// short is not read past and leaves the height.
TEST(DecodeDirect, DnlAtTheEndOfTheDataIsNotReadPast)
{
    PeerOptions o;
    o.components = 1;
    o.width = 8;
    o.height = 8;
    const Bytes encoded = PeerEncode(o);
    ASSERT_EQ(encoded[encoded.size() - 1], 0xD9);
    const struct {
        Bytes dnl;
        uint32_t height;
    } cases[] = {{{0xFF, 0xDC, 0x00, 0x04, 0x00, 0x05}, 5}, {{0xFF, 0xDC, 0x00, 0x04, 0x00}, 8}};
    for (const auto& c : cases) {
        Bytes bytes(encoded.begin(), encoded.end() - 2);
        bytes.insert(bytes.end(), c.dnl.begin(), c.dnl.end());
        TestHeap heap;
        jpeg_decoder* decoder = OpenBytes(bytes, &heap);
        ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
        ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
        std::vector<uint8_t> line(8);
        EXPECT_EQ(jpeg_decode_row(decoder, line.data()), JPEG_OK);
        EXPECT_EQ(jpeg_direct_scan_end_marker(decoder), JPEG_ERR_DATA);
        EXPECT_EQ(decoder->last_marker, 0xDC);
        EXPECT_EQ(jpeg_height(decoder), c.height);
        jpeg_decoder_destroy(decoder);
    }
}

namespace {

// Natural position of each zigzag index, walked along the anti-diagonals (T.81 Figure A.6).
std::vector<int> ZigzagToNatural()
{
    std::vector<int> natural;
    for (int s = 0; s < 15; ++s) {
        for (int i = 0; i <= s; ++i) {
            const int row = s % 2 == 0 ? s - i : i;
            const int col = s - row;
            if (row < 8 && col < 8) {
                natural.push_back(8 * row + col);
            }
        }
    }
    return natural;
}

// The whole stream through the public calls, then `check` on the record before it goes.
template <class Check>
void DecodeThenCheck(const Bytes& bytes, Check check)
{
    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
    const size_t row = size_t{jpeg_width(decoder)} * 2 * 4;
    std::vector<uint8_t> line(row);
    for (uint32_t y = 0; y < jpeg_height(decoder); ++y) {
        ASSERT_EQ(jpeg_decode_row(decoder, line.data()), JPEG_OK);
    }
    ASSERT_NE(jpeg_rec_direct_state(decoder), nullptr);
    check(decoder);
    jpeg_decoder_destroy(decoder);
}

}   // namespace

// The direct path's view of the record after whole decodes, against the streams' own segments
// as the kernel tests' parser reads them: frame, scan, Huffman and quantisation tables of a
// cjpeg baseline stream with restarts, predictor, point transform and table totals of a dcmcjpeg
// lossless one; what the direct path writes is seen through the public calls.
TEST(DecodeDirect, RecordAccessorsGiveTheStreamsSegments)
{
    const Bytes baseline = ReadData("cjpeg_restart.jpg");
    const TestJpeg parsed = parse_test_jpeg(baseline);
    ASSERT_EQ(parsed.sof, 0xC0);
    ASSERT_GT(parsed.restart_interval, 0);
    DecodeThenCheck(baseline, [&](jpeg_decoder* d) {
        EXPECT_EQ(jpeg_rec_width(d), parsed.width);
        EXPECT_EQ(jpeg_rec_component_count(d), static_cast<int32_t>(parsed.components.size()));
        EXPECT_EQ(jpeg_rec_precision(d), 8u);
        EXPECT_EQ(jpeg_rec_ss(d), static_cast<uint32_t>(parsed.ss));
        EXPECT_EQ(jpeg_rec_al(d), static_cast<uint32_t>(parsed.al));
        const auto same_table = [](const uint8_t* counts, const uint8_t* values, const TestHuffTable& table) {
            return counts != nullptr && values != nullptr && std::memcmp(counts, table.counts, 16) == 0 &&
                   std::equal(table.values.begin(), table.values.end(), values);
        };
        for (const auto& [id, table] : parsed.dc_tables) {
            ASSERT_LT(id, jpeg_rec_dc_count(d));
            EXPECT_TRUE(same_table(jpeg_rec_dc_counts(d, id), jpeg_rec_dc_values(d, id), table)) << "DC " << id;
        }
        for (const auto& [id, table] : parsed.ac_tables) {
            ASSERT_LT(id, jpeg_rec_ac_count(d));
            EXPECT_TRUE(same_table(jpeg_rec_ac_counts(d, id), jpeg_rec_ac_values(d, id), table)) << "AC " << id;
        }
        for (const TestJpeg::ScanComponent& sc : parsed.scan) {
            EXPECT_EQ(jpeg_rec_dc_selectors(d)[sc.index], static_cast<uint32_t>(sc.dc));
            EXPECT_EQ(jpeg_rec_ac_selectors(d)[sc.index], static_cast<uint32_t>(sc.ac));
        }
        // Quantisation: each DQT table in natural order, and each frame component's Tq.
        const std::vector<int> natural = ZigzagToNatural();
        int32_t tables = 0;
        for (size_t at = FindMarker(baseline, 0xDB); at < baseline.size(); at = FindMarker(baseline, 0xDB, at + 2)) {
            const uint8_t* q = baseline.data() + at + 4;
            ASSERT_EQ(*q >> 4, 0);   // 8-bit values
            const int32_t id = *q & 15;
            ASSERT_LT(id, jpeg_rec_quant_count(d));
            const jpeg_quant_table* table = jpeg_rec_quant_table(d, id);
            for (int k = 0; k < 64; ++k) {
                EXPECT_EQ(table->values[natural[static_cast<size_t>(k)]], q[1 + k]) << id << " " << k;
            }
            ++tables;
        }
        EXPECT_EQ(tables, 2);
        const size_t sof = FindMarker(baseline, 0xC0);
        for (size_t c = 0; c < parsed.components.size(); ++c) {
            EXPECT_EQ(jpeg_rec_quant_selectors(d)[c], baseline[sof + 12 + 3 * c]);
        }
        // What the direct path writes: predictions, the marker met, a DNL's height.
        jpeg_rec_set_dc_pred(d, 2, -7);
        EXPECT_EQ(jpeg_rec_dc_pred(d, 2), -7);
        EXPECT_EQ(jpeg_rec_dc_preds(d)[2], -7);
        jpeg_rec_set_marker(d, 0xD3);
        EXPECT_EQ(jpeg_rec_marker(d), 0xD3u);
        jpeg_rec_set_height(d, 77);
        EXPECT_EQ(jpeg_height(d), 77u);
    });

    const Bytes lossless = ReadData("dcmtk_lossless_pt2_12.jpg");
    const TestJpeg lossless_parsed = parse_test_jpeg(lossless);
    ASSERT_EQ(lossless_parsed.sof, 0xC3);
    ASSERT_EQ(lossless_parsed.al, 2);
    DecodeThenCheck(lossless, [&](jpeg_decoder* d) {
        EXPECT_EQ(jpeg_rec_precision(d), static_cast<uint32_t>(lossless_parsed.precision));
        EXPECT_EQ(jpeg_rec_ss(d), static_cast<uint32_t>(lossless_parsed.ss));
        EXPECT_EQ(jpeg_rec_al(d), 2u);
        const TestHuffTable& table = lossless_parsed.dc_tables.at(lossless_parsed.scan[0].dc);
        uint32_t total = 0;
        for (const uint8_t count : table.counts) {
            total += count;
        }
        EXPECT_EQ(jpeg_rec_dc_symbol_total(d, lossless_parsed.scan[0].dc), total);
    });
}

TEST(DecodeRangeTable, DecodersStartingTogetherShareOneTable)
{
    const Bytes bytes = PeerEncode(PeerOptions{});
    const Decoded reference = DecodeAll(bytes);
    jpeg_range_table_release(nullptr, nullptr);
    Decoded results[4];
    TestHeap heaps[4];
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&bytes, &result = results[i], &heap = heaps[i]] {
            jpeg_decoder* d = OpenBytes(bytes, &heap);
            jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr);
            result.start = jpeg_start_decode(d);
            result.pixels.assign(33 * 3 * 17, 0);
            for (int y = 0; y < 17; ++y) {
                jpeg_decode_row(d, result.pixels.data() + 33 * 3 * y);
            }
            jpeg_decoder_destroy(d);
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (const Decoded& result : results) {
        EXPECT_EQ(result.start, JPEG_OK);
        EXPECT_EQ(result.pixels, reference.pixels);
    }
    // The table made for one of those decoders belongs to the codec.
    jpeg_range_table_release(nullptr, nullptr);
    CodecUp();
}

namespace {

// A heap that knows its own blocks: freeing any other block is counted and not done.
struct OwnHeap {
    std::set<void*> blocks;
    int32_t foreign_frees = 0;
};

void* OwnAlloc(void* user, uint32_t size)
{
    void* memory = std::malloc(size == 0 ? 1 : size);
    static_cast<OwnHeap*>(user)->blocks.insert(memory);
    return memory;
}

void OwnFree(void* user, void* pointer)
{
    auto* heap = static_cast<OwnHeap*>(user);
    if (heap->blocks.erase(pointer) == 0) {
        ++heap->foreign_frees;
        return;
    }
    std::free(pointer);
}

const jpeg_allocator kOwnAllocator{&OwnAlloc, &OwnFree};

// The DQT and DHT segments before the first scan, split off into a tables-only stream; the rest
// is the abbreviated image.
void SplitTables(const Bytes& full, Bytes* tables, Bytes* image)
{
    *tables = {0xFF, 0xD8};
    *image = {0xFF, 0xD8};
    size_t at = 2;
    while (full[at + 1] != 0xDA) {
        const size_t n = 2 + (static_cast<size_t>(full[at + 2]) << 8 | full[at + 3]);
        Bytes* to = full[at + 1] == 0xDB || full[at + 1] == 0xC4 ? tables : image;
        to->insert(to->end(), full.begin() + static_cast<std::ptrdiff_t>(at),
                   full.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    }
    image->insert(image->end(), full.begin() + static_cast<std::ptrdiff_t>(at), full.end());
    tables->insert(tables->end(), {0xFF, 0xD9});
}

Bytes DecodeBorrowing(const Bytes& bytes, const jpeg_decoder* donor, uint32_t scale, OwnHeap* heap)
{
    jpeg_decoder* d = jpeg_decoder_create(&kOwnAllocator, heap);
    jpeg_source source{};
    jpeg_mem_source_create(d, bytes.data(), bytes.size(), &source);
    jpeg_set_source(d, &source);
    Bytes pixels;
    if (jpeg_read_header(d, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), donor) >= 1 &&
        jpeg_set_scale(d, scale) >= 1 && jpeg_start_decode(d) >= 1) {
        const size_t row = static_cast<size_t>(jpeg_width(d)) * 3;
        pixels.assign(row * jpeg_height(d), 0);
        for (uint32_t y = 0; y < jpeg_height(d); ++y) {
            EXPECT_EQ(jpeg_decode_row(d, pixels.data() + row * y), JPEG_OK);
        }
    }
    jpeg_decoder_destroy(d);
    return pixels;
}

// Every pointer of the donor's table records.
std::vector<const void*> TablePointers(const jpeg_decoder* donor)
{
    std::vector<const void*> pointers{donor->dc_tables, donor->ac_tables, donor->quant_tables};
    for (int32_t i = 0; i < donor->dc_count + donor->ac_count; ++i) {
        const jpeg_huff_table& t = i < donor->dc_count ? donor->dc_tables[i] : donor->ac_tables[i - donor->dc_count];
        pointers.insert(pointers.end(), {t.codes, t.counts, t.lookahead});
    }
    return pointers;
}

}   // namespace

// Decoders with allocators of their own borrow one tables-only stream's tables, one after another
// and from eight threads at once, on the direct path, at reduced size and progressive: each
// decodes as the whole stream, frees only its own blocks, and the donor's records stay as they were.
TEST(DecodeTables, BorrowersDeriveTheirTablesThroughTheirOwnAllocators)
{
    PeerOptions o;
    o.width = 40;
    o.height = 24;
    PeerOptions p = o;
    p.progression = 1;
    const Bytes fulls[2] = {PeerEncode(o), PeerEncode(p)};
    Bytes tables[2];
    Bytes images[2];
    OwnHeap donor_heaps[2];
    jpeg_decoder* donors[2];
    std::vector<const void*> before[2];
    Bytes expected[2][2];
    for (int s = 0; s < 2; ++s) {
        SplitTables(fulls[s], &tables[s], &images[s]);
        donors[s] = jpeg_decoder_create(&kOwnAllocator, &donor_heaps[s]);
        jpeg_source source{};
        jpeg_mem_source_create(donors[s], tables[s].data(), tables[s].size(), &source);
        jpeg_set_source(donors[s], &source);
        // As the library reads it: no frame, so no colour settles, and the tables are kept.
        jpeg_read_header(donors[s], JPEG_COLOR_YCBCR, static_cast<uint32_t>(tables[s].size()), nullptr);
        ASSERT_GT(donors[s]->dc_count, 0);
        before[s] = TablePointers(donors[s]);
        for (uint32_t k = 0; k < 2; ++k) {
            expected[s][k] = DecodeAll(fulls[s], s == 0 ? 1u << k : 1).pixels;
            ASSERT_FALSE(expected[s][k].empty());
        }
    }
    // Stream s at scale 1 or 2 (baseline) for borrower i.
    const auto run = [&](int i, OwnHeap* heap) {
        const int s = i % 2;
        const uint32_t k = s == 0 ? static_cast<uint32_t>(i / 2 % 2) : 0;
        EXPECT_EQ(DecodeBorrowing(images[s], donors[s], 1u << k, heap), expected[s][k]) << i;
    };
    OwnHeap heaps[16];
    for (int i = 0; i < 8; ++i) {
        run(i, &heaps[i]);
    }
    std::vector<std::thread> threads;
    for (int i = 8; i < 16; ++i) {
        threads.emplace_back(run, i, &heaps[i]);
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (const OwnHeap& heap : heaps) {
        EXPECT_EQ(heap.foreign_frees, 0);
        EXPECT_TRUE(heap.blocks.empty());
    }
    for (int s = 0; s < 2; ++s) {
        EXPECT_EQ(TablePointers(donors[s]), before[s]) << s;
        jpeg_decoder_destroy(donors[s]);
        EXPECT_EQ(donor_heaps[s].foreign_frees, 0);
        EXPECT_TRUE(donor_heaps[s].blocks.empty());
    }
}

// The global set-up could not make the range-limit table, so the first decoder to need it made
// it; that decoder and its allocator are gone when the codec's release frees the table.
TEST(DecodeRangeTable, TableMadeForADecoderOutlivesTheDecodersAllocator)
{
    jpeg_range_table_release(nullptr, nullptr);
    const jpeg_allocator refusing{[](void*, uint32_t) -> void* { return nullptr; }, [](void*, void*) {}};
    ASSERT_EQ(jpeg_range_table_create(&refusing, nullptr), JPEG_ERR_MEMORY);
    PeerOptions o;
    o.width = 16;
    o.height = 16;
    const Bytes bytes = PeerEncode(o);
    auto* heap = new OwnHeap;
    EXPECT_FALSE(DecodeBorrowing(bytes, nullptr, 2, heap).empty());
    EXPECT_TRUE(heap->blocks.empty());
    delete heap;
    // Under AddressSanitizer a free through the dead heap is a use after free.
    jpeg_range_table_release(nullptr, nullptr);
    EXPECT_EQ(jpeg_range_table_create(&refusing, nullptr), JPEG_ERR_MEMORY);
    CodecUp();
}
