#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "jpeg/jpegdecoder.h"
#include "jpeg/jpegtables.h"
#include "jpegfuzzentry.h"
#include "jpegtestsupport.h"

namespace {

struct Expected {
    std::string file;
    uint32_t width;
    uint32_t height;
    int32_t components;
    int32_t precision;
    std::string process;
};

std::vector<Expected> ReadExpected()
{
    std::vector<Expected> rows;
    std::ifstream in(std::string(JPEG_TEST_DATA_DIR) + "/expected.txt");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Expected row;
        if (fields >> row.file >> row.width >> row.height >> row.components >> row.precision >> row.process) {
            rows.push_back(row);
        }
    }
    return rows;
}

bool Has(const std::string& text, const char* part)
{
    return text.find(part) != std::string::npos;
}

}   // namespace

// Every stream that cjpeg and dcmcjpeg wrote reads as rdjpgcom reads its frame, and the set-up
// steps after the header accept it.
TEST(Fixtures, FramesReadAsLibjpegTurboReadsThem)
{
    const std::vector<Expected> rows = ReadExpected();
    ASSERT_GE(rows.size(), 30u);
    for (const Expected& row : rows) {
        SCOPED_TRACE(row.file);
        const Bytes bytes = ReadWholeFile(std::string(JPEG_TEST_DATA_DIR) + "/" + row.file);
        TestHeap heap;
        jpeg_decoder* decoder = OpenBytes(bytes, &heap);
        const jpeg_status status =
            jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size()), nullptr);
        EXPECT_GE(status, 1);
        EXPECT_EQ(jpeg_width(decoder), row.width);
        EXPECT_EQ(jpeg_height(decoder), row.height);
        EXPECT_EQ(decoder->component_count, row.components);
        EXPECT_EQ(decoder->precision, row.precision);
        EXPECT_EQ(jpeg_precision(decoder), row.precision > 8 ? 16 : 8);
        EXPECT_EQ(jpeg_is_progressive(decoder), row.process == "Progressive");
        EXPECT_EQ(jpeg_is_lossless(decoder), row.process == "Lossless");
        EXPECT_EQ(decoder->frame_marker, row.process == "Extended" ? 0xC1u : decoder->frame_marker);
        EXPECT_EQ(jpeg_is_separate_scan(decoder), Has(row.file, "_scans"));

        if (Has(row.file, "cjpeg_")) {
            // cjpeg writes JFIF: YCbCr, or grey for one component.
            EXPECT_EQ(jpeg_image_color_code(decoder), row.components == 1 ? JPEG_COLOR_GREY : JPEG_COLOR_YCBCR);
            ASSERT_GE(jpeg_segment_count(decoder), 1u);
            EXPECT_EQ(jpeg_segment_at(decoder, 0)->marker, 0xE0u);
        } else if (row.process == "Lossless") {
            EXPECT_EQ(jpeg_image_color_code(decoder), row.components == 1 ? JPEG_COLOR_GREY : JPEG_COLOR_RGB);
        }
        const uint32_t sampling = jpeg_sampling_code(decoder);
        if (Has(row.file, "_420") || Has(row.file, "progressive.") || Has(row.file, "restart") ||
            Has(row.file, "optimize")) {
            EXPECT_EQ(sampling, 0x221111u);
        } else if (Has(row.file, "_422")) {
            EXPECT_EQ(sampling, 0x211111u);
        } else if (Has(row.file, "_411")) {
            EXPECT_EQ(sampling, 0x411111u);
        } else {
            EXPECT_EQ(sampling, 0x111111u);
        }
        if (Has(row.file, "restart")) {
            EXPECT_EQ(decoder->restart_interval, (row.width + 15) / 16);   // one MCU row
        }
        // Predictor and point transform as dcmcjpeg was asked.
        const size_t sv = row.file.find("_sv");
        if (sv != std::string::npos) {
            EXPECT_EQ(decoder->scan.ss, row.file[sv + 3] - '0');
        }
        if (Has(row.file, "_pt2")) {
            EXPECT_EQ(decoder->scan.approximation & 15, 2);
        }

        // A separate-scan frame names only its first scan's tables here; its sub-decoders check theirs.
        if (!jpeg_is_separate_scan(decoder)) {
            EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_OK);
        }
        EXPECT_EQ(jpeg_rebuild_lookaheads(decoder, 8), JPEG_OK);
        if (!jpeg_is_lossless(decoder)) {
            EXPECT_EQ(jpeg_setup_quant_tables(decoder), decoder->quant_precision != 0 ? JPEG_ERR_UNSUPPORTED : JPEG_OK);
        }
        EXPECT_EQ(jpeg_setup_mcu_geometry(decoder), JPEG_OK);
        const uint64_t blocks = row.process == "Lossless" ? static_cast<uint64_t>(row.components)
                                : row.components == 1     ? 1
                                                          : decoder->blocks_per_mcu;
        const uint64_t entries = jpeg_is_progressive(decoder)
                                     ? blocks * static_cast<uint64_t>(decoder->mcus_per_row) * decoder->mcu_rows
                                     : blocks;
        EXPECT_EQ(static_cast<uint64_t>(decoder->block_entry_count), entries);
        jpeg_decoder_destroy(decoder);
        EXPECT_EQ(heap.live, 0);
    }
}

// Every input the fuzzer kept goes through the fuzzer's own entry point, so the sanitizer build
// replays what once found a fault.
TEST(FuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(JPEG_FUZZ_CORPUS_DIR)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const Bytes bytes = ReadWholeFile(path.string());
        EXPECT_EQ(JpegFuzzReadHeader(bytes.data(), bytes.size()), 0);
    }
}
