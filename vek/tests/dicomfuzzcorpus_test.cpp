#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vekfuzzentry.h"

namespace {

// Each corpus is replayed in shares that ctest runs side by side, so that none takes a busy
// machine near its timeout under the sanitizers; together the shares are the whole corpus.
constexpr int kShares = 8;

// Every input a fuzzer kept goes through that fuzzer's own entry point, so the sanitizer
// build replays what once found a fault.
void replay(const std::string& folder, int share, int (*entry)(const uint8_t*, size_t)) {
  std::vector<std::filesystem::path> files;
  for (const auto& item : std::filesystem::directory_iterator(folder))
    if (item.is_regular_file()) files.push_back(item.path());
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), size_t(kShares));
  for (size_t i = size_t(share); i < files.size(); i += kShares) {
    const auto& path = files[i];
    SCOPED_TRACE(path.filename().string());
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
  }
}

class DICOMFuzzCorpus : public ::testing::TestWithParam<int> {};
class DICOMDIRFuzzCorpus : public ::testing::TestWithParam<int> {};
class RLEFrameFuzzCorpus : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(DICOMFuzzCorpus, ReplaysThroughTheFuzzEntry) { replay(VEK_FUZZ_CORPUS_DIR, GetParam(), VekFuzzLoadDICOMInfo); }

TEST_P(DICOMDIRFuzzCorpus, ReplaysThroughTheFuzzEntry) {
  replay(VEK_FUZZ_DICOMDIR_CORPUS_DIR, GetParam(), VekFuzzLoadDICOMDIR);
}

TEST_P(RLEFrameFuzzCorpus, ReplaysThroughTheFuzzEntry) {
  replay(std::string(VEK_FUZZ_CORPUS_DIR) + "/../corpus_rle", GetParam(), VekFuzzReadRLEFrame);
}

INSTANTIATE_TEST_SUITE_P(Share, DICOMFuzzCorpus, ::testing::Range(0, kShares));
INSTANTIATE_TEST_SUITE_P(Share, DICOMDIRFuzzCorpus, ::testing::Range(0, kShares));
INSTANTIATE_TEST_SUITE_P(Share, RLEFrameFuzzCorpus, ::testing::Range(0, kShares));
