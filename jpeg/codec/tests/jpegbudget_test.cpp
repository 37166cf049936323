// The least entropy-coded data a frame's blocks can take: intact streams near it decode, data
// shorter than it is refused at the start, before anything of the image's size is allocated.
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>
#include <utility>

#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"

namespace {

namespace fs = std::filesystem;

// The stream with its frame header's lines and samples replaced.
Bytes WithFrameSize(Bytes bytes, uint16_t lines, uint16_t samples)
{
    size_t sof = bytes.size();
    for (uint8_t code : {0xC0, 0xC1, 0xC2, 0xC3}) {
        sof = std::min(sof, FindMarker(bytes, code));
    }
    bytes.at(sof + 5) = static_cast<uint8_t>(lines >> 8);
    bytes.at(sof + 6) = static_cast<uint8_t>(lines);
    bytes.at(sof + 7) = static_cast<uint8_t>(samples >> 8);
    bytes.at(sof + 8) = static_cast<uint8_t>(samples);
    return bytes;
}

// The samples the budget fixtures' lossless streams were written from (their script's closed
// forms): flat 77 (12-bit: 1234), one pixel 200, and the 17 x 13 ramps; the channel count too.
int32_t WrittenSample(const std::string& name, uint32_t x, uint32_t y, uint32_t c)
{
    if (name.find("flat12") != std::string::npos) {
        return 1234;
    }
    if (name.find("flat") != std::string::npos) {
        return 77;
    }
    if (name.find("1x1") != std::string::npos) {
        return 200;
    }
    if (name.find("odd_rgb") != std::string::npos) {
        return static_cast<int32_t>(c == 0 ? x * 15 % 256 : c == 1 ? y * 19 % 256 : (x + y) * 8 % 256);
    }
    return static_cast<int32_t>((x * 13 + y * 7) % 256);
}

}   // namespace

// Every intact stream of cjpeg, dcmcjpeg and gdcmconv decodes without a damaged row: one pixel,
// odd sizes, restart intervals, subsampling, progressive and separate scans, and flat images
// whose lossless data holds exactly a bit a sample. The lossless samples are the ones written;
// the flat lossy ones stay within the quantiser's rounding.
TEST(EntropyBudget, IntactStreamsDecode)
{
    int32_t streams = 0;
    for (const std::string& folder : {std::string(JPEG_TEST_DATA_DIR), std::string(JPEG_TEST_DATA_DIR) + "/budget"}) {
        for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".jpg") {
                continue;
            }
            SCOPED_TRACE(name);
            ++streams;
            const Bytes bytes = ReadWholeFile(entry.path().string());
            if (name == "dcmtk_extended_12.jpg") {
                continue;   // 12-bit lossy frames are not decoded
            }
            const Decoded got = DecodeAll(bytes);
            ASSERT_EQ(got.start, JPEG_OK);
            ASSERT_EQ(got.rows.size(), got.height);
            for (jpeg_status row : got.rows) {
                EXPECT_EQ(row, JPEG_OK);
            }
            if (folder == JPEG_TEST_DATA_DIR) {
                continue;   // their samples are checked elsewhere
            }
            if (name.find("lossless") == std::string::npos) {
                ExpectNearPeer(got, PeerDecode(bytes), got.width, 4, 1.0, name);
                continue;
            }
            const bool wide = got.sample_bits > 8;
            const uint32_t n = got.channels;
            for (uint32_t y = 0; y < got.height; ++y) {
                for (uint32_t x = 0; x < got.width * n; ++x) {
                    const size_t i = (static_cast<size_t>(y) * got.width * n + x) * (wide ? 2 : 1);
                    const int32_t value = wide ? got.pixels[i] | got.pixels[i + 1] << 8 : got.pixels[i];
                    ASSERT_EQ(value, WrittenSample(name, x / n, y, x % n)) << x << ", " << y;
                }
            }
        }
    }
    EXPECT_GE(streams, 60);
}

// The flat lossless stream with its data cut to exactly a bit a sample starts; a byte less, or
// any frame header claiming more samples or blocks than its data can code, gives -3 at the start
// with no allocation of a row's size: baseline grey and 4:2:0, progressive (DC or AC scan
// first), separate scans and lossless, up to 65535 x 65535.
TEST(EntropyBudget, DataTooShortForTheBlocksIsRefusedAtTheStart)
{
    const Bytes flat = ReadData("budget/dcmtk_lossless_flat.jpg");
    const size_t scan = ScanStart(flat);
    ASSERT_EQ(FirstScanFloorBytes(flat), 64u * 64 / 8);
    const Bytes exact(flat.begin(), flat.begin() + static_cast<ptrdiff_t>(scan + 512));
    EXPECT_EQ(DecodeAll(exact).start, JPEG_OK);
    const Bytes short_by_one(flat.begin(), flat.begin() + static_cast<ptrdiff_t>(scan + 511));
    EXPECT_EQ(DecodeAll(short_by_one).start, JPEG_ERR_DATA);

    struct Case {
        const char* file;
        uint16_t lines;
        uint16_t samples;
    };
    for (const Case& c :
         {Case{"cjpeg_grey.jpg", 65535, 65535}, Case{"cjpeg_420.jpg", 65535, 65535},
          Case{"cjpeg_restart.jpg", 4096, 4096}, Case{"cjpeg_progressive.jpg", 16384, 16384},
          Case{"cjpeg_progressive_grey.jpg", 8192, 8192}, Case{"cjpeg_scans_420.jpg", 65535, 65535},
          Case{"dcmtk_lossless_sv1_8.jpg", 65535, 65535}, Case{"dcmtk_lossless_sv1_rgb.jpg", 65535, 65535},
          Case{"dcmtk_lossless_sv1_12.jpg", 200, 200}}) {
        SCOPED_TRACE(c.file);
        const Bytes bytes = WithFrameSize(ReadData(c.file), c.lines, c.samples);
        ASSERT_GT(FirstScanFloorBytes(bytes) + ScanStart(bytes), bytes.size());
        TestHeap heap;
        const Decoded got = DecodeAll(bytes, 1, &heap);
        EXPECT_EQ(got.start, JPEG_ERR_DATA);
        EXPECT_LT(heap.largest, 64u << 10);
        EXPECT_EQ(heap.live, 0);
    }
    // A progressive frame whose first scan is an AC scan (its end-of-band runs could cover
    // thousands of blocks a code) is held to the same floor: no conforming stream starts so.
    Bytes ac_first = WithFrameSize(ReadData("cjpeg_progressive_grey.jpg"), 16384, 16384);
    Bytes ac_table;
    SmallAc(ac_table);
    ac_first.insert(ac_first.begin() + static_cast<ptrdiff_t>(FindMarker(ac_first, 0xDA)), ac_table.begin(),
                    ac_table.end());
    ac_first[ScanStart(ac_first) - 3] = 1;
    ac_first[ScanStart(ac_first) - 2] = 5;
    TestHeap heap;
    EXPECT_EQ(DecodeAll(ac_first, 1, &heap).start, JPEG_ERR_DATA);
    EXPECT_LT(heap.largest, 64u << 10);
}

// Without a restart interval a lossless frame counts no samples towards one: a count carried
// past 2^31 by a huge frame would overflow.
TEST(EntropyBudget, LosslessRowsWithoutRestartsCountNothing)
{
    const Bytes bytes = ReadData("dcmtk_lossless_sv1_8.jpg");
    TestHeap heap;
    jpeg_decoder* decoder = OpenBytes(bytes, &heap);
    ASSERT_GE(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr), 1);
    ASSERT_EQ(decoder->restart_interval, 0u);
    ASSERT_EQ(jpeg_start_decode(decoder), JPEG_OK);
    decoder->mcus_since_restart = INT32_MAX - 1;
    Bytes line(jpeg_width(decoder));
    for (uint32_t y = 0; y < jpeg_height(decoder); ++y) {
        ASSERT_EQ(jpeg_decode_row(decoder, line.data()), JPEG_OK) << y;
    }
    EXPECT_EQ(decoder->mcus_since_restart, INT32_MAX - 1);
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0);
}

namespace {

void Segment(Bytes& out, uint16_t marker, const Bytes& body)
{
    const size_t length = body.size() + 2;
    out.insert(out.end(), {uint8_t(marker >> 8), uint8_t(marker), uint8_t(length >> 8), uint8_t(length)});
    out.insert(out.end(), body.begin(), body.end());
}

// One 8-bit component of side x side whose every block is one zero bit, as much data as the
// length rule asks: Huffman tables of one one-bit code (DC category 0, and at once end of block
// in a baseline frame), a progressive frame's first scan DC only.
Bytes OneBitBlocks(uint16_t side, bool progressive)
{
    Bytes out{0xFF, 0xD8};
    Bytes quant{0x00};
    quant.resize(65, 1);
    Segment(out, 0xFFDB, quant);
    const uint8_t hi = uint8_t(side >> 8);
    const uint8_t lo = uint8_t(side);
    Segment(out, progressive ? 0xFFC2 : 0xFFC0, {8, hi, lo, hi, lo, 1, 1, 0x11, 0});
    Bytes tables;
    for (uint8_t table_class : {0, 1}) {
        if (table_class == 1 && progressive) {
            break;
        }
        tables.push_back(uint8_t(table_class << 4));
        tables.push_back(1);
        tables.insert(tables.end(), 15, 0);
        tables.push_back(0);
    }
    Segment(out, 0xFFC4, tables);
    Segment(out, 0xFFDA, {1, 1, 0x00, 0, uint8_t(progressive ? 0 : 63), 0});
    const uint64_t blocks = uint64_t((side + 7) / 8) * ((side + 7) / 8);
    out.resize(out.size() + (blocks + 7) / 8, 0);
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

}   // namespace

// Data enough for the length rule does not make a frame of gigabytes: past the decode budget,
// a progressive DC-only 32760 x 32760 frame in 2.1 MB and a baseline 65535 x 65535 one in 8.4 MB
// are refused at the start as unsupported, with nothing of a row's size allocated. The same
// progressive shape inside the budget decodes, every row of it; past it by its coefficients
// alone, it is refused.
TEST(DecodeBudget, FramesPastItAreRefusedWhateverTheirData)
{
    for (const auto& [side, progressive] : {std::pair{uint16_t(32760), true}, std::pair{uint16_t(65535), false}}) {
        SCOPED_TRACE(side);
        TestHeap heap;
        const Decoded got = DecodeAll(OneBitBlocks(side, progressive), 1, &heap);
        EXPECT_EQ(got.start, JPEG_ERR_UNSUPPORTED);
        EXPECT_LT(heap.largest, 64u << 10);
        EXPECT_EQ(heap.live, 0);
    }
    TestHeap heap;
    const Decoded inside = DecodeAll(OneBitBlocks(2048, true), 1, &heap);
    ASSERT_EQ(inside.start, JPEG_OK);
    ASSERT_EQ(inside.rows.size(), 2048u);
    for (jpeg_status row : inside.rows) {
        EXPECT_EQ(row, JPEG_OK);
    }
    // The coefficients of a progressive frame are held whole, four bytes each: what the budget
    // counts for it.
    EXPECT_GE(heap.largest, 4u * 2048 * 2048);
    // So a progressive frame is held to a quarter of the samples a sequential one may have.
    TestHeap past;
    EXPECT_EQ(DecodeAll(OneBitBlocks(8192, true), 1, &past).start, JPEG_ERR_UNSUPPORTED);
    EXPECT_LT(past.largest, 64u << 10);
}
