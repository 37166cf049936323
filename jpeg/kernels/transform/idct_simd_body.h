#pragma once

// The SIMD transform's constants, its row pass and its column pass, included only by the files
// compiled for one instruction set; everything here has internal linkage so that each includer
// keeps its own copy.

#include <emmintrin.h>

#include <cstdint>

namespace {

// Row coefficients W_k[j] = round(32768 cos(k pi/16) cos(j pi/16)), k = 1..4, j = 1..7. The
// per-row scale cos(k pi/16) makes up for the tangents of the column pass.
constexpr int16_t W[5][8] = {
    {},
    {0, 31521, 29692, 26722, 22725, 17855, 12299, 6270},
    {0, 29692, 27969, 25172, 21407, 16819, 11585, 5906},
    {0, 26722, 25172, 22654, 19266, 15137, 10426, 5315},
    {0, 22725, 21407, 19266, 16384, 12873, 8867, 4520},
};
constexpr int kRowScale[8] = {4, 1, 2, 3, 4, 3, 2, 1};
constexpr int32_t kRowRound[8] = {65536, 2901, 2260, 1704, 1024, 455, 512, 373};

// Weight of input u in output n: cos((2n + 1) u pi / 16) as +-W_k[j].
constexpr int16_t row_weight(int k, int n, int u)
{
    if (u == 0)
        return W[k][4];
    int a = ((2 * n + 1) * u) % 32;
    int sign = 1;
    if (a > 16)
        a = 32 - a;
    if (a > 8) {
        a = 16 - a;
        sign = -1;
    }
    return static_cast<int16_t>(sign * W[k][a]);
}

// Per row: pmaddwd operands for the input pairs (0,2), (4,6), (1,3), (5,7), outputs 0..3 in the
// four 32-bit lanes, then the rounding constant in every lane.
struct alignas(16) RowConstants {
    int16_t pair[4][8];
    int32_t round[4];
};

constexpr RowConstants make_row_constants(int r)
{
    RowConstants rc{};
    const int k = kRowScale[r];
    constexpr int pairs[4][2] = {{0, 2}, {4, 6}, {1, 3}, {5, 7}};
    for (int p = 0; p < 4; ++p)
        for (int n = 0; n < 4; ++n) {
            rc.pair[p][2 * n] = row_weight(k, n, pairs[p][0]);
            rc.pair[p][2 * n + 1] = row_weight(k, n, pairs[p][1]);
        }
    for (int n = 0; n < 4; ++n)
        rc.round[n] = kRowRound[r];
    return rc;
}

alignas(16) constexpr RowConstants kRows[8] = {
    make_row_constants(0), make_row_constants(1), make_row_constants(2), make_row_constants(3),
    make_row_constants(4), make_row_constants(5), make_row_constants(6), make_row_constants(7),
};

// Column constants: tan(pi/16), tan(2pi/16), tan(3pi/16) - 1 and cos(pi/4) - 1, scaled by 2^16.
constexpr int16_t T1 = 13036, T2 = 27146, T3 = -21746, C4 = -19195;

inline __m128i load(const int16_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void store(int16_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// q, when given, is the row's quantisation: the products' low 16 bits, as DequantBlockSimd gives.
inline __m128i row_pass(const int16_t* row, const RowConstants& rc, const int16_t* q = nullptr)
{
    __m128i v = load(row);
    if (q != nullptr)
        v = _mm_mullo_epi16(v, load(q));
    v = _mm_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0));   // x0 x2 x1 x3 x4 x5 x6 x7
    v = _mm_shufflehi_epi16(v, _MM_SHUFFLE(3, 1, 2, 0));   // x0 x2 x1 x3 x4 x6 x5 x7
    const __m128i* c = reinterpret_cast<const __m128i*>(rc.pair);
    const __m128i x02 = _mm_shuffle_epi32(v, 0x00);
    const __m128i x13 = _mm_shuffle_epi32(v, 0x55);
    const __m128i x46 = _mm_shuffle_epi32(v, 0xAA);
    const __m128i x57 = _mm_shuffle_epi32(v, 0xFF);
    const __m128i round = _mm_load_si128(reinterpret_cast<const __m128i*>(rc.round));
    const __m128i even = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(x02, c[0]), _mm_madd_epi16(x46, c[1])), round);
    const __m128i odd = _mm_add_epi32(_mm_madd_epi16(x13, c[2]), _mm_madd_epi16(x57, c[3]));
    const __m128i head = _mm_srai_epi32(_mm_add_epi32(even, odd), 11);   // y0 y1 y2 y3
    __m128i tail = _mm_srai_epi32(_mm_sub_epi32(even, odd), 11);         // y7 y6 y5 y4
    tail = _mm_shuffle_epi32(tail, _MM_SHUFFLE(0, 1, 2, 3));
    return _mm_packs_epi32(head, tail);
}

inline __m128i mulhi(__m128i v, int16_t k)
{
    return _mm_mulhi_epi16(v, _mm_set1_epi16(k));
}

inline __m128i adds(__m128i a, __m128i b)
{
    return _mm_adds_epi16(a, b);
}

inline __m128i subs(__m128i a, __m128i b)
{
    return _mm_subs_epi16(a, b);
}

// The column pass over the eight row results, all eight columns at once, into dst.
inline void column_pass(__m128i z0, __m128i z1, __m128i z2, __m128i z3, __m128i z4, __m128i z5, __m128i z6, __m128i z7,
                        int16_t* dst)
{
    const __m128i a = adds(z1, mulhi(z7, T1));
    const __m128i d = subs(mulhi(z1, T1), z7);
    const __m128i b = adds(adds(mulhi(z5, T3), z5), z3);
    const __m128i c = subs(z5, adds(mulhi(z3, T3), z3));
    const __m128i s0 = adds(a, b), s1 = subs(a, b), s2 = subs(d, c), s3 = adds(d, c);
    const __m128i m = adds(s1, s2), l = subs(s1, s2);
    const __m128i g = adds(mulhi(m, C4), m);
    const __m128i h = adds(mulhi(l, C4), l);
    const __m128i e = adds(z2, mulhi(z6, T2));
    const __m128i f = subs(mulhi(z2, T2), z6);
    const __m128i p0 = adds(z0, z4), p1 = subs(z0, z4);
    const __m128i e0 = adds(p0, e), e3 = subs(p0, e), e1 = adds(p1, f), e2 = subs(p1, f);

    store(dst, _mm_srai_epi16(adds(e0, s0), 6));
    store(dst + 8, _mm_srai_epi16(adds(e1, g), 6));
    store(dst + 16, _mm_srai_epi16(adds(e2, h), 6));
    store(dst + 24, _mm_srai_epi16(adds(e3, s3), 6));
    store(dst + 32, _mm_srai_epi16(subs(e3, s3), 6));
    store(dst + 40, _mm_srai_epi16(subs(e2, h), 6));
    store(dst + 48, _mm_srai_epi16(subs(e1, g), 6));
    store(dst + 56, _mm_srai_epi16(subs(e0, s0), 6));
}

}   // namespace
