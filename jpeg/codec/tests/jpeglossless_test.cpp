#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "huffman/huff_encode.h"
#include "jpeg/jpegdecode.h"
#include "jpeg_test_stream.h"
#include "jpegtestsupport.h"

namespace {

// Replaces the n-th byte of the first scan's entropy data with `value`.
Bytes DamageScan(const Bytes& bytes, size_t offset, uint8_t value)
{
    return Patched(bytes, ScanStart(bytes) + offset, value);
}

// ---- a small lossless writer: predictor 1, components interleaved 1 x 1 ----

using Table = TestHuffTable;

// Symbols 0..16, codes of 2 to 14 bits whose long codes differ after their first eight.
const Table kWideTable{{0, 1, 5, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0},
                       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};
// Fourteen 11-bit codes under two 8-bit prefixes: their last bits repeat.
const Table kSharedTailTable{{0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 14, 0, 0, 0, 0, 0},
                             {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}};

struct LosslessImage {
    int32_t width = 0;
    int32_t height = 0;
    int32_t components = 1;
    int32_t precision = 16;
    std::vector<uint16_t> samples;   // interleaved
};

// The stream of `image` with predictor 1 and Al 0; rows_per_interval > 0 adds restarts; `scans`
// lists, when given, one scan per component in that order.
Bytes WriteLossless(const LosslessImage& image, const Table& table, int32_t rows_per_interval = 0,
                    const std::vector<int32_t>& scans = {})
{
    Bytes out;
    Marker(out, 0xD8);
    std::vector<Component> frame;
    std::vector<ScanComponent> all;
    for (int32_t c = 0; c < image.components; ++c) {
        frame.push_back({static_cast<uint8_t>(c + 1), 0x11, 0});
        all.push_back({static_cast<uint8_t>(c + 1), 0x00});
    }
    Frame(out, 0xC3, static_cast<uint8_t>(image.precision), static_cast<uint16_t>(image.height),
          static_cast<uint16_t>(image.width), frame);
    HuffmanTable(out, 0x00, table.counts, table.values);
    if (rows_per_interval > 0) {
        Bytes dri;
        Put16(dri, static_cast<uint32_t>(rows_per_interval * image.width));
        Segment(out, 0xDD, dri);
    }
    const std::map<int, TestCode> codes = canonical_codes(table);
    const int32_t n = image.components;
    auto at = [&](int32_t x, int32_t y, int32_t c) {
        return image.samples[(static_cast<size_t>(y) * image.width + x) * n + c];
    };
    std::vector<std::vector<int32_t>> scan_sets;
    if (scans.empty()) {
        std::vector<int32_t> every;
        for (int32_t c = 0; c < n; ++c) {
            every.push_back(c);
        }
        scan_sets.push_back(every);
    } else {
        for (const int32_t c : scans) {
            scan_sets.push_back({c});
        }
    }
    for (const std::vector<int32_t>& components : scan_sets) {
        std::vector<ScanComponent> header;
        for (const int32_t c : components) {
            header.push_back(all[static_cast<size_t>(c)]);
        }
        Scan(out, header, 1, 0, 0);
        TestBitWriter bits;
        const auto pad = [&] {
            const Bytes data = bits.finish();
            out.insert(out.end(), data.begin(), data.end());
            bits = TestBitWriter{};
        };
        int32_t interval_row = 0;
        for (int32_t y = 0; y < image.height; ++y) {
            if (rows_per_interval > 0 && y > 0 && y % rows_per_interval == 0) {
                pad();
                Marker(out, static_cast<uint8_t>(0xD0 + (y / rows_per_interval - 1) % 8));
                interval_row = 0;
            }
            for (int32_t x = 0; x < image.width; ++x) {
                for (const int32_t c : components) {
                    const uint32_t prediction = x > 0              ? at(x - 1, y, c)
                                                : interval_row > 0 ? at(0, y - 1, c)
                                                                   : 1u << (image.precision - 1);
                    const auto d = static_cast<uint16_t>(at(x, y, c) - prediction);
                    const int32_t value = d >= 32768 ? static_cast<int32_t>(d) - 65536 : d;
                    if (d == 32768) {
                        bits.put(codes.at(16));
                        continue;
                    }
                    const uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
                    const int32_t s = magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
                    bits.put(codes.at(s));
                    bits.put(static_cast<uint32_t>(value < 0 ? value + (1 << s) - 1 : value), s);
                }
            }
            ++interval_row;
        }
        pad();
    }
    Marker(out, 0xD9);
    return out;
}

LosslessImage Ramp(int32_t width, int32_t height, int32_t components, int32_t precision)
{
    LosslessImage image{width, height, components, precision, {}};
    uint32_t noise = 99;
    for (int32_t i = 0; i < width * height * components; ++i) {
        noise = noise * 1103515245u + 12345u;
        image.samples.push_back(static_cast<uint16_t>((i * 37 + (noise >> 20)) & ((1u << precision) - 1)));
    }
    return image;
}

Bytes AsBytes(const LosslessImage& image)
{
    Bytes out;
    for (const uint16_t sample : image.samples) {
        out.push_back(static_cast<uint8_t>(sample));
        if (image.precision > 8) {
            out.push_back(static_cast<uint8_t>(sample >> 8));
        }
    }
    return out;
}

int Category(uint16_t difference)
{
    const int value = int16_t(difference);
    if (value == -32768)
        return 16;
    int size = 0;
    for (int a = value < 0 ? -value : value; a != 0; a >>= 1)
        ++size;
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
    for (uint16_t d : diffs)
        ++counts[size_t(Category(d))];
    uint8_t bits[16];
    uint8_t values[256];
    EXPECT_EQ(dispatch_entry<dispatch_table_generate_huff_table>(level)(counts.data(), bits, values), kernel_ok);
    int total = 0;
    for (uint8_t n : bits)
        total += n;
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

// The direct path's choices after the start: its flags and the hooks its routines installed.
struct Paths {
    uint32_t fast = 0;
    uint32_t fast16 = 0;
    jpeg_status (*unit)(jpeg_decoder*, jpeg_lossless_rows*, int32_t) = nullptr;
    uint32_t single_row = 0;
    bool predictions_are_the_records = false;
    bool hooks = false;   // the lossless restart routine and the kernels' reconstruction
};

Paths PathsOf(const Bytes& bytes)
{
    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    Paths paths;
    if (jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr) >= 1 &&
        jpeg_start_decode(decoder) >= 1) {
        paths = {decoder->direct->lossless_fast,
                 decoder->direct->lossless_fast16,
                 decoder->decode_row_unit,
                 decoder->single_row_lossless,
                 decoder->direct->predictions == &decoder->dc_pred[0],
                 decoder->restart == &jpeg_direct_restart_lossless && decoder->reconstruct == &jpeg_direct_reconstruct};
    }
    jpeg_decoder_destroy(decoder);
    return paths;
}

}   // namespace

// Every lossless stream that dcmcjpeg wrote: the samples dcmdjpeg (and, where it takes the file,
// gdcmconv) decodes, including the point transform's left shift; 8-bit streams as bytes.
TEST(JpegLossless, FixturesEqualDcmdjpeg)
{
    int32_t checked = 0;
    for (const auto& entry : std::filesystem::directory_iterator(JPEG_TEST_DATA_DIR)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".jpg" || name.rfind("dcmtk_lossless_", 0) != 0) {
            continue;
        }
        SCOPED_TRACE(name);
        const Bytes expected = ReadData(name.substr(0, name.size() - 4) + ".raw");
        ASSERT_FALSE(expected.empty());
        const Decoded decoded = DecodeAll(ReadWholeFile(entry.path().string()));
        ASSERT_EQ(decoded.start, JPEG_OK);
        for (const jpeg_status status : decoded.rows) {
            EXPECT_EQ(status, JPEG_OK);
        }
        EXPECT_EQ(decoded.pixels, expected);
        ++checked;
    }
    EXPECT_GE(checked, 26);
}

// A row the kernel finds damaged comes out as bytes 128 with the warning, and decoding goes on
// to the last row.
TEST(JpegLossless, DamagedRowIsFilledAndDecodingGoesOn)
{
    for (const char* name : {"dcmtk_lossless_sv1_12.jpg", "dcmtk_lossless_sv1_8.jpg", "dcmtk_lossless_sv1_rgb.jpg"}) {
        SCOPED_TRACE(name);
        // FF D0 inside the data: a marker cuts the first row short.
        Bytes bytes = DamageScan(ReadData(name), 2, 0xFF);
        bytes = DamageScan(bytes, 3, 0xD0);
        const Decoded decoded = DecodeAll(bytes);
        ASSERT_EQ(decoded.start, JPEG_OK);
        ASSERT_FALSE(decoded.rows.empty());
        EXPECT_EQ(decoded.rows.front(), JPEG_WARN_DAMAGED_DATA);
        const size_t line = decoded.pixels.size() / decoded.rows.size();
        for (size_t i = 0; i < line; ++i) {
            EXPECT_EQ(decoded.pixels[i], 128);
        }
    }
}

// Truncated anywhere, on the kernel rows and on the fast paths: every row is handed out with the
// warning after the cut, and nothing is read past the data (the sanitiser build checks).
TEST(JpegLossless, TruncatedStreamsEndCleanly)
{
    const Bytes fixture = ReadData("dcmtk_lossless_sv1_rgb.jpg");
    std::vector<std::pair<Bytes, size_t>> streams{{fixture, fixture.size() / 2}};
    for (const int32_t precision : {16, 12}) {
        streams.emplace_back(WriteLossless(Ramp(41, 7, 1, precision), kWideTable, 2), 80);
    }
    for (const auto& [whole, from] : streams) {
        const size_t floor = ScanStart(whole) + FirstScanFloorBytes(whole);
        for (size_t cut = from; cut < whole.size(); cut += from == 80 ? 5 : 37) {
            const Decoded decoded = DecodeAll(Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut)));
            // Too short for a bit a sample: no image of the header's size.
            if (cut < floor) {
                EXPECT_EQ(decoded.start, JPEG_ERR_DATA) << cut;
                continue;
            }
            ASSERT_EQ(decoded.start, JPEG_OK) << cut;
            EXPECT_EQ(decoded.rows.back(), JPEG_WARN_DAMAGED_DATA) << cut;
        }
    }
}

// Several components not all sampled 1 x 1 would be decoded as garbage; two scans of one
// component leave another without samples: both refused at the start.
TEST(JpegLossless, FramesItCannotDecodeAreRefused)
{
    Bytes bytes = ReadData("dcmtk_lossless_sv1_rgb.jpg");
    bytes[FindMarker(bytes, 0xC3) + 11] = 0x21;   // first component H 2
    EXPECT_EQ(DecodeAll(bytes).start, JPEG_ERR_UNSUPPORTED);
    EXPECT_EQ(DecodeAll(WriteLossless(Ramp(9, 4, 3, 8), kWideTable, 0, {0, 0, 2})).start, JPEG_ERR_SYNTAX);
}

// Each allocation of the start refused in turn, one scan or one per component: -1, and nothing
// is left behind.
TEST(JpegLossless, RefusedAllocationsOfTheStart)
{
    ExpectEachStartAllocationRefused(ReadData("dcmtk_lossless_sv1_12.jpg"));
    ExpectEachStartAllocationRefused(ReadData("dcmtk_lossless_sv1_rgb.jpg"));
    ExpectEachStartAllocationRefused(WriteLossless(Ramp(17, 5, 3, 16), kWideTable, 0, {1, 0, 2}));
}

// One component, 16 bits, predictor 1, Al 0: the 16-bit loop into the caller's line in the
// single-row mode, with the record's predictions; another predictor or a point transform: the
// fast loop (differences, or samples predicted as decoded); three components: the kernel rows.
// The restart routine picks the unit; every frame has the lossless restart and reconstruction.
TEST(JpegLossless, PathsByFrame)
{
    struct Case {
        const char* name;
        Paths expected;
    };
    const Case cases[] = {
        {"dcmtk_lossless_bits16.jpg", {1, 1, &jpeg_direct_decode_row_fast16, 1, true, true}},
        {"dcmtk_lossless_sv2_12.jpg", {1, 0, &jpeg_direct_decode_row_fast, 0, false, true}},
        // The 16-bit loop starts rows at 32768, right only without a point transform.
        {"dcmtk_lossless_pt1_16.jpg", {1, 0, &jpeg_direct_decode_row_fast, 0, false, true}},
        {"dcmtk_lossless_sv1_rgb.jpg", {0, 0, &jpeg_direct_decode_row, 0, false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Paths got = PathsOf(ReadData(c.name));
        EXPECT_EQ(got.fast, c.expected.fast);
        EXPECT_EQ(got.fast16, c.expected.fast16);
        EXPECT_EQ(got.unit, c.expected.unit);
        EXPECT_EQ(got.single_row, c.expected.single_row);
        EXPECT_EQ(got.predictions_are_the_records, c.expected.predictions_are_the_records);
        EXPECT_EQ(got.hooks, c.expected.hooks);
    }
}

// Long codes whose bits after the first eight repeat: no fast tables, the kernel decodes, right.
TEST(JpegLossless, SharedLongCodeTailsFallBackToTheKernel)
{
    const LosslessImage image = Ramp(23, 5, 1, 16);
    const Bytes bytes = WriteLossless(image, kSharedTailTable);
    EXPECT_EQ(PathsOf(bytes).fast, 0u);
    const Decoded decoded = DecodeAll(bytes);
    ASSERT_EQ(decoded.start, JPEG_OK);
    EXPECT_EQ(decoded.pixels, AsBytes(image));
}

// The written streams decode to their input on each path, with and without restarts, at every
// precision (dcmcjpeg writes only 8 and 16).
TEST(JpegLossless, WrittenStreamsRoundTrip)
{
    for (const int32_t components : {1, 3}) {
        for (int32_t precision = 2; precision <= 16; ++precision) {
            for (const int32_t interval : {0, 1, 3}) {
                SCOPED_TRACE(testing::Message() << components << " " << precision << " " << interval);
                const LosslessImage image = Ramp(37, 9, components, precision);
                const Decoded decoded = DecodeAll(WriteLossless(image, kWideTable, interval));
                ASSERT_EQ(decoded.start, JPEG_OK);
                for (const jpeg_status status : decoded.rows) {
                    EXPECT_EQ(status, JPEG_OK);
                }
                EXPECT_EQ(decoded.pixels, AsBytes(image));
            }
        }
    }
}

// First difference 0 gives 32768; the next row starts from it; 32768 + 32768 wraps to 0 (the
// category-16 difference); 0xFF data bytes come stuffed; rows end inside bytes.
TEST(JpegLossless, FastLoopEdges)
{
    LosslessImage image{5,
                        3,
                        1,
                        16,
                        {32768, 0, 0xFFFF, 0x7FFF, 0xFFFF,   //
                         32770, 2, 0xFFFF, 0, 0xFFFF,        //
                         2, 32770, 1, 0xFFFE, 0x7FFE}};
    const Bytes bytes = WriteLossless(image, kWideTable);
    bool stuffed = false;
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        stuffed = stuffed || (bytes[i] == 0xFF && bytes[i + 1] == 0);
    }
    EXPECT_TRUE(stuffed);
    ASSERT_EQ(PathsOf(bytes).fast16, 1u);
    EXPECT_EQ(DecodeAll(bytes).pixels, AsBytes(image));
    // The same through the difference loop (12 bits) and through the kernel (three components).
    image.precision = 12;
    for (uint16_t& sample : image.samples) {
        sample &= 0x0FFF;
    }
    EXPECT_EQ(DecodeAll(WriteLossless(image, kWideTable)).pixels, AsBytes(image));
}

// Only the slot's own codes size it: an AC table of the same identifier with more symbols does
// not make the build read past the DC values.
TEST(JpegLossless, LargerAcTableOfTheSameIdentifier)
{
    const LosslessImage image = Ramp(19, 4, 1, 16);
    Bytes bytes = WriteLossless(image, kWideTable);
    Bytes ac;
    HuffmanTable(ac, 0x10, kLumaDcCounts, Bytes(kLumaDcValues, kLumaDcValues + 12));
    // Behind the DC table: 12 AC symbols under identifier 0.
    size_t dht = 0;
    while (!(bytes[dht] == 0xFF && bytes[dht + 1] == 0xC4)) {
        ++dht;
    }
    dht += 2 + (static_cast<size_t>(bytes[dht + 2]) << 8 | bytes[dht + 3]);
    bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(dht), ac.begin(), ac.end());
    ASSERT_EQ(PathsOf(bytes).fast16, 1u);
    EXPECT_EQ(DecodeAll(bytes).pixels, AsBytes(image));
}

// The scan's DC table declared again without a code: on the fast loops of one component and on
// the kernel rows of three, every row is handed out damaged, and nothing reads through a table
// that was never built.
TEST(JpegLossless, TableWithoutCodesGivesDamagedRows)
{
    for (const int32_t components : {1, 3}) {
        SCOPED_TRACE(components);
        Bytes bytes = WriteLossless(Ramp(19, 4, components, 16), kWideTable);
        const uint8_t none[16] = {};
        Bytes empty;
        HuffmanTable(empty, 0x00, none, {});
        const size_t sos = FindMarker(bytes, 0xDA);
        bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(sos), empty.begin(), empty.end());
        const Decoded decoded = DecodeAll(bytes);
        ASSERT_EQ(decoded.start, JPEG_OK);
        ASSERT_EQ(decoded.rows.size(), 4u);
        for (const jpeg_status row : decoded.rows) {
            EXPECT_EQ(row, JPEG_WARN_DAMAGED_DATA);
        }
    }
}

// One scan per component, in any order: three sub-decoders, the samples come out interleaved;
// each sub-decoder on the fast loops where its component allows.
TEST(JpegLossless, SeparateScansComeOutInterleaved)
{
    for (const std::vector<int32_t>& order : {std::vector<int32_t>{0, 1, 2}, std::vector<int32_t>{2, 1, 0}}) {
        for (const int32_t precision : {8, 12, 16}) {
            for (const int32_t interval : {0, 2}) {
                SCOPED_TRACE(testing::Message() << order[0] << " " << precision << " " << interval);
                const LosslessImage image = Ramp(29, 11, 3, precision);
                const Decoded decoded = DecodeAll(WriteLossless(image, kWideTable, interval, order));
                ASSERT_EQ(decoded.start, JPEG_OK);
                EXPECT_EQ(decoded.pixels, AsBytes(image));
            }
        }
    }
}

// A warning of the first sub-decoder is the row's, though the last one decodes cleanly.
TEST(JpegLossless, SeparateScanWarningsReachTheRow)
{
    const LosslessImage image = Ramp(29, 6, 3, 8);
    // Sixteen 1 bits: no code of the table.
    Bytes bytes = WriteLossless(image, kWideTable, 0, {0, 1, 2});
    for (const size_t at : {0, 2}) {
        bytes = DamageScan(DamageScan(bytes, at, 0xFF), at + 1, 0x00);
    }
    const Decoded decoded = DecodeAll(bytes);
    ASSERT_EQ(decoded.start, JPEG_OK);
    EXPECT_EQ(decoded.rows.front(), JPEG_WARN_DAMAGED_DATA);
}

// Lossless files written with the encoding kernels (every predictor, 8 to 16 bits, a 16-bit
// gradient across mid-range) decode to their samples through the codec at every level, and
// through dcmdjpeg.
TEST(JpegLossless, KernelEncodedFilesGiveTheirSamplesBackHereAndInDcmdjpeg)
{
    std::mt19937 rng(27);
    std::vector<LosslessImage> images;
    for (int p : {8, 12, 16}) {
        LosslessImage img{41, 13, 1, p, std::vector<uint16_t>(41 * 13)};
        for (auto& v : img.samples)
            v = uint16_t(rng() & ((1u << p) - 1));
        images.push_back(img);
    }
    LosslessImage gradient{41, 13, 1, 16, std::vector<uint16_t>(41 * 13)};
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 41; ++x)
            gradient.samples[size_t(y * 41 + x)] = uint16_t(30000 + 6000 * (x + y) / 52 + int(rng() % 200) - 100);
    images.push_back(gradient);
    std::string dir = ::testing::TempDir() + "kv_lossless_XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    // Removed however the test ends.
    struct Cleanup {
        std::string dir;
        ~Cleanup() { std::filesystem::remove_all(dir); }
    } cleanup{dir};
    const std::string list = std::string(dir) + "/list";
    FILE* listing = std::fopen(list.c_str(), "w");
    ASSERT_NE(listing, nullptr);
    std::vector<std::pair<std::string, Bytes>> expected;
    for (size_t i = 0; i < images.size(); ++i)
        for (int predictor = 1; predictor <= 7; ++predictor) {
            SCOPED_TRACE(::testing::Message() << "image " << i << " predictor " << predictor);
            const Bytes want = AsBytes(images[i]);
            Bytes first;
            for (int level = 0; level <= dispatch_supported_level(); ++level) {
                SCOPED_TRACE(level);
                const Bytes file = EncodeLossless(level, images[i], predictor);
                EXPECT_EQ(DecodeAll(file).pixels, want);
                if (level == 0)
                    first = file;
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
}
