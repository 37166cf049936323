#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platprofilefuzzentry.h"

// The settings reader's committed fuzz corpus: every file reads without fault, and those in
// plain ASCII answer each section and key as the line-by-line reference does, whatever
// narrowing of the hashes their first byte picks.
TEST(PlatProfileFuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    size_t files = 0;
    uint32_t keys = 0;
    for (const auto& entry : std::filesystem::directory_iterator(PLATFORM_FUZZ_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const ProfileFuzzReport report = ProfileFuzzRead(bytes.data(), bytes.size());
        EXPECT_EQ(report.broken, 0u) << entry.path();
        keys += report.keys;
        ++files;
    }
    EXPECT_GE(files, 5u);
    EXPECT_GE(keys, 8u);
}
