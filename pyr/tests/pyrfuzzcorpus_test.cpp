#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "pyrfuzzentry.h"
#include "pyrtestsource.h"

// Every input the fuzzer kept goes through the fuzzer's own entry point, so the sanitizer
// build replays what once found a fault.
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
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        const std::vector<uint8_t> bytes = PyrReadWholeFile(path.string());
        EXPECT_EQ(PyrFuzzReadDataset(bytes.data(), bytes.size()), 0);
    }
}
