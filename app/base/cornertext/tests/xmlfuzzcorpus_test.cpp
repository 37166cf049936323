#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "xmlfileaccessfuzzentry.h"

namespace {

TEST(XmlFuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    size_t files = 0;
    size_t loaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(VIEWER_FUZZ_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const XmlFuzzReport report = XmlFuzzLoadOverlay(bytes.data(), bytes.size());
        EXPECT_EQ(report.broken, 0u) << entry.path();
        ++files;
        loaded += report.loaded ? 1 : 0;
    }
    EXPECT_GE(files, 4u);
    EXPECT_GE(loaded, 2u);
}

TEST(XmlFuzzCorpus, FixturesPassTheChecks)
{
    for (const char* name : {"overlay_cases.xml", "overlay_lowercase_root.xml"}) {
        std::ifstream in(std::string(VIEWER_TEST_DATA_DIR) + "/" + name, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const XmlFuzzReport report = XmlFuzzLoadOverlay(bytes.data(), bytes.size());
        EXPECT_TRUE(report.loaded) << name;
        EXPECT_EQ(report.broken, 0u) << name;
        EXPECT_GT(report.items, 0u) << name;
    }
}

}   // namespace
