#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernel_test_util.h"
#include "quanttable/quant_table.h"
#include "transform/forward_dct.h"

namespace {

using Table = std::array<uint16_t, 64>;

// Zigzag order of T.81 Figure A.6, walked along the anti-diagonals: natural position of index k.
std::array<int, 64> zigzag_to_natural()
{
    std::array<int, 64> z{};
    int k = 0;
    for (int s = 0; s < 15; ++s)
        for (int i = 0; i <= s; ++i) {
            const int r = (s % 2) ? i : s - i, c = s - r;
            if (r < 8 && c < 8)
                z[k++] = 8 * r + c;
        }
    return z;
}

Table init_table(int level, const std::array<uint8_t, 64>& steps, kernel_status* status = nullptr)
{
    Table t;
    t.fill(0x1234);
    const kernel_status s = dispatch_entry<dispatch_table_quant_table_init>(level)(steps.data(), t.data());
    if (status)
        *status = s;
    else
        EXPECT_EQ(s, kernel_ok);
    return t;
}

// Each level's kernels by level number.
template <int L>
struct Kernels {
    static kernel_status widen(const uint8_t* s, int32_t ss, uint16_t* d, int32_t ds, int32_t w, int32_t h)
    {
        return Widen8uTo16u<L>(s, ss, d, ds, w, h);
    }
    static kernel_status div(const uint16_t* s, uint16_t v, uint16_t* d, int32_t n)
    {
        return DivValueBy16u<L>(s, v, d, n);
    }
    static kernel_status zero16(void* d, int32_t n) { return ZeroFill16<L>(d, n); }
};

template <class Body>
void with_kernels(int level, Body body)
{
    switch (level) {
    case 0: return body(Kernels<0>{});
#if defined(__x86_64__) || defined(__i386__)
    case 1: return body(Kernels<1>{});
    case 2: return body(Kernels<2>{});
    case 3: return body(Kernels<3>{});
    case 4: return body(Kernels<4>{});
    case 5: return body(Kernels<5>{});
#endif
    default: return;
    }
}

using QuantTable = KernelTest;

TEST_F(QuantTable, StepsBecomeRoundedReciprocalsInNaturalOrder)
{
    const auto z2n = zigzag_to_natural();
    for (int n = 0; n < 64; ++n)
        EXPECT_EQ(z2n[natural_to_zigzag[n]], n);
    for_each_level(0, [&](int level) {
        for (int q = 1; q < 256; ++q) {
            std::array<uint8_t, 64> steps;
            steps.fill(uint8_t(q));
            const Table t = init_table(level, steps);
            for (int n = 0; n < 64; ++n)
                ASSERT_EQ(t[n], std::lround(32768.0 / q)) << "step " << q;
        }
        // Distinct steps land at their natural positions.
        std::array<uint8_t, 64> steps;
        for (int k = 0; k < 64; ++k)
            steps[k] = uint8_t(k + 1);
        const Table t = init_table(level, steps);
        for (int k = 0; k < 64; ++k)
            ASSERT_EQ(t[z2n[k]], std::lround(32768.0 / (k + 1)));
        EXPECT_EQ(t[8], std::lround(32768.0 / 3));   // zigzag input 2
        EXPECT_EQ(t[2], std::lround(32768.0 / 6));   // zigzag input 5

        steps[20] = 0;
        kernel_status status = 0;
        const Table with_zero = init_table(level, steps, &status);
        EXPECT_EQ(status, kernel_division_by_zero);
        for (int k = 0; k < 64; ++k)
            ASSERT_EQ(with_zero[z2n[k]], k == 20 ? 65535 : std::lround(32768.0 / (k + 1)));

        uint16_t out[64];
        EXPECT_EQ(dispatch_entry<dispatch_table_quant_table_init>(level)(nullptr, out), kernel_null_pointer);
        EXPECT_EQ(dispatch_entry<dispatch_table_quant_table_init>(level)(steps.data(), nullptr), kernel_null_pointer);

        ASSERT_GE(dispatch_set_level(level), 0);
        Table via_stub;
        EXPECT_EQ(quant_table_init(steps.data(), via_stub.data()), kernel_division_by_zero);
        EXPECT_EQ(via_stub, with_zero);
    });
}

TEST_F(QuantTable, WidenChecksInOrderAndWidensEveryLayout)
{
    std::mt19937 rng(1);
    std::vector<uint8_t> src(1600 * 1000);
    for (auto& b : src)
        b = uint8_t(rng());
    for_each_level(0, [&](int level) {
        with_kernels(level, [&](auto k) {
            uint16_t d[64];
            EXPECT_EQ(k.widen(src.data(), 8, nullptr, 16, 0, 8), kernel_null_pointer);
            EXPECT_EQ(k.widen(nullptr, 8, d, 16, 8, 8), kernel_null_pointer);
            EXPECT_EQ(k.widen(src.data(), 8, d, 16, 0, 8), kernel_size_below_one);
            EXPECT_EQ(k.widen(src.data(), 8, d, 16, 8, -1), kernel_size_below_one);
            EXPECT_EQ(k.widen(src.data(), 0, d, 16, 8, 8), kernel_step_below_one);
            EXPECT_EQ(k.widen(src.data(), 8, d, 0, 8, 8), kernel_step_below_one);
            // (width, height, srcStep, dstStep, dst byte offset): padded rows, a 2-byte aligned
            // destination, and contiguous and padded blocks large enough to stream.
            struct Case {
                int w, h, ss, ds, off;
            };
            for (const Case c : {Case{8, 8, 8, 16, 0},
                                 {13, 5, 20, 40, 2},
                                 {37, 3, 37, 80, 6},
                                 {100, 4, 100, 200, 2},
                                 {1500, 1000, 1500, 3000, 0},
                                 {600, 2500, 640, 1300, 2}}) {
                std::vector<uint16_t> dst(size_t(c.ds) * c.h / 2 + 16, 0xBEEF);
                uint16_t* out = dst.data() + c.off / 2;
                ASSERT_EQ(k.widen(src.data(), c.ss, out, c.ds, c.w, c.h), kernel_ok);
                for (int r = 0; r < c.h; ++r)
                    for (int x = 0; x < c.w + 1; ++x) {
                        const uint16_t got = out[size_t(r) * c.ds / 2 + x];
                        if (x < c.w) {
                            ASSERT_EQ(got, src[size_t(r) * c.ss + x]) << c.w << "x" << c.h << " row " << r;
                        } else if (2 * (x + 1) <= c.ds) {
                            ASSERT_EQ(got, 0xBEEF);
                        }
                    }
            }
        });
    });
}

TEST_F(QuantTable, DivisionAndItsLevelDifferences)
{
    for_each_level(0, [&](int level) {
        with_kernels(level, [&](auto k) {
            alignas(16) uint16_t src[16], dst[16];
            for (auto& v : src)
                v = 2;
            EXPECT_EQ(k.div(src, 65535, dst, 16), kernel_ok);
            // 8-lane loop at levels 2 to 5 saturates; the scalar step and the integer levels do not.
            EXPECT_EQ(dst[0], level >= 2 ? 32767 : 32768);
            EXPECT_EQ(k.div(src, 65535, dst, 3), kernel_ok);
            EXPECT_EQ(dst[0], 32768);

            for (auto& v : src)
                v = 1;
            EXPECT_EQ(k.div(src, 32768, dst, 16), kernel_ok);
            for (const uint16_t v : dst)
                EXPECT_EQ(v, 32768);

            src[5] = 0;
            dst[0] = 99;
            EXPECT_EQ(k.div(src, 0, dst, 16), kernel_division_by_zero);
            for (const uint16_t v : dst)
                EXPECT_EQ(v, 0);
            EXPECT_EQ(k.div(src, 100, dst, 16), kernel_division_by_zero);
            EXPECT_EQ(dst[5], 65535);
            EXPECT_EQ(dst[4], 100);
            EXPECT_EQ(k.div(nullptr, 100, dst, 16), kernel_null_pointer);
            EXPECT_EQ(k.div(src, 100, nullptr, 16), kernel_null_pointer);
            EXPECT_EQ(k.div(src, 100, dst, 0), kernel_size_below_one);
        });
    });
}

TEST_F(QuantTable, ZeroFillsWriteExactly)
{
    std::vector<uint8_t> buf(60000);
    for (const int n : {0, 7, 8, 9, 63, 64, 65})
        for (int off = 0; off < 8; ++off) {
            std::fill(buf.begin(), buf.begin() + 200, 0xCC);
            EXPECT_EQ(ZeroFillStream(buf.data() + off, n), buf.data() + off);
            for (int i = 0; i < 200; ++i)
                ASSERT_EQ(buf[i], (i >= off && i < off + n) ? 0 : 0xCC) << n << " +" << off;
        }
    for_each_level(0, [&](int level) {
        with_kernels(level, [&](auto k) {
            EXPECT_EQ(k.zero16(nullptr, 4), kernel_null_pointer);
            EXPECT_EQ(k.zero16(buf.data(), 0), kernel_size_below_one);
            for (const int n : {1, 9, 100, 10239, 10240, 12345})
                for (const int off : {0, 2, 6}) {
                    std::fill(buf.begin(), buf.end(), 0xCC);
                    ASSERT_EQ(k.zero16(buf.data() + off, n), kernel_ok);
                    for (int i = 0; i < 2 * n + 40; ++i)
                        ASSERT_EQ(buf[i], (i >= off && i < off + 2 * n) ? 0 : 0xCC) << n << " +" << off;
                }
        });
    });
}

// Encoder blocks through table 6 with steps of 1, then the decoder's dequantisation and inverse
// transform: every sample comes back within 3.
TEST_F(QuantTable, ForwardAndInverseRoundTrip)
{
    std::mt19937 rng(4);
    std::array<uint8_t, 64> ones;
    ones.fill(1);
    std::array<uint16_t, 64> dq;
    dq.fill(1);
    for_each_level(0, [&](int level) {
        const Table t = init_table(level, ones);
        for (int n = 0; n < 2000; ++n) {
            std::array<int16_t, 64> orig, block, back;
            for (auto& v : orig)
                v = int16_t(rng() & 255);
            for (int i = 0; i < 64; ++i)
                block[i] = int16_t(orig[i] - 128);
            ASSERT_EQ(dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level)(block.data(), t.data()), 0);
            ASSERT_EQ(dispatch_entry<dispatch_table_dequant_idct_8x8>(level)(block.data(), back.data(), dq.data()), 0);
            for (int i = 0; i < 64; ++i)
                ASSERT_LE(std::abs(back[i] + 128 - orig[i]), 3) << i;
        }
    });
}

}   // namespace
