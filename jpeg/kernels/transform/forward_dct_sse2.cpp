#include <emmintrin.h>

#include <cstring>

#include "transform/forward_dct.h"

namespace {

// Horizontal-pass weights W(u, v, k) = round(2^14 G(u) Cv sqrt2 cos((2k + 1) v pi / 16)); the
// magnitudes of row group g for cos(j pi / 16), j = 0..7 (j = 0 and 4 both 2^14 G).
constexpr int16_t kMag[4][8] = {
    {16384, 22725, 21407, 19266, 16384, 12873, 8867, 4520},
    {22725, 31521, 29692, 26722, 22725, 17855, 12299, 6270},
    {21407, 29692, 27969, 25172, 21407, 16819, 11585, 5906},
    {19266, 26722, 25172, 22654, 19266, 15137, 10426, 5315},
};
constexpr int kGroup[8] = {0, 1, 2, 3, 0, 3, 2, 1};

constexpr int16_t weight(int u, int v, int k)
{
    int a = ((2 * k + 1) * v) % 32;
    int sign = 1;
    if (a > 16)
        a = 32 - a;
    if (a > 8) {
        a = 16 - a;
        sign = -1;
    }
    if (a == 8)
        return 0;
    return static_cast<int16_t>(sign * kMag[kGroup[u]][a]);
}

// Per row u: even outputs (v = 0, 2 | 4, 6) and odd outputs (v = 1, 3 | 5, 7), each as
// four k-weights per output, in the order the multiply-adds take them.
struct alignas(16) RowWeights {
    int16_t even[2][8], odd[2][8];
};

struct alignas(16) FdctConstants {
    RowWeights rows[8];
    int32_t round[4];
};

constexpr FdctConstants make_constants()
{
    FdctConstants c{};
    for (int u = 0; u < 8; ++u)
        for (int half = 0; half < 2; ++half)
            for (int j = 0; j < 2; ++j)
                for (int k = 0; k < 4; ++k) {
                    const int ve = 4 * half + 2 * j;
                    c.rows[u].even[half][4 * j + k] = weight(u, ve, k);
                    c.rows[u].odd[half][4 * j + k] = weight(u, ve + 1, k);
                }
    for (int i = 0; i < 4; ++i)
        c.round[i] = 1 << 19;
    return c;
}

alignas(16) constexpr FdctConstants kFdct = make_constants();

constexpr int16_t kTan1 = 13036, kTan2 = 27146, kCos4 = 23170, kTan3m1 = -21746;

inline __m128i load(const int16_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

inline void store(int16_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

inline __m128i cload(const int16_t* p)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i mulhi(__m128i v, int16_t k)
{
    return _mm_mulhi_epi16(v, _mm_set1_epi16(k));
}

inline __m128i set1(__m128i v)
{
    return _mm_or_si128(v, _mm_set1_epi16(1));
}

inline __m128i adds(__m128i a, __m128i b)
{
    return _mm_adds_epi16(a, b);
}

inline __m128i subs(__m128i a, __m128i b)
{
    return _mm_subs_epi16(a, b);
}

// Sums of adjacent 32-bit lanes of a and b: (a0 + a1, a2 + a3, b0 + b1, b2 + b3).
inline __m128i pair_add(__m128i a, __m128i b)
{
    const __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
    const __m128i ev = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i od = _mm_castps_si128(_mm_shuffle_ps(fa, fb, _MM_SHUFFLE(3, 1, 3, 1)));
    return _mm_add_epi32(ev, od);
}

inline __m128i row_pass(__m128i y, const RowWeights& w, __m128i round)
{
    __m128i rev = _mm_unpackhi_epi64(y, y);
    rev = _mm_shufflelo_epi16(rev, _MM_SHUFFLE(0, 1, 2, 3));   // y7 y6 y5 y4
    const __m128i s = adds(y, rev), d = subs(y, rev);
    const __m128i ss = _mm_unpacklo_epi64(s, s), dd = _mm_unpacklo_epi64(d, d);
    const __m128i even = pair_add(_mm_madd_epi16(ss, cload(w.even[0])), _mm_madd_epi16(ss, cload(w.even[1])));
    const __m128i odd = pair_add(_mm_madd_epi16(dd, cload(w.odd[0])), _mm_madd_epi16(dd, cload(w.odd[1])));
    const __m128i ze = _mm_srai_epi32(_mm_add_epi32(even, round), 20);   // Z0 Z2 Z4 Z6
    const __m128i zo = _mm_srai_epi32(_mm_add_epi32(odd, round), 20);    // Z1 Z3 Z5 Z7
    return _mm_unpacklo_epi16(_mm_packs_epi32(ze, ze), _mm_packs_epi32(zo, zo));
}

void fdct_body(const int16_t* src, int16_t* dst)
{
    const __m128i r0 = load(src), r1 = load(src + 8), r2 = load(src + 16), r3 = load(src + 24);
    const __m128i r4 = load(src + 32), r5 = load(src + 40), r6 = load(src + 48), r7 = load(src + 56);

    const __m128i t0 = adds(r0, r7), t1 = adds(r1, r6), t2 = adds(r2, r5), t3 = adds(r3, r4);
    const __m128i d0 = subs(r0, r7), d1 = subs(r1, r6), d2 = subs(r2, r5), d3 = subs(r3, r4);
    const __m128i h = _mm_slli_epi16(adds(t0, t3), 3), g = _mm_slli_epi16(subs(t0, t3), 3);
    const __m128i f = _mm_slli_epi16(adds(t1, t2), 3), e = _mm_slli_epi16(subs(t1, t2), 3);
    const __m128i y0 = adds(h, f), y4 = subs(h, f);
    const __m128i y2 = set1(adds(g, mulhi(e, kTan2)));
    const __m128i y6 = set1(subs(mulhi(g, kTan2), e));
    const __m128i d1s = _mm_slli_epi16(d1, 4), d2s = _mm_slli_epi16(d2, 4);
    const __m128i p = set1(mulhi(adds(d1s, d2s), kCos4));
    const __m128i q = mulhi(subs(d1s, d2s), kCos4);
    const __m128i d0s = _mm_slli_epi16(d0, 3), d3s = _mm_slli_epi16(d3, 3);
    const __m128i m0 = adds(d0s, p), m1 = subs(d0s, p), m2 = adds(d3s, q), m3 = subs(d3s, q);
    const __m128i y1 = set1(adds(m0, mulhi(m2, kTan1)));
    const __m128i y7 = subs(mulhi(m0, kTan1), m2);
    const __m128i y3 = subs(m1, adds(mulhi(m3, kTan3m1), m3));
    const __m128i y5 = adds(adds(mulhi(m1, kTan3m1), m1), m3);

    const __m128i round = _mm_load_si128(reinterpret_cast<const __m128i*>(kFdct.round));
    store(dst, row_pass(y0, kFdct.rows[0], round));
    store(dst + 8, row_pass(y1, kFdct.rows[1], round));
    store(dst + 16, row_pass(y2, kFdct.rows[2], round));
    store(dst + 24, row_pass(y3, kFdct.rows[3], round));
    store(dst + 32, row_pass(y4, kFdct.rows[4], round));
    store(dst + 40, row_pass(y5, kFdct.rows[5], round));
    store(dst + 48, row_pass(y6, kFdct.rows[6], round));
    store(dst + 56, row_pass(y7, kFdct.rows[7], round));
}

// Eight elements of the rounding form: b = p >> 1 from (m >> 1, m & 1) x (c, c >> 1).
inline __m128i quant8(__m128i m, __m128i c, __m128i cnt, __m128i bias, __m128i one32)
{
    const __m128i one16 = _mm_set1_epi16(1);
    const __m128i mh = _mm_srli_epi16(m, 1), ml = _mm_and_si128(m, one16);
    const __m128i ch = _mm_srai_epi16(c, 1);
    const __m128i lowbit = _mm_and_si128(ml, c);   // bit 0 of p
    const __m128i mlo = _mm_unpacklo_epi16(mh, ml), mhi = _mm_unpackhi_epi16(mh, ml);
    const __m128i clo = _mm_unpacklo_epi16(c, ch), chi = _mm_unpackhi_epi16(c, ch);
    const __m128i zero = _mm_setzero_si128();
    const __m128i plo = _mm_unpacklo_epi16(lowbit, zero), phi = _mm_unpackhi_epi16(lowbit, zero);
    auto finish = [&](__m128i b, __m128i p1) {
        const __m128i bit = _mm_and_si128(_mm_sra_epi32(b, cnt), one32);
        const __m128i inner = _mm_srai_epi32(_mm_add_epi32(_mm_add_epi32(p1, bias), bit), 1);
        return _mm_sra_epi32(_mm_add_epi32(b, inner), cnt);
    };
    const __m128i lo = finish(_mm_madd_epi16(mlo, clo), plo);
    const __m128i hi = finish(_mm_madd_epi16(mhi, chi), phi);
    return _mm_packs_epi32(lo, hi);
}

void quant_simd(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t count, int32_t shift)
{
    if (count < 1)
        return;
    const auto* t = reinterpret_cast<const uint8_t*>(table);
    const auto* s = reinterpret_cast<const uint8_t*>(src);
    auto* d = reinterpret_cast<uint8_t*>(dst);
    int64_t i = 0;   // unaligned loads and stores: odd addresses too
    if (shift >= 1 && shift <= 31 && count >= 15) {
        const __m128i cnt = _mm_cvtsi32_si128(shift - 1);
        const __m128i bias = _mm_set1_epi32((1 << (shift - 1)) - 1);
        const __m128i one32 = _mm_set1_epi32(1);
        for (; i + 8 <= count; i += 8) {
            const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + 2 * i));
            const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 2 * i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 2 * i), quant8(m, c, cnt, bias, one32));
        }
    }
    quant_mul_shift_scalar(table, src, dst, i, count, shift);
}

}   // namespace

void ForwardDct8x8Sse2(const int16_t* src, int16_t* dst)
{
    fdct_body(src, dst);
}

void ForwardDct8x8Mmx(const int16_t* src, int16_t* dst)
{
    fdct_body(src, dst);
}

template <int Level>
void QuantMulShift16Simd(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t count, int32_t shift)
{
    quant_simd(table, src, dst, count, shift);
}

template <int Level>
kernel_status ForwardDctQuant8x8Simd(int16_t* block, const uint16_t* table)
{
    if (block == nullptr || table == nullptr)
        return kernel_null_pointer;
    if constexpr (Level == 1)
        ForwardDct8x8Mmx(block, block);
    else
        ForwardDct8x8Sse2(block, block);
    QuantMulShift16Simd<Level>(table, block, block, 64, 15);
    return kernel_ok;
}

#define KV_FDCT_LEVEL(L)                                                                                               \
    template void QuantMulShift16Simd<L>(const uint16_t*, const int16_t*, int16_t*, int32_t, int32_t);                 \
    template kernel_status ForwardDctQuant8x8Simd<L>(int16_t*, const uint16_t*);
KV_FDCT_LEVEL(1)
KV_FDCT_LEVEL(2)
KV_FDCT_LEVEL(3)
KV_FDCT_LEVEL(4)
KV_FDCT_LEVEL(5)
#undef KV_FDCT_LEVEL
