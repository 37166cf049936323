// AVX2 bodies: the full-size AAN transforms, one row per vector, and the 4 x 4 and 2 x 2
// transforms from the direct path's 16-bit values, the column pass on all eight columns at once
// and the row pass as in the SSE4.1 bodies. Products wrap and truncate as in the plain bodies, so
// the results are identical; only this file is compiled for AVX2.

#include "jpeg/jpegdecode.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace {

using Wide = __m256i;

[[gnu::always_inline]] inline Wide Add(Wide a, Wide b)
{
    return _mm256_add_epi32(a, b);
}

[[gnu::always_inline]] inline Wide Sub(Wide a, Wide b)
{
    return _mm256_sub_epi32(a, b);
}

[[gnu::always_inline]] inline Wide Mul(Wide a, int32_t constant)
{
    return _mm256_mullo_epi32(a, _mm256_set1_epi32(constant));
}

[[gnu::always_inline]] inline Wide Or(Wide a, Wide b)
{
    return _mm256_or_si256(a, b);
}

[[gnu::always_inline]] inline Wide Shl(Wide a, int32_t count)
{
    return _mm256_slli_epi32(a, count);
}

[[gnu::always_inline]] inline Wide Sra(Wide a, int32_t count)
{
    return _mm256_srai_epi32(a, count);
}

[[gnu::always_inline]] inline Wide Flat(Wide a)
{
    return _mm256_cmpeq_epi32(a, _mm256_setzero_si256());
}

[[gnu::always_inline]] inline Wide Blend(Wide a, Wide b, Wide mask)
{
    return _mm256_blendv_epi8(a, b, mask);
}

[[gnu::always_inline]] inline Wide Splat(Wide, int32_t value)
{
    return _mm256_set1_epi32(value);
}

#include "jpegidct_reduced_simd.h"

}   // namespace

namespace {

// The rows in `rows` (a bit each) times their multipliers, wrapping; the others zero.
[[gnu::always_inline]] inline void LoadWords(const int16_t* words, const int32_t* multiplier, Wide* out, uint32_t rows)
{
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        out[k] = (rows >> k & 1) == 0
                     ? _mm256_setzero_si256()
                     : _mm256_mullo_epi32(
                           _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(words + 8 * k))),
                           _mm256_loadu_si256(reinterpret_cast<const Wide*>(multiplier + 8 * k)));
    }
}

[[gnu::always_inline]] inline Wide Aan(Wide value, int32_t constant)
{
    return Sra(Mul(value, constant), 8);
}

#include "jpegidct_aan_pass.h"

[[gnu::always_inline]] inline void Transpose8(Wide* r)
{
    Wide t[8];
    Wide u[8];
#pragma GCC unroll 4
    for (int32_t k = 0; k < 4; ++k) {
        t[2 * k] = _mm256_unpacklo_epi32(r[2 * k], r[2 * k + 1]);
        t[2 * k + 1] = _mm256_unpackhi_epi32(r[2 * k], r[2 * k + 1]);
    }
#pragma GCC unroll 2
    for (int32_t k = 0; k < 2; ++k) {
        u[4 * k] = _mm256_unpacklo_epi64(t[4 * k], t[4 * k + 2]);
        u[4 * k + 1] = _mm256_unpackhi_epi64(t[4 * k], t[4 * k + 2]);
        u[4 * k + 2] = _mm256_unpacklo_epi64(t[4 * k + 1], t[4 * k + 3]);
        u[4 * k + 3] = _mm256_unpackhi_epi64(t[4 * k + 1], t[4 * k + 3]);
    }
#pragma GCC unroll 4
    for (int32_t k = 0; k < 4; ++k) {
        r[k] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x20);
        r[k + 4] = _mm256_permute2x128_si256(u[k], u[k + 4], 0x31);
    }
}

[[gnu::always_inline]] inline void Aan8x8(Wide* rows, int32_t* block)
{
    Pass(rows);
    Transpose8(rows);
    Pass(rows);
    Transpose8(rows);
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        _mm256_storeu_si256(reinterpret_cast<Wide*>(block + 8 * k), Sra(rows[k], 13));
    }
}

}   // namespace

void jpeg_idct_8x8_fast_avx2(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Wide rows[8];
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        rows[k] = _mm256_loadu_si256(reinterpret_cast<const Wide*>(entry->coefficients + 8 * k));
    }
    Aan8x8(rows, entry->coefficients);
}

void jpeg_idct_8x8_dequant_avx2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    const int32_t* multiplier = decoder->multipliers[component].values;
    Wide rows[8];
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        rows[k] = _mm256_mullo_epi32(_mm256_loadu_si256(reinterpret_cast<const Wide*>(entry->coefficients + 8 * k)),
                                     _mm256_loadu_si256(reinterpret_cast<const Wide*>(multiplier + 8 * k)));
    }
    Aan8x8(rows, entry->coefficients);
}

void jpeg_idct_8x8_words_avx2(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    Wide rows[8];
    LoadWords(words, multiplier, rows, 0xFF);
    Aan8x8(rows, out);
}

namespace {

// The 4 x 4 transform's output rows 0..3 from the 16-bit values.
[[gnu::always_inline]] inline void Idct4x4Words(const int16_t* words, const int32_t* multiplier, __m128i out[4])
{
    Wide rows[8];
    LoadWords(words, multiplier, rows, 0xEF);
    Wide columns[4];
    Columns4(rows, columns);
    __m128i low[4];
    __m128i high[4];
#pragma GCC unroll 8
    for (int32_t k = 0; k < 4; ++k) {
        low[k] = _mm256_castsi256_si128(columns[k]);
        high[k] = _mm256_extracti128_si256(columns[k], 1);
    }
    Rows4Values(low, high, out);
}

// The 2 x 2 transform's rows from the 16-bit values, as Rows2Values gives them.
[[gnu::always_inline]] inline __m128i Idct2x2Words(const int16_t* words, const int32_t* multiplier)
{
    Wide rows[8];
    LoadWords(words, multiplier, rows, 0xAB);
    Wide w0;
    Wide w1;
    Columns2(rows, w0, w1);
    const __m128i first[2] = {_mm256_castsi256_si128(w0), _mm256_extracti128_si256(w0, 1)};
    const __m128i second[2] = {_mm256_castsi256_si128(w1), _mm256_extracti128_si256(w1, 1)};
    return Rows2Values(first, second);
}

}   // namespace

void jpeg_idct_4x4_words_avx2(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    __m128i rows[4];
    Idct4x4Words(words, multiplier, rows);
    StoreValues4(rows, out);
}

void jpeg_idct_2x2_words_avx2(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    StoreValues2(Idct2x2Words(words, multiplier), out);
}

void jpeg_idct_4x4_words_store_avx2(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    __m128i rows[4];
    Idct4x4Words(words, multiplier, rows);
    StoreSamples4(rows, samples, stride);
}

void jpeg_idct_2x2_words_store_avx2(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    StoreSamples2(Idct2x2Words(words, multiplier), samples, stride);
}
#endif
