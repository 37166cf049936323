#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include <jpeglib.h>

#include "kernel_test_util.h"

extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace {

auto table27(int level)
{
    return dispatch_entry<dispatch_table_generate_huff_table>(level);
}

struct Table {
    kernel_status status = 0;
    std::vector<uint8_t> bits = std::vector<uint8_t>(16, 0xEE);
    std::vector<uint8_t> values = std::vector<uint8_t>(256, 0xEE);
};

Table ours(int level, const std::vector<int32_t>& counts)
{
    std::vector<int32_t> c = counts;
    c.resize(257, 0);
    Table t;
    t.status = table27(level)(c.data(), t.bits.data(), t.values.data());
    return t;
}

// libjpeg-turbo's table for the same counts.
Table peer(const std::vector<int32_t>& counts)
{
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    JHUFF_TBL tbl;
    std::memset(&tbl, 0, sizeof tbl);
    std::vector<long> freq(257, 0);
    for (size_t i = 0; i < counts.size() && i < 256; ++i)
        freq[i] = counts[i];
    jpeg_gen_optimal_table(reinterpret_cast<j_compress_ptr>(&cinfo), &tbl, freq.data());
    jpeg_destroy_compress(&cinfo);
    Table t;
    int total = 0;
    for (int i = 0; i < 16; ++i)
        total += t.bits[size_t(i)] = tbl.bits[i + 1];
    for (int i = 0; i < total; ++i)
        t.values[size_t(i)] = tbl.huffval[i];
    return t;
}

int total_codes(const Table& t)
{
    int n = 0;
    for (uint8_t b : t.bits)
        n += b;
    return n;
}

using HuffTableGen = KernelTest;

TEST_F(HuffTableGen, RandomCountsGiveLibjpegTurbosTable)
{
    std::mt19937 rng(21);
    for (int round = 0; round < 60; ++round) {
        std::vector<int32_t> counts(256, 0);
        const int used = 1 + int(rng() % 256);
        const bool ties = round % 2 == 0;
        for (int i = 0; i < used; ++i) {
            const size_t s = rng() % 256;
            counts[s] = ties ? int32_t(1 + rng() % 4) : int32_t(rng() % (round < 30 ? 1000 : 3000000));
        }
        const Table expected = peer(counts);
        for_each_level(0, [&](int level) {
            const Table got = ours(level, counts);
            ASSERT_EQ(got.status, kernel_ok);
            EXPECT_EQ(got.bits, expected.bits) << "round " << round;
            const size_t n = size_t(total_codes(expected));
            EXPECT_TRUE(std::equal(got.values.begin(), got.values.begin() + long(n), expected.values.begin()))
                << "round " << round;
            EXPECT_EQ(got.values[n < 256 ? n : 255], n < 256 ? 0xEE : expected.values[255]);
        });
    }
}

TEST_F(HuffTableGen, LargeCountsLongChainsAndLengthOverflow)
{
    std::vector<int32_t> fib;
    for (int32_t a = 1, b = 2; fib.size() < 32; std::swap(a, b), b += a)
        fib.push_back(a);
    ASSERT_EQ(fib.back(), 3524578);
    for_each_level(0, [&](int level) {
        // 256 maximal counts sum past 2^31: all alike, so 255 codes of 8 bits and one of 9.
        Table t = ours(level, std::vector<int32_t>(256, 2147483647));
        ASSERT_EQ(t.status, kernel_ok);
        EXPECT_EQ(t.bits[7], 255);
        EXPECT_EQ(t.bits[8], 1);
        EXPECT_EQ(total_codes(t), 256);

        t = ours(level, fib);
        ASSERT_EQ(t.status, kernel_ok);
        int longest = 0;
        for (int i = 0; i < 16; ++i)
            if (t.bits[size_t(i)] != 0)
                longest = i + 1;
        EXPECT_EQ(longest, 16);
        EXPECT_EQ(total_codes(t), 32);
        EXPECT_EQ(t.bits, peer(fib).bits);

        std::vector<int32_t> longer = fib;
        longer.push_back(5702887);
        t = ours(level, longer);
        EXPECT_EQ(t.status, kernel_bad_huffman_table);
        EXPECT_EQ(t.bits, std::vector<uint8_t>(16, 0xEE));
        EXPECT_EQ(t.values, std::vector<uint8_t>(256, 0xEE));
    });
}

// 256 leaves at length 9 (the reserved one included) would wrap a one-byte count to 0.
TEST_F(HuffTableGen, TwoHundredFiftySixLeavesOfOneLengthAreCounted)
{
    std::vector<int32_t> counts(256, 1);
    counts[0] = 1000000000;
    for_each_level(0, [&](int level) {
        const Table t = ours(level, counts);
        ASSERT_EQ(t.status, kernel_ok);
        EXPECT_EQ(t.bits[0], 1);
        EXPECT_EQ(t.bits[8], 255);
        EXPECT_EQ(total_codes(t), 256);
        EXPECT_EQ(t.values[0], 0);
        EXPECT_EQ(t.values[255], 255);
    });
}

TEST_F(HuffTableGen, RefusalsWriteNothing)
{
    for_each_level(0, [&](int level) {
        std::vector<int32_t> counts(257, 3);
        uint8_t bits[16], values[256];
        EXPECT_EQ(table27(level)(nullptr, bits, values), kernel_null_pointer);
        EXPECT_EQ(table27(level)(counts.data(), nullptr, values), kernel_null_pointer);
        EXPECT_EQ(table27(level)(counts.data(), bits, nullptr), kernel_null_pointer);
        counts[17] = -1;
        Table t = ours(level, counts);
        EXPECT_EQ(t.status, kernel_out_of_range);
        EXPECT_EQ(t.bits, std::vector<uint8_t>(16, 0xEE));
        EXPECT_EQ(t.values, std::vector<uint8_t>(256, 0xEE));
        // No symbol at all: no lengths, no values.
        t = ours(level, std::vector<int32_t>(256, 0));
        EXPECT_EQ(t.status, kernel_ok);
        EXPECT_EQ(t.bits, std::vector<uint8_t>(16, 0));
        EXPECT_EQ(t.values, std::vector<uint8_t>(256, 0xEE));
        // One symbol: one code of length 1.
        std::vector<int32_t> one(256, 0);
        one[65] = 5;
        t = ours(level, one);
        EXPECT_EQ(t.bits[0], 1);
        EXPECT_EQ(total_codes(t), 1);
        EXPECT_EQ(t.values[0], 65);
    });
}

}   // namespace
