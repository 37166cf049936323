#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "huffman_fuzz_entry.h"

// Every input the fuzzer kept goes through its own entry, so the sanitizer build replays what
// once found a fault, and every level is checked against level 0 on it.
TEST(HuffmanFuzzCorpus, ReplaysThroughTheFuzzEntry)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(KV_KERNEL_FUZZ_CORPUS_DIR))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    ASSERT_FALSE(files.empty());
    for (const auto& path : files) {
        SCOPED_TRACE(path.filename().string());
        std::ifstream in(path, std::ios::binary);
        const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(HuffmanFuzzDecode(bytes.data(), bytes.size()), 0);
    }
}
