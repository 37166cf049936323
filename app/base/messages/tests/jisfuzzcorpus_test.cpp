#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "jisfuzzentry.h"

namespace {

TEST(JisFuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SHELL_JIS_FUZZ_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(JisFuzzConvert(bytes.data(), bytes.size()).broken, 0u) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 5u);
}

TEST(JisFuzzCorpus, AKnownConversionPassesTheChecks)
{
    const uint8_t text[] = "a\n\x1B$B\x30\x21\x1B(B";
    const JisFuzzReport report = JisFuzzConvert(text, sizeof text - 1);
    EXPECT_EQ(report.broken, 0u);
    EXPECT_EQ(report.outputBytes, 5u);
}

}   // namespace
