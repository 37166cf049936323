#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

#include "kernel_test_util.h"
#include "transform/dequant_idct.h"

namespace {

using Block = std::array<int16_t, 64>;
using Table = std::array<uint16_t, 64>;

Table ones()
{
    Table t;
    t.fill(1);
    return t;
}

Block dc_block(int16_t dc)
{
    Block b{};
    b[0] = dc;
    return b;
}

Block run_level(int level, const Block& src, const Table& table)
{
    Block out;
    out.fill(0x5555);
    EXPECT_EQ(dispatch_entry<dispatch_table_dequant_idct_8x8>(level)(src.data(), out.data(), table.data()), kernel_ok);
    return out;
}

// Rows 0-7 of a block whose rows are each constant.
std::array<int, 8> row_values(const Block& b)
{
    std::array<int, 8> rows{};
    for (int r = 0; r < 8; ++r) {
        rows[r] = b[8 * r];
        for (int c = 1; c < 8; ++c)
            EXPECT_EQ(b[8 * r + c], rows[r]) << "row " << r << " column " << c;
    }
    return rows;
}

// What the stub does before anything has chosen a level: captured while statics initialise.
const int32_t g_level_at_start = dispatch_level.load();
const Block g_stub_at_start = [] {
    Block out{};
    const Block src = dc_block(100);
    const Table t = ones();
    dequant_idct_8x8(src.data(), out.data(), t.data());
    return out;
}();

using DequantIdct = KernelTest;

TEST_F(DequantIdct, StubRunsThePlainBodyBeforeInitAndItsLevelAfter)
{
    EXPECT_EQ(g_level_at_start, 0);
    EXPECT_EQ(g_stub_at_start, run_level(0, dc_block(100), ones()));

    dispatch_init();
    const Block src = dc_block(100);
    const Table t = ones();
    Block out{};
    ASSERT_EQ(dequant_idct_8x8(src.data(), out.data(), t.data()), kernel_ok);
    EXPECT_EQ(out, run_level(dispatch_level.load(), src, t));

    for_each_level(0, [&](int level) {
        ASSERT_GE(dispatch_set_level(level), 0);
        Block via_stub{};
        ASSERT_EQ(dequant_idct_8x8(src.data(), via_stub.data(), t.data()), kernel_ok);
        EXPECT_EQ(via_stub, run_level(level, src, t));
        // Rows 3 and 4 tell the plain transform (13) from the SIMD one (12).
        EXPECT_EQ(via_stub[24], level == 0 ? 13 : 12);
    });
}

// DC-only blocks: the plain level wraps in pass 1 (32767 gives -8 there) and reads steps above
// 32767 as negative; the SIMD levels saturate and round rows 3 and 4 apart.
TEST_F(DequantIdct, DcBlocksAtEveryLevel)
{
    Table negative = ones();
    negative[0] = 65535;   // -1
    for (auto [dc, value] : std::initializer_list<std::pair<int16_t, int>>{
             {0, 0}, {100, 13}, {4, 1}, {8, 1}, {1016, 127}, {-1024, -128}, {32767, 0}})
        for (int16_t v : run_level(0, dc_block(dc), ones()))
            EXPECT_EQ(v, value) << dc;
    for (int16_t v : run_level(0, dc_block(-800), negative))
        EXPECT_EQ(v, 100);
    for_each_level(1, [](int level) {
        for (auto [dc, value] : std::initializer_list<std::pair<int16_t, int>>{
                 {0, 0}, {8, 1}, {1016, 127}, {-1024, -128}, {32767, 511}, {-32768, -512}})
            for (int16_t v : run_level(level, dc_block(dc), ones()))
                EXPECT_EQ(v, value) << dc;
        EXPECT_EQ(row_values(run_level(level, dc_block(100), ones())),
                  (std::array<int, 8>{13, 13, 13, 12, 12, 13, 13, 13}));
        EXPECT_EQ(row_values(run_level(level, dc_block(4), ones())), (std::array<int, 8>{1, 1, 1, 0, 0, 1, 1, 1}));
    });
}

TEST_F(DequantIdct, DequantSaturateClampsAndRefusalsWriteNothing)
{
    const int16_t src[3] = {1000, -300, 3};
    const int16_t table[3] = {100, 255, static_cast<int16_t>(40000)};
    int16_t dst[3] = {7, 7, 7};
    EXPECT_EQ(DequantSaturate(src, table, dst, 0), kernel_size_below_one);
    EXPECT_EQ(DequantSaturate(src, table, dst, -1), kernel_size_below_one);
    EXPECT_EQ(dst[0], 7);
    ASSERT_EQ(DequantSaturate(src, table, dst, 3), kernel_ok);
    EXPECT_EQ(dst[0], 32767);
    EXPECT_EQ(dst[1], -32768);
    EXPECT_EQ(dst[2], -32768);
    for_each_level(0, [](int level) {
        const Block src = dc_block(100);
        Block out;
        out.fill(77);
        EXPECT_EQ(dispatch_entry<dispatch_table_dequant_idct_8x8>(level)(src.data(), out.data(), nullptr),
                  kernel_null_pointer);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](int16_t v) { return v == 77; }));
    });
}

#if defined(__x86_64__) || defined(__i386__)
TEST_F(DequantIdct, SimdDequantisationKeepsTheLow16Bits)
{
    int16_t src[64] = {1000, -300, 3};
    uint16_t table[64] = {100, 255, 40000};
    int16_t dst[64];
    DequantBlockSimd(src, dst, table);
    EXPECT_EQ(dst[0], -31072);
    EXPECT_EQ(dst[1], -10964);
    EXPECT_EQ(dst[2], -11072);
}
#endif

Block random_block(std::mt19937& rng, bool extreme)
{
    Block b{};
    std::uniform_int_distribution<int> full(-32768, 32767), small(-400, 400), pick(0, 9);
    for (int16_t& v : b) {
        const int p = pick(rng);
        if (extreme)
            v = static_cast<int16_t>(p < 2 ? (p == 0 ? 32767 : -32768) : full(rng));
        else
            v = static_cast<int16_t>(p < 6 ? 0 : small(rng));
    }
    return b;
}

TEST_F(DequantIdct, UnalignedAndInPlaceGiveTheAlignedResults)
{
    std::mt19937 rng(5);
    const Table t = ones();
    for_each_level(0, [&](int level) {
        auto fn = dispatch_entry<dispatch_table_dequant_idct_8x8>(level);
        for (int n = 0; n < 50; ++n) {
            const Block src = random_block(rng, n % 2 == 0);
            const Block want = run_level(level, src, t);
            for (int offset : {1, 4}) {   // 2 and 8 bytes off a 16-byte boundary
                alignas(16) int16_t buf[3 * 64 + 16];
                int16_t* s = buf + offset;
                int16_t* d = buf + 64 + 8 + offset;
                std::memcpy(s, src.data(), 128);
                ASSERT_EQ(fn(s, d, t.data()), kernel_ok);
                EXPECT_TRUE(std::equal(want.begin(), want.end(), d)) << "distinct, offset " << offset;
                ASSERT_EQ(fn(s, s, t.data()), kernel_ok);
                EXPECT_TRUE(std::equal(want.begin(), want.end(), s)) << "in place, offset " << offset;
            }
        }
    });
}

// The SIMD levels' arithmetic written out lane by lane: row pass with 32-bit wrapping sums,
// shift 11 and saturation; column pass with saturating 16-bit steps and high-half products.
int16_t sat16(int64_t v)
{
    return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

int32_t wrap32(int64_t v)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

Block simd_model(const Block& in, const Table& q)
{
    static const int scale[8] = {4, 1, 2, 3, 4, 3, 2, 1};
    static const int32_t round[8] = {65536, 2901, 2260, 1704, 1024, 455, 512, 373};
    const double pi = std::acos(-1.0);
    int16_t z[64];
    for (int r = 0; r < 8; ++r) {
        int16_t x[8];
        for (int c = 0; c < 8; ++c)
            x[c] = static_cast<int16_t>(static_cast<uint16_t>(in[8 * r + c] * q[8 * r + c]));
        const double ck = std::cos(scale[r] * pi / 16);
        for (int n = 0; n < 4; ++n) {
            int64_t e = round[r], o = 0;
            for (int u = 0; u < 8; ++u) {
                const double basis = u == 0 ? std::cos(pi / 4) : std::cos((2 * n + 1) * u * pi / 16);
                const int64_t w = std::lround(32768 * ck * basis);
                (u % 2 == 0 ? e : o) += w * x[u];
            }
            z[8 * r + n] = sat16(wrap32(wrap32(e) + int64_t(wrap32(o))) >> 11);
            z[8 * r + 7 - n] = sat16(wrap32(wrap32(e) - int64_t(wrap32(o))) >> 11);
        }
    }
    auto add = [](int a, int b) { return int(sat16(a + b)); };
    auto sub = [](int a, int b) { return int(sat16(a - b)); };
    auto mulhi = [](int a, int k) { return (a * k) >> 16; };
    const int T1 = 13036, T2 = 27146, T3 = -21746, C4 = -19195;
    Block out;
    for (int c = 0; c < 8; ++c) {
        int v[8];
        for (int r = 0; r < 8; ++r)
            v[r] = z[8 * r + c];
        const int a = add(v[1], mulhi(v[7], T1)), d = sub(mulhi(v[1], T1), v[7]);
        const int b = add(add(mulhi(v[5], T3), v[5]), v[3]), cc = sub(v[5], add(mulhi(v[3], T3), v[3]));
        const int s0 = add(a, b), s1 = sub(a, b), s2 = sub(d, cc), s3 = add(d, cc);
        const int m = add(s1, s2), l = sub(s1, s2);
        const int g = add(mulhi(m, C4), m), h = add(mulhi(l, C4), l);
        const int e = add(v[2], mulhi(v[6], T2)), f = sub(mulhi(v[2], T2), v[6]);
        const int p0 = add(v[0], v[4]), p1 = sub(v[0], v[4]);
        const int e0 = add(p0, e), e3 = sub(p0, e), e1 = add(p1, f), e2 = sub(p1, f);
        const int rows[8] = {add(e0, s0), add(e1, g), add(e2, h), add(e3, s3),
                             sub(e3, s3), sub(e2, h), sub(e1, g), sub(e0, s0)};
        for (int r = 0; r < 8; ++r)
            out[8 * r + c] = static_cast<int16_t>(rows[r] >> 6);
    }
    return out;
}

TEST_F(DequantIdct, SimdLevelsFollowTheirArithmeticBitForBit)
{
    if (dispatch_supported_level() < 1)
        GTEST_SKIP() << "no SIMD level on this processor";
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> qd(0, 65535), pick(0, 3);
    int mismatches = 0;
    for (int n = 0; n < 100000 && mismatches < 5; ++n) {
        const bool extreme = n % 2 == 1;
        Block src = random_block(rng, extreme);
        // Blocks that end in empty rows, as most of a photograph's do, at every row.
        if (n % 4 >= 2)
            for (int i = 8 * (n / 4 % 8); i < 64; ++i)
                src[static_cast<size_t>(i)] = 0;
        Table t = ones();
        if (extreme)
            for (uint16_t& q : t)
                q = static_cast<uint16_t>(pick(rng) == 0 ? qd(rng) : 1 + pick(rng));
        const Block want = simd_model(src, t);
        for (int level = 1; level <= dispatch_supported_level(); ++level)
            if (run_level(level, src, t) != want) {
                ADD_FAILURE() << "block " << n << " differs at level " << level;
                ++mismatches;
            }
    }
}

// Closed form: orthonormal 2-D DCT pair in double precision, element 8u + v holding vertical
// frequency u and horizontal frequency v.
void dct_double(const double* in, double* out, bool inverse)
{
    const double pi = std::acos(-1.0);
    auto C = [](int k) { return k == 0 ? std::sqrt(0.5) : 1.0; };
    for (int a = 0; a < 8; ++a)
        for (int b = 0; b < 8; ++b) {
            double sum = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x) {
                    // Forward: (a, b) frequencies, (y, x) samples; inverse the other way round.
                    const int u = inverse ? y : a, v = inverse ? x : b, row = inverse ? a : y, col = inverse ? b : x;
                    sum += C(u) * C(v) * in[8 * y + x] * std::cos((2 * row + 1) * u * pi / 16) *
                           std::cos((2 * col + 1) * v * pi / 16);
                }
            out[8 * a + b] = sum / 4;
        }
}

TEST_F(DequantIdct, EveryLevelIsWithinOneOfTheExactInverse)
{
    std::mt19937 rng(1180);
    std::uniform_int_distribution<int> sample(-128, 127);
    const Table t = ones();
    const int machine = std::min(dispatch_level_for_type(cpu_identify_type()), dispatch_supported_level());
    for (int n = 0; n < 2000; ++n) {
        double pixels[64], coef[64], exact[64];
        for (double& p : pixels)
            p = sample(rng);
        dct_double(pixels, coef, false);
        Block src;
        double rounded[64];
        for (int i = 0; i < 64; ++i)
            rounded[i] = src[i] = static_cast<int16_t>(std::lround(coef[i]));
        dct_double(rounded, exact, true);
        const Block plain = run_level(0, src, t);
        const Block simd = run_level(machine, src, t);
        for (int i = 0; i < 64; ++i) {
            ASSERT_LE(std::abs(plain[i] - exact[i]), 1.0) << "block " << n << " sample " << i;
            ASSERT_LE(std::abs(simd[i] - exact[i]), 1.0) << "block " << n << " sample " << i;
            ASSERT_LE(std::abs(plain[i] - simd[i]), 1) << "block " << n << " sample " << i;
        }
    }
}

// Level 0 on hostile blocks: every 32-bit sum wraps (the sanitizer build checks that no signed
// overflow happens on the way) and the result is the wrapped one of a 64-bit model.
Block plain_model(const Block& in, const Table& q)
{
    auto wrap = [](int64_t v) { return int64_t(wrap32(v)); };
    auto line = [&](int64_t* x, int64_t round, int shift) {
        const int64_t t35 = 27246 * (x[3] + x[5]), t17 = 6393 * (x[1] + x[7]), t26 = 17734 * (x[2] + x[6]);
        const int64_t A = t35 - 9041 * x[5], B = t35 - 45451 * x[3];
        const int64_t C = t17 + 25746 * x[1], D = t17 - 38531 * x[7];
        const int64_t O0 = 5793 * (wrap(C + A + 2048) >> 12), O3 = 5793 * (wrap(D + B + 2048) >> 12);
        const int64_t O1 = (C - A) + (D - B), O2 = (C - A) - (D - B);
        const int64_t F = t26 + 25080 * x[2], G = t26 - 60547 * x[6];
        const int64_t P = 32768 * (x[0] + x[4]), Q = 32768 * (x[0] - x[4]);
        const int64_t E[4] = {P + F, Q + G, Q - G, P - F}, O[4] = {O0, O1, O2, O3};
        for (int i = 0; i < 4; ++i) {
            const int64_t hi = wrap(E[i] + O[i] + round) >> shift, lo = wrap(E[i] - O[i] + round) >> shift;
            x[8 + i] = int16_t(uint16_t(hi));
            x[15 - i] = int16_t(uint16_t(lo));
        }
    };
    int64_t b[64];
    for (int i = 0; i < 64; ++i)
        b[i] = std::clamp<int64_t>(int64_t(in[i]) * int16_t(q[i]), -32768, 32767);
    for (int c = 0; c < 8; ++c) {
        int64_t x[16];
        for (int r = 0; r < 8; ++r)
            x[r] = b[8 * r + c];
        line(x, 2048, 12);
        for (int r = 0; r < 8; ++r)
            b[8 * r + c] = x[8 + r];
    }
    Block out;
    for (int r = 0; r < 8; ++r) {
        int64_t x[16];
        for (int c = 0; c < 8; ++c)
            x[c] = b[8 * r + c];
        line(x, 1048576, 21);
        for (int c = 0; c < 8; ++c)
            out[8 * r + c] = static_cast<int16_t>(x[8 + c]);
    }
    return out;
}

TEST_F(DequantIdct, PlainLevelWrapsHostileBlocksExactly)
{
    std::mt19937 rng(47);
    Block all_max;
    all_max.fill(32767);
    EXPECT_EQ(run_level(0, all_max, ones()), plain_model(all_max, ones()));
    std::uniform_int_distribution<int> qd(0, 65535);
    for (int n = 0; n < 20000; ++n) {
        const Block src = random_block(rng, true);
        Table t;
        for (uint16_t& q : t)
            q = static_cast<uint16_t>(qd(rng));
        ASSERT_EQ(run_level(0, src, t), plain_model(src, t)) << "block " << n;
    }
}

}   // namespace
