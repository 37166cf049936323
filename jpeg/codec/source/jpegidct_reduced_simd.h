#pragma once

// The 4 x 4 and 2 x 2 transforms' passes on 32-bit lanes, shared by the SSE4.1 and AVX2 bodies: the column
// pass for any vector width, the row pass on four lanes. Included inside an unnamed namespace,
// after <cstring>; an includer with wider vectors declares their Add, Sub, Mul, Or, Shl, Sra,
// Flat, Blend and Splat first. Needs SSE4.1. Products and sums wrap as in the plain body, so the
// results are identical.

#include "jpegidct_lanes_simd.h"

[[gnu::always_inline]] inline __m128i Mul(__m128i a, int32_t constant)
{
    return _mm_mullo_epi32(a, _mm_set1_epi32(constant));
}

// b where mask is set, else a.
[[gnu::always_inline]] inline __m128i Blend(__m128i a, __m128i b, __m128i mask)
{
    return _mm_blendv_epi8(a, b, mask);
}

// The four-point parts of both passes, lane by lane.
template <class V>
[[gnu::always_inline]] inline void Reduce4(V i0, V i1, V i2, V i3, V i5, V i6, V i7, V out[4])
{
    const V a0 = Shl(i0, 14);
    const V a2 = Sub(Mul(i2, 15137), Mul(i6, 6270));
    const V t10 = Add(a0, a2);
    const V t12 = Sub(a0, a2);
    const V p = Add(Add(Mul(i7, -1730), Mul(i5, 11893)), Add(Mul(i3, -17799), Mul(i1, 8697)));
    const V q = Add(Add(Mul(i7, -4176), Mul(i5, -4926)), Add(Mul(i3, 7373), Mul(i1, 20995)));
    out[0] = Add(t10, q);
    out[1] = Add(t12, p);
    out[2] = Sub(t12, p);
    out[3] = Sub(t10, q);
}

// The column pass over the lanes' columns of eight rows, into rows 0..3; lanes whose odd and
// upper inputs are all zero take the plain body's shortcut, which differs from the formula once
// products wrap.
template <class V>
[[gnu::always_inline]] inline void Columns4(const V* rows, V out[4])
{
    Reduce4(rows[0], rows[1], rows[2], rows[3], rows[5], rows[6], rows[7], out);
    const V flat = Flat(Or(Or(Or(rows[1], rows[2]), Or(rows[3], rows[5])), Or(rows[6], rows[7])));
    const V dc = Shl(rows[0], 2);
    const V round = Splat(dc, 2048);
#pragma GCC unroll 8
    for (int32_t k = 0; k < 4; ++k) {
        out[k] = Blend(Sra(Add(out[k], round), 12), dc, flat);
    }
}

// The row pass over the column pass's rows 0..3 (columns 0..3 in low, 4..7 in high; column 4 is
// never read) into the output rows 0..3.
[[gnu::always_inline]] inline void Rows4Values(__m128i low[4], __m128i high[4], __m128i out[4])
{
    Transpose4(low[0], low[1], low[2], low[3]);
    Transpose4(high[0], high[1], high[2], high[3]);
    Reduce4(low[0], low[1], low[2], low[3], high[1], high[2], high[3], out);
    const __m128i flat = Flat(Or(Or(Or(low[1], low[2]), Or(low[3], high[1])), Or(high[2], high[3])));
    const __m128i dc = Sra(Add(low[0], _mm_set1_epi32(16)), 5);
    const __m128i round = _mm_set1_epi32(262144);
#pragma GCC unroll 8
    for (int32_t k = 0; k < 4; ++k) {
        out[k] = Blend(Sra(Add(out[k], round), 19), dc, flat);
    }
    Transpose4(out[0], out[1], out[2], out[3]);
}

// Output rows 0..3 into the block's top left.
[[gnu::always_inline]] inline void StoreValues4(const __m128i out[4], int32_t* block)
{
#pragma GCC unroll 8
    for (int32_t r = 0; r < 4; ++r) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * r), out[r]);
    }
}

// Saturating packs and one compare give the range table's mapping for every 32-bit value:
// -128..127 -> 0..255, below -> 0, 128..639 -> 255, from 640 on -> 0. Words in, bytes out.
[[gnu::always_inline]] inline __m128i RangeSamples(__m128i first, __m128i second)
{
    const __m128i last = _mm_set1_epi16(639);
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i beyond = _mm_packs_epi16(_mm_cmpgt_epi16(first, last), _mm_cmpgt_epi16(second, last));
    return _mm_andnot_si128(beyond, _mm_packus_epi16(_mm_adds_epi16(first, bias), _mm_adds_epi16(second, bias)));
}

// Output rows 0..3 of the 4 x 4 transform as samples, straight from the registers.
[[gnu::always_inline]] inline void StoreSamples4(const __m128i out[4], uint8_t* samples, int32_t stride)
{
    __m128i result = RangeSamples(_mm_packs_epi32(out[0], out[1]), _mm_packs_epi32(out[2], out[3]));
#pragma GCC unroll 4
    for (int32_t y = 0; y < 4; ++y) {
        const auto four = static_cast<uint32_t>(_mm_cvtsi128_si32(result));
        std::memcpy(samples + static_cast<ptrdiff_t>(y) * stride, &four, 4);
        result = _mm_srli_si128(result, 4);
    }
}

// The 2 x 2 column pass over the lanes' columns of eight rows, into rows 0 and 1.
template <class V>
[[gnu::always_inline]] inline void Columns2(const V* rows, V& w0, V& w1)
{
    const V flat = Flat(Or(Or(rows[1], rows[3]), Or(rows[5], rows[7])));
    const V dc = Shl(rows[0], 2);
    const V a = Add(Shl(rows[0], 15), Splat(dc, 4096));
    const V p = Add(Add(Mul(rows[1], 29692), Mul(rows[3], -10426)), Add(Mul(rows[5], 6967), Mul(rows[7], -5906)));
    w0 = Blend(Sra(Add(a, p), 13), dc, flat);
    w1 = Blend(Sra(Sub(a, p), 13), dc, flat);
}

// The 2 x 2 row pass over rows 0 (w0) and 1 (w1), columns 0..3 and 4..7 of each; gives row 0
// in lanes 0 and 1, row 1 in lanes 2 and 3.
[[gnu::always_inline]] inline __m128i Rows2Values(const __m128i w0[2], const __m128i w1[2])
{
    // Lanes 0, 1 of each: columns 0, 2, 4, 6 of rows 0 and 1; lanes 2, 3: columns 1, 3, 5, 7.
    const __m128i c01 = _mm_unpacklo_epi32(w0[0], w1[0]);
    const __m128i c23 = _mm_unpackhi_epi32(w0[0], w1[0]);
    const __m128i c45 = _mm_unpacklo_epi32(w0[1], w1[1]);
    const __m128i c67 = _mm_unpackhi_epi32(w0[1], w1[1]);
    const __m128i c0 = _mm_slli_si128(c01, 8);
    const __m128i flat = Flat(Or(Or(c01, c23), Or(c45, c67)));
    const __m128i dc = Sra(Add(c0, _mm_set1_epi32(16)), 5);
    const __m128i a = Add(Shl(c0, 15), _mm_set1_epi32(524288));
    const __m128i p = Add(Add(Mul(c01, 29692), Mul(c23, -10426)), Add(Mul(c45, 6967), Mul(c67, -5906)));
    const __m128i out0 = Blend(Sra(Add(a, p), 20), dc, flat);
    const __m128i out1 = Blend(Sra(Sub(a, p), 20), dc, flat);
    return _mm_unpackhi_epi32(out0, out1);
}

// The 2 x 2 transform's rows into the block's top left.
[[gnu::always_inline]] inline void StoreValues2(__m128i rows, int32_t* block)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(block), rows);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(block + 8), _mm_unpackhi_epi64(rows, rows));
}

// The 2 x 2 transform's rows as samples, straight from the registers.
[[gnu::always_inline]] inline void StoreSamples2(__m128i rows, uint8_t* samples, int32_t stride)
{
    const __m128i words = _mm_packs_epi32(rows, rows);
    const auto four = static_cast<uint32_t>(_mm_cvtsi128_si32(RangeSamples(words, words)));
    const auto first = static_cast<uint16_t>(four);
    const auto second = static_cast<uint16_t>(four >> 16);
    std::memcpy(samples, &first, 2);
    std::memcpy(samples + stride, &second, 2);
}

// Blocks whose values end before zigzag position 3, as most blocks of smooth chroma, hold values
// only at natural 0, 1 and 8: both transforms then shrink to a few scalar products. Those values
// dequantised, wrapping.
struct LowValues {
    uint32_t c0;
    uint32_t c1;
    uint32_t c8;
};

[[gnu::always_inline]] inline LowValues LowOf(const int16_t* words, const int32_t* multiplier)
{
    const auto product = [&](int32_t k) {
        return static_cast<uint32_t>(words[k]) * static_cast<uint32_t>(multiplier[k]);
    };
    return {product(0), product(1), product(8)};
}

[[gnu::always_inline]] inline int32_t Signed(uint32_t value)
{
    return static_cast<int32_t>(value);
}

// The 4 x 4 transform's output rows of such a block, as the full passes give them: column 0 of
// the first pass, column 1 c1 * 4 in every row, the other columns 0.
[[gnu::always_inline]] inline void Low4(LowValues v, __m128i out[4])
{
    __m128i column = _mm_set1_epi32(Signed(v.c0 * 4u));
    if (v.c8 != 0) {
        const uint32_t a0 = v.c0 * 16384u + 2048u;
        const uint32_t p = v.c8 * 8697u;
        const uint32_t q = v.c8 * 20995u;
        column = _mm_srai_epi32(_mm_setr_epi32(Signed(a0 + q), Signed(a0 + p), Signed(a0 - p), Signed(a0 - q)), 12);
    }
    const uint32_t w1 = v.c1 * 4u;
    if (w1 == 0) {
        const __m128i flat = _mm_srai_epi32(_mm_add_epi32(column, _mm_set1_epi32(16)), 5);
        out[0] = _mm_shuffle_epi32(flat, 0x00);
        out[1] = _mm_shuffle_epi32(flat, 0x55);
        out[2] = _mm_shuffle_epi32(flat, 0xAA);
        out[3] = _mm_shuffle_epi32(flat, 0xFF);
        return;
    }
    const uint32_t p = w1 * 8697u;
    const uint32_t q = w1 * 20995u;
    const __m128i d =
        _mm_setr_epi32(Signed(q + 262144u), Signed(p + 262144u), Signed(262144u - p), Signed(262144u - q));
    const __m128i a = _mm_slli_epi32(column, 14);
    out[0] = _mm_srai_epi32(_mm_add_epi32(_mm_shuffle_epi32(a, 0x00), d), 19);
    out[1] = _mm_srai_epi32(_mm_add_epi32(_mm_shuffle_epi32(a, 0x55), d), 19);
    out[2] = _mm_srai_epi32(_mm_add_epi32(_mm_shuffle_epi32(a, 0xAA), d), 19);
    out[3] = _mm_srai_epi32(_mm_add_epi32(_mm_shuffle_epi32(a, 0xFF), d), 19);
}

// The 2 x 2 transform's rows of such a block, as Rows2Values gives them.
[[gnu::always_inline]] inline __m128i Low2(LowValues v)
{
    uint32_t top = v.c0 * 4u;
    uint32_t bottom = top;
    if (v.c8 != 0) {
        const uint32_t a = v.c0 * 32768u + 4096u;
        const uint32_t p = v.c8 * 29692u;
        top = static_cast<uint32_t>(Signed(a + p) >> 13);
        bottom = static_cast<uint32_t>(Signed(a - p) >> 13);
    }
    const __m128i column = _mm_setr_epi32(Signed(top), Signed(top), Signed(bottom), Signed(bottom));
    const uint32_t w1 = v.c1 * 4u;
    if (w1 == 0) {
        return _mm_srai_epi32(_mm_add_epi32(column, _mm_set1_epi32(16)), 5);
    }
    const uint32_t p = w1 * 29692u;
    const __m128i d =
        _mm_setr_epi32(Signed(p + 524288u), Signed(524288u - p), Signed(p + 524288u), Signed(524288u - p));
    return _mm_srai_epi32(_mm_add_epi32(_mm_slli_epi32(column, 15), d), 20);
}
