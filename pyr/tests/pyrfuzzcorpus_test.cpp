#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "pyrdumplisting.h"
#include "pyrfuzzentry.h"
#include "pyrtestsource.h"

// Every input the fuzzer kept goes through the fuzzer's own entry point, so the sanitizer
// build replays what once found a fault, with the entry's invariants checked.
TEST(FuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(PYR_FUZZ_CORPUS_DIR)) {
        if (entry.is_regular_file()) {
            files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    uint32_t parsed = 0;
    uint32_t refused = 0;
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uint8_t> bytes = PyrReadWholeFile(path.string());
        const PyrFuzzReport report = PyrFuzzReadDataset(bytes.data(), bytes.size());
        EXPECT_EQ(report.readings, 2u);
        EXPECT_EQ(report.broken, 0u);
        (report.firstResult == kPyrSuccess ? parsed : refused) += 1;
    }
    // The corpus keeps both kinds: inputs that parse and inputs that are refused.
    EXPECT_GT(parsed, 0u);
    EXPECT_GT(refused, 0u);
}

// The fixtures through the same entry: the first reading finds every element dcmdump lists.
TEST(FuzzCorpus, EntryCountsWhatDcmdumpLists)
{
    for (const char* name :
         {"ct_explicit_le", "ct_implicit_le", "ct_explicit_be", "ct_undefined_lengths", "ct_rle", "DICOMDIR"}) {
        SCOPED_TRACE(name);
        const std::string base = std::string(PYR_TEST_DATA_DIR "/") + name;
        const std::vector<uint8_t> bytes = PyrReadWholeFile(std::string(name) == "DICOMDIR" ? base : base + ".dcm");
        ASSERT_FALSE(bytes.empty());
        const PyrFuzzReport report = PyrFuzzReadDataset(bytes.data(), bytes.size());
        EXPECT_EQ(report.firstResult, kPyrSuccess);
        EXPECT_EQ(report.firstElements, ParseDump(base + ".dump.txt").size());
        EXPECT_EQ(report.broken, 0u);
    }
}
