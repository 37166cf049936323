#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernel_test_util.h"
#include "transform/forward_dct.h"

namespace {

using Block = std::array<int16_t, 64>;

// ---- Scalar model of the vector levels' steps ----

int16_t sat(int32_t v)
{
    return static_cast<int16_t>(std::clamp(v, -32768, 32767));
}
int16_t add(int16_t a, int16_t b)
{
    return sat(a + b);
}
int16_t sub(int16_t a, int16_t b)
{
    return sat(a - b);
}
int16_t shl(int16_t a, int s)
{
    return static_cast<int16_t>(static_cast<uint16_t>(a) << s);
}
int16_t mulhi(int16_t a, int16_t k)
{
    return static_cast<int16_t>((int32_t(a) * k) >> 16);
}
int16_t set1(int16_t a)
{
    return static_cast<int16_t>(a | 1);
}

int32_t weight(int u, int v, int k)
{
    const double pi = std::acos(-1.0);
    const double g = (u == 0 || u == 4) ? 1.0 : std::sqrt(2.0) * std::cos((u < 4 ? u : 8 - u) * pi / 16);
    const double cv = v == 0 ? 1 / std::sqrt(2.0) : 1.0;
    return static_cast<int32_t>(std::lround(16384 * g * cv * std::sqrt(2.0) * std::cos((2 * k + 1) * v * pi / 16)));
}

Block vector_model(const Block& in)
{
    int16_t Y[8][8];
    for (int c = 0; c < 8; ++c) {
        int16_t r[8];
        for (int i = 0; i < 8; ++i)
            r[i] = in[8 * i + c];
        const int16_t t0 = add(r[0], r[7]), t1 = add(r[1], r[6]), t2 = add(r[2], r[5]), t3 = add(r[3], r[4]);
        const int16_t d0 = sub(r[0], r[7]), d1 = sub(r[1], r[6]), d2 = sub(r[2], r[5]), d3 = sub(r[3], r[4]);
        const int16_t h = shl(add(t0, t3), 3), g = shl(sub(t0, t3), 3), f = shl(add(t1, t2), 3),
                      e = shl(sub(t1, t2), 3);
        Y[0][c] = add(h, f);
        Y[4][c] = sub(h, f);
        Y[2][c] = set1(add(g, mulhi(e, 27146)));
        Y[6][c] = set1(sub(mulhi(g, 27146), e));
        const int16_t p = set1(mulhi(add(shl(d1, 4), shl(d2, 4)), 23170));
        const int16_t q = mulhi(sub(shl(d1, 4), shl(d2, 4)), 23170);
        const int16_t m0 = add(shl(d0, 3), p), m1 = sub(shl(d0, 3), p), m2 = add(shl(d3, 3), q),
                      m3 = sub(shl(d3, 3), q);
        Y[1][c] = set1(add(m0, mulhi(m2, 13036)));
        Y[7][c] = sub(mulhi(m0, 13036), m2);
        Y[3][c] = sub(m1, add(mulhi(m3, -21746), m3));
        Y[5][c] = add(add(mulhi(m1, -21746), m1), m3);
    }
    Block out{};
    for (int u = 0; u < 8; ++u) {
        int16_t s[4], d[4];
        for (int k = 0; k < 4; ++k)
            s[k] = add(Y[u][k], Y[u][7 - k]), d[k] = sub(Y[u][k], Y[u][7 - k]);
        for (int v = 0; v < 8; ++v) {
            uint32_t sum = 0;   // 32-bit lanes wrap
            for (int k = 0; k < 4; ++k)
                sum += static_cast<uint32_t>(weight(u, v, k) * int32_t(v % 2 ? d[k] : s[k]));
            out[8 * u + v] = sat(static_cast<int32_t>(sum + (1u << 19)) >> 20);
        }
    }
    return out;
}

// ---- Level-0 step model: rows then columns, 32-bit sums wrapping ----

void level0_line(const int64_t* x, int64_t* out, bool rows)
{
    auto w32 = [](int64_t v) { return static_cast<int64_t>(static_cast<int32_t>(static_cast<uint32_t>(v))); };
    const int64_t s07 = x[0] + x[7], s16 = x[1] + x[6], s25 = x[2] + x[5], s34 = x[3] + x[4];
    const int64_t d07 = x[0] - x[7], d16 = x[1] - x[6], d25 = x[2] - x[5], d34 = x[3] - x[4];
    const int64_t E = s07 + s34, F = s16 + s25, a = s07 - s34, b = s16 - s25;
    const int64_t rnd = rows ? 2048 : (1 << 20);
    const int sh = rows ? 12 : 21;
    auto fin = [&](int64_t v) { return w32(v + rnd) >> sh; };
    out[0] = rows ? 8 * (E + F) : (E + F + 32) >> 6;
    out[4] = rows ? 8 * (E - F) : (E - F + 32) >> 6;
    out[2] = fin(25080 * a + 17734 * (a + b));
    out[6] = fin(-60547 * b + 17734 * (a + b));
    const int64_t P = 8 * d16 + 8 * d25, M = 8 * d16 - 8 * d25;
    const int64_t S07 = w32(46341 * d07 + 2048) >> 12, S34 = w32(46341 * d34 + 2048) >> 12;
    const int64_t A = S07 + P, C = S07 - P, B = M + S34, D = S34 - M;
    out[1] = fin(3218 * A + 799 * (A + B));
    out[7] = fin(-4816 * B + 799 * (A + B));
    out[3] = fin(3406 * (C + D) - 5681 * D);
    out[5] = fin(3406 * (C + D) - 1130 * C);
}

Block level0_model(const Block& in)
{
    int64_t tmp[64];
    for (int r = 0; r < 8; ++r) {
        int64_t x[8], o[8];
        for (int c = 0; c < 8; ++c)
            x[c] = in[8 * r + c];
        level0_line(x, o, true);
        for (int c = 0; c < 8; ++c)
            tmp[8 * r + c] = static_cast<int16_t>(o[c]);
    }
    Block out{};
    for (int c = 0; c < 8; ++c) {
        int64_t x[8], o[8];
        for (int r = 0; r < 8; ++r)
            x[r] = tmp[8 * r + c];
        level0_line(x, o, false);
        for (int r = 0; r < 8; ++r)
            out[8 * r + c] = static_cast<int16_t>(o[r]);
    }
    return out;
}

std::array<double, 64> exact_dct(const Block& in)
{
    const double pi = std::acos(-1.0);
    std::array<double, 64> out{};
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            double s = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    s += in[8 * y + x] * std::cos((2 * x + 1) * v * pi / 16) * std::cos((2 * y + 1) * u * pi / 16);
            out[8 * u + v] = 0.25 * (u ? 1 : 1 / std::sqrt(2.0)) * (v ? 1 : 1 / std::sqrt(2.0)) * s;
        }
    return out;
}

std::array<uint16_t, 64> unit_table()
{
    std::array<uint16_t, 64> t;
    t.fill(32768);   // a step of 1: quantisation leaves the coefficients as they are
    return t;
}

Block through_table(int level, Block b)
{
    const auto t = unit_table();
    EXPECT_EQ(dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level)(b.data(), t.data()), kernel_ok);
    return b;
}

Block random_block(std::mt19937& rng, int lo, int hi)
{
    std::uniform_int_distribution<int> d(lo, hi);
    Block b;
    for (auto& v : b)
        v = static_cast<int16_t>(d(rng));
    return b;
}

using ForwardDct = KernelTest;

TEST_F(ForwardDct, VectorLevelsFollowTheirStepsAtEveryAlignment)
{
    std::mt19937 rng(11);
    alignas(16) int16_t src_buf[64 + 8], dst_buf[64 + 8];
    for (int n = 0; n < 10000; ++n) {
        const Block in = random_block(rng, -511, 511);
        const Block want = vector_model(in);
        for_each_level(1, [&](int level) {
            if (n % 16 == 0) {
                ASSERT_EQ(through_table(level, in), want);
            }
        });
#if defined(__x86_64__) || defined(__i386__)
        const int so = n % 8, dof = (n / 8) % 8;
        std::memcpy(src_buf + so, in.data(), 128);
        ForwardDct8x8Sse2(src_buf + so, dst_buf + dof);
        ASSERT_EQ(0, std::memcmp(dst_buf + dof, want.data(), 128)) << "sse2 src +" << 2 * so << " dst +" << 2 * dof;
        ForwardDct8x8Mmx(src_buf + so, dst_buf + dof);
        ASSERT_EQ(0, std::memcmp(dst_buf + dof, want.data(), 128));
        ForwardDct8x8Sse2(src_buf + so, src_buf + so);   // in place
        ASSERT_EQ(0, std::memcmp(src_buf + so, want.data(), 128));
#endif
    }
}

TEST_F(ForwardDct, PlainLevelFollowsItsSteps)
{
    std::mt19937 rng(12);
    for (int n = 0; n < 10000; ++n) {
        const Block in = random_block(rng, -255, 255);
        Block apart{};
        ForwardDct8x8Generic(in.data(), apart.data());
        ASSERT_EQ(apart, level0_model(in));
        Block inplace = in;
        ASSERT_EQ(ForwardDct8x8(inplace.data()), kernel_ok);
        ASSERT_EQ(inplace, apart);
    }
    // +-255 blocks overflow 32 bits inside the column products; the results stay right.
    Block ext;
    for (int i = 0; i < 64; ++i)
        ext[i] = static_cast<int16_t>((i ^ (i >> 3)) & 1 ? 255 : -255);
    EXPECT_EQ(through_table(0, ext), level0_model(ext));
}

TEST_F(ForwardDct, EightBitSamplesStayWithinOneOfTheExactTransform)
{
    std::mt19937 rng(13);
    std::vector<Block> blocks;
    for (int n = 0; n < 300; ++n)
        blocks.push_back(random_block(rng, -128, 127));
    for (int n = 0; n < 300; ++n)
        blocks.push_back(random_block(rng, 0, 255));
    for (const auto& [lo, hi] : {std::pair{-128, 127}, {0, 255}})
        for (int n = 0; n < 300; ++n) {
            Block b = random_block(rng, 0, 1);
            for (auto& v : b)
                v = static_cast<int16_t>(v ? hi : lo);
            blocks.push_back(b);
        }
    for_each_level(0, [&](int level) {
        for (const Block& b : blocks) {
            const Block got = through_table(level, b);
            const auto want = exact_dct(b);
            for (int i = 0; i < 64; ++i) {
                const double err = std::abs(got[i] - want[i]);
                ASSERT_LT(err, 1.0 + 1e-9) << "coefficient " << i << " got " << got[i] << " want " << want[i];
            }
        }
    });
}

TEST_F(ForwardDct, FlatBlocksAndTheRangeEnds)
{
    for_each_level(0, [&](int level) {
        for (const int v : {-256, -128, 0, 1, 127, 255}) {
            Block b;
            b.fill(static_cast<int16_t>(v));
            const Block got = through_table(level, b);
            EXPECT_EQ(got[0], 8 * v) << v;
            for (int i = 1; i < 64; ++i)
                ASSERT_EQ(got[i], 0) << v;
        }
        // The vector levels' 16-bit sums saturate from 256 on and a 32-bit sum wraps.
        Block b;
        b.fill(256);
        if (level > 0) {
            EXPECT_EQ(through_table(level, b)[0], -2048);
        }

        const auto t = unit_table();
        Block blk{};
        EXPECT_EQ(dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level)(nullptr, t.data()), kernel_null_pointer);
        EXPECT_EQ(dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level)(blk.data(), nullptr),
                  kernel_null_pointer);
    });
    EXPECT_EQ(ForwardDct8x8(nullptr), kernel_null_pointer);
}

// ---- Quantisation ----

int16_t round_half_even(int64_t m, int64_t c, int s)
{
    const int64_t p = m * c, d = int64_t{1} << s;
    int64_t q = p >= 0 ? p / d : -((-p) / d);
    int64_t r = p - q * d;   // same sign as p
    if (r < 0)
        --q, r += d;   // floor
    if (2 * r > d || (2 * r == d && (q & 1)))
        ++q;
    return static_cast<int16_t>(std::clamp<int64_t>(q, -32768, 32767));
}

// Runs the level's QuantMulShift16 on byte addresses that may be odd.
void quant(int level, const void* table, const void* src, void* dst, int32_t count, int32_t shift)
{
    const auto* t = static_cast<const uint16_t*>(table);
    const auto* s = static_cast<const int16_t*>(src);
    auto* d = static_cast<int16_t*>(dst);
#if defined(__x86_64__) || defined(__i386__)
    switch (level) {
    case 1: return QuantMulShift16Simd<1>(t, s, d, count, shift);
    case 2: return QuantMulShift16Simd<2>(t, s, d, count, shift);
    case 3: return QuantMulShift16Simd<3>(t, s, d, count, shift);
    case 4: return QuantMulShift16Simd<4>(t, s, d, count, shift);
    case 5: return QuantMulShift16Simd<5>(t, s, d, count, shift);
    default: break;
    }
#endif
    EXPECT_EQ(QuantMulShift16(t, s, d, count, shift), kernel_ok);
}

using Quantise = KernelTest;

TEST_F(Quantise, EveryCoefficientRoundsHalfToEven)
{
    std::vector<uint16_t> m(65536);
    std::vector<int16_t> c(65536), out(65536);
    for (int i = 0; i < 65536; ++i)
        c[i] = static_cast<int16_t>(i - 32768);
    for_each_level(0, [&](int level) {
        for (const int mult : {0, 1, 2, 3, 255, 32767, 32768, 32769, 65535}) {
            std::fill(m.begin(), m.end(), static_cast<uint16_t>(mult));
            quant(level, m.data(), c.data(), out.data(), 65536, 15);
            for (int i = 0; i < 65536; ++i)
                ASSERT_EQ(out[i], round_half_even(mult, c[i], 15)) << mult << " x " << c[i];
        }
        std::mt19937 rng(5);
        std::vector<uint16_t> rm(1000000);
        std::vector<int16_t> rc(1000000), ro(1000000);
        for (size_t i = 0; i < rm.size(); ++i)
            rm[i] = uint16_t(rng()), rc[i] = int16_t(rng());
        quant(level, rm.data(), rc.data(), ro.data(), 1000000, 15);
        for (size_t i = 0; i < rm.size(); ++i)
            ASSERT_EQ(ro[i], round_half_even(rm[i], rc[i], 15));
        for (int s = 1; s <= 31; ++s) {
            quant(level, rm.data(), rc.data(), ro.data(), 1000, s);
            for (size_t i = 0; i < 1000; ++i)
                ASSERT_EQ(ro[i], round_half_even(rm[i], rc[i], s)) << "shift " << s;
        }
        const uint16_t mm = 65535;
        const int16_t cc = 32767;
        int16_t r = 0;
        quant(level, &mm, &cc, &r, 1, 1);
        EXPECT_EQ(r, 32767);
    });
}

TEST_F(Quantise, EveryCountAtEveryByteOffset)
{
    std::mt19937 rng(9);
    alignas(16) uint8_t tb[256], sb[256], db[256 + 64];
    for_each_level(0, [&](int level) {
        for (const int count : {1, 7, 8, 15, 16, 17, 64, 100})
            for (int to = 0; to < 16; ++to)
                for (int so = 0; so < 16; ++so)
                    for (int dof = 0; dof < 16; dof += (so == to ? 1 : 5)) {
                        for (auto& b : tb)
                            b = uint8_t(rng());
                        for (auto& b : sb)
                            b = uint8_t(rng());
                        std::memset(db, 0xA5, sizeof db);
                        int16_t want[100];
                        for (int i = 0; i < count; ++i) {
                            uint16_t m;
                            int16_t c;
                            std::memcpy(&m, tb + to + 2 * i, 2);
                            std::memcpy(&c, sb + so + 2 * i, 2);
                            want[i] = round_half_even(m, c, 15);
                        }
                        quant(level, tb + to, sb + so, db + dof, count, 15);
                        ASSERT_EQ(0, std::memcmp(db + dof, want, 2 * count))
                            << count << " " << to << " " << so << " " << dof;
                        for (int i = 0; i < dof; ++i)
                            ASSERT_EQ(db[i], 0xA5);
                        for (int i = dof + 2 * count; i < int(sizeof db); ++i)
                            ASSERT_EQ(db[i], 0xA5);
                        // In place on the source.
                        quant(level, tb + to, sb + so, sb + so, count, 15);
                        ASSERT_EQ(0, std::memcmp(sb + so, want, 2 * count));
                    }
    });
}

TEST_F(Quantise, CountsBelowOneAndThePlainLevelsShifts)
{
    const uint16_t m[4] = {1, 1, 3, 0};
    const int16_t c[4] = {-1, 5, 30000, 7};
    for_each_level(1, [&](int level) {
        int16_t out[4] = {9, 9, 9, 9};
        quant(level, m, c, out, 0, 15);
        quant(level, m, c, out, -5, 15);
        for (const int16_t v : out)
            EXPECT_EQ(v, 9);
    });
    int16_t out[4] = {9, 9, 9, 9};
    EXPECT_EQ(QuantMulShift16(m, c, out, 0, 15), kernel_size_below_one);
    EXPECT_EQ(QuantMulShift16(nullptr, c, out, 4, 15), kernel_null_pointer);
    EXPECT_EQ(QuantMulShift16(m, nullptr, out, 4, 15), kernel_null_pointer);
    EXPECT_EQ(QuantMulShift16(m, c, nullptr, 0, 15), kernel_null_pointer);
    for (const int16_t v : out)
        EXPECT_EQ(v, 9);
    EXPECT_EQ(QuantMulShift16(m, c, out, 4, 32), kernel_ok);
    for (const int16_t v : out)
        EXPECT_EQ(v, 0);
    EXPECT_EQ(QuantMulShift16(m, c, out, 4, -20), kernel_ok);
    EXPECT_EQ(out[0], -32768);
    EXPECT_EQ(out[1], 32767);
    EXPECT_EQ(out[2], 32767);
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(QuantMulShift16(m, c, out, 4, 0), kernel_ok);
    EXPECT_EQ(out[0], -1);
    EXPECT_EQ(out[2], 32767);
    EXPECT_EQ(QuantMulShift16(m, c, out, 4, -3), kernel_ok);
    EXPECT_EQ(out[0], -8);
    EXPECT_EQ(out[1], 40);
    EXPECT_EQ(out[2], 32767);
}

}   // namespace
