#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "kernel_test_util.h"

namespace {

auto table23(int level)
{
    return dispatch_entry<dispatch_table_diff_lossless_first_row>(level);
}
auto table24(int level)
{
    return dispatch_entry<dispatch_table_diff_lossless_row>(level);
}

// T.81's predictions on unsigned samples, halving in 32 bits.
uint16_t predict(int predictor, uint32_t ra, uint32_t rb, uint32_t rc)
{
    switch (predictor) {
    case 1: return uint16_t(ra);
    case 2: return uint16_t(rb);
    case 3: return uint16_t(rc);
    case 4: return uint16_t(ra + rb - rc);
    case 5: return uint16_t(int64_t(ra) + ((int64_t(rb) - int64_t(rc)) >> 1));
    case 6: return uint16_t(int64_t(rb) + ((int64_t(ra) - int64_t(rc)) >> 1));
    default: return uint16_t((ra + rb) / 2);
    }
}

std::vector<uint16_t> random_row(std::mt19937& rng, int width, int precision)
{
    std::vector<uint16_t> row(static_cast<size_t>(width), 0);
    for (auto& v : row)
        v = uint16_t(rng() & ((1u << precision) - 1));
    return row;
}

// Output written at a byte offset into a canary-filled buffer; returns the differences read back
// and checks that nothing outside them changed.
struct Output {
    std::vector<uint8_t> raw;
    int offset, width;
    Output(int off, int w) : raw(size_t(2 * w + 64), 0xA5), offset(off), width(w) {}
    uint16_t* ptr()
    {
        const uintptr_t base = (reinterpret_cast<uintptr_t>(raw.data()) + 15) & ~uintptr_t(15);
        return reinterpret_cast<uint16_t*>(base + uintptr_t(offset));
    }
    std::vector<uint16_t> values()
    {
        std::vector<uint16_t> v(static_cast<size_t>(width), 0);
        std::memcpy(v.data(), ptr(), 2 * size_t(width));
        const uint8_t* p = reinterpret_cast<const uint8_t*>(ptr());
        int touched = 0;
        for (size_t i = 0; i < raw.size(); ++i) {
            const uint8_t* q = raw.data() + i;
            if ((q < p || q >= p + 2 * width) && raw[i] != 0xA5)
                ++touched;
        }
        EXPECT_EQ(touched, 0);
        return v;
    }
};

using LosslessDiff = KernelTest;

TEST_F(LosslessDiff, EveryWidthAndOffsetMatchesTheClosedForm)
{
    std::mt19937 rng(3);
    for_each_level(0, [&](int level) {
        for (int width : {1, 15, 16, 17, 33, 1000})
            for (int offset = 0; offset < 16; ++offset) {
                SCOPED_TRACE(::testing::Message() << "width " << width << " offset " << offset);
                const std::vector<uint16_t> s = random_row(rng, width, 16), above = random_row(rng, width, 16);
                Output first(offset, width);
                ASSERT_EQ(table23(level)(s.data(), first.ptr(), width, 12, 1), kernel_ok);
                std::vector<uint16_t> d = first.values();
                EXPECT_EQ(d[0], uint16_t(s[0] - 1024));
                int wrong = 0;
                for (int x = 1; x < width; ++x)
                    wrong += d[size_t(x)] != uint16_t(s[size_t(x)] - s[size_t(x) - 1]);
                for (int predictor = 1; predictor <= 7; ++predictor) {
                    Output later(offset, width);
                    ASSERT_EQ(table24(level)(s.data(), above.data(), later.ptr(), width, predictor), kernel_ok);
                    d = later.values();
                    wrong += d[0] != uint16_t(s[0] - above[0]);
                    for (size_t x = 1; x < size_t(width); ++x)
                        wrong += d[x] != uint16_t(s[x] - predict(predictor, s[x - 1], above[x], above[x - 1]));
                }
                EXPECT_EQ(wrong, 0);
            }
    });
}

TEST_F(LosslessDiff, FirstDifferencesAndWrapping)
{
    for_each_level(0, [&](int level) {
        const uint16_t mid[2] = {128, 0}, wrap[2] = {65535, 0};
        uint16_t d[2] = {7, 7};
        ASSERT_EQ(table23(level)(mid, d, 1, 8, 0), kernel_ok);
        EXPECT_EQ(d[0], 0);
        EXPECT_EQ(d[1], 7);   // width 1 writes only the first
        ASSERT_EQ(table23(level)(wrap, d, 2, 16, 0), kernel_ok);
        EXPECT_EQ(d[1], 1);
        ASSERT_EQ(table24(level)(wrap, wrap, d, 2, 1), kernel_ok);
        EXPECT_EQ(d[0], 0);
        EXPECT_EQ(d[1], 1);
        for (int p = 2; p <= 16; ++p)
            for (int pt = 0; pt <= 1; ++pt) {
                const uint16_t s[1] = {uint16_t(p)};
                ASSERT_EQ(table23(level)(s, d, 1, p, pt), kernel_ok);
                EXPECT_EQ(d[0], uint16_t(p - (1 << (p - pt - 1)))) << p << " " << pt;
            }
    });
}

TEST_F(LosslessDiff, RefusalsWriteNothing)
{
    for_each_level(0, [&](int level) {
        uint16_t s[4] = {1, 2, 3, 4}, d[4] = {9, 9, 9, 9};
        EXPECT_EQ(table23(level)(nullptr, d, 0, 1, -1), kernel_null_pointer);
        EXPECT_EQ(table23(level)(s, nullptr, 4, 8, 0), kernel_null_pointer);
        EXPECT_EQ(table23(level)(s, d, 0, 1, 0), kernel_size_below_one);
        EXPECT_EQ(table23(level)(s, d, 4, 1, 0), kernel_out_of_range);
        EXPECT_EQ(table23(level)(s, d, 4, 17, 0), kernel_out_of_range);
        EXPECT_EQ(table23(level)(s, d, 4, 8, -1), kernel_out_of_range);
        EXPECT_EQ(table24(level)(s, nullptr, d, 0, 0), kernel_null_pointer);
        EXPECT_EQ(table24(level)(s, s, d, -3, 0), kernel_size_below_one);
        EXPECT_EQ(table24(level)(s, s, d, 4, 0), kernel_out_of_range);
        EXPECT_EQ(table24(level)(s, s, d, 4, 8), kernel_out_of_range);
        EXPECT_EQ(d[0] & d[3], 9);
    });
}

}   // namespace
