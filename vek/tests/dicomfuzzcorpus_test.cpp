#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vekfuzzentry.h"

namespace {

// Every input a fuzzer kept goes through that fuzzer's own entry point, so the sanitizer
// build replays what once found a fault.
void replay(const std::string& folder, int (*entry)(const uint8_t*, size_t)) {
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(folder))
    if (item.is_regular_file()) files.push_back(item.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
  }
}

}  // namespace

TEST(DICOMFuzzCorpus, ReplaysThroughTheFuzzEntry) { replay(VEK_FUZZ_CORPUS_DIR, VekFuzzLoadDICOMInfo); }

TEST(DICOMDIRFuzzCorpus, ReplaysThroughTheFuzzEntry) { replay(VEK_FUZZ_DICOMDIR_CORPUS_DIR, VekFuzzLoadDICOMDIR); }

TEST(RLEFrameFuzzCorpus, ReplaysThroughTheFuzzEntry) {
  replay(std::string(VEK_FUZZ_CORPUS_DIR) + "/../corpus_rle", VekFuzzReadRLEFrame);
}
