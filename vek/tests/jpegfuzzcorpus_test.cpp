#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "vekjpegfuzzentry.h"

// What the JPEG fuzzer kept goes through its entry again, under the sanitizers in their build.
TEST(JPEGFuzzCorpus, ReplaysThroughTheFuzzEntry) {
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(std::string(VEK_FUZZ_CORPUS_DIR) + "/../corpus_jpeg"))
    if (item.is_regular_file()) files.push_back(item.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(VekFuzzReadJPEG(bytes.data(), bytes.size()), 0);
  }
}
