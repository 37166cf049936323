// SSE4.1 bodies of the full-size AAN transforms: the SSE2 ones with a single-instruction
// 32-bit product; only this file is compiled for SSE4.1.

#include "jpeg/jpegdecode.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <smmintrin.h>

namespace {

[[gnu::always_inline]] inline __m128i MulLow(__m128i a, __m128i b)
{
    return _mm_mullo_epi32(a, b);
}

#include "jpegidct_aan_simd.h"

}   // namespace

void jpeg_idct_8x8_fast_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Aan8x8(entry->coefficients, nullptr);
}

void jpeg_idct_8x8_dequant_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    Aan8x8(entry->coefficients, decoder->multipliers[component].values);
}
#endif

#if defined(__x86_64__) || defined(__i386__)
namespace {

using Vector = __m128i;

#include "jpegidct_reduced_simd.h"

// The 4 x 4 transform of eight rows, each as columns 0..3 and 4..7, into output rows 0..3.
[[gnu::always_inline]] inline void Idct4x4Values(const Vector* left, const Vector* right, Vector out[4])
{
    Vector low[4];
    Vector high[4];
    Columns4(left, low);
    Columns4(right, high);
    Rows4Values(low, high, out);
}

// The 4 x 4 transform into the block's top left.
[[gnu::always_inline]] inline void Idct4x4(const Vector* left, const Vector* right, int32_t* block)
{
    Vector out[4];
    Idct4x4Values(left, right, out);
    StoreValues4(out, block);
}

// The 2 x 2 transform of eight rows, each as columns 0..3 and 4..7, as Rows2Values gives it.
[[gnu::always_inline]] inline Vector Idct2x2Values(const Vector* left, const Vector* right)
{
    Vector w0[2];
    Vector w1[2];
    Columns2(left, w0[0], w1[0]);
    Columns2(right, w0[1], w1[1]);
    return Rows2Values(w0, w1);
}

// The 2 x 2 transform into the block's top left.
[[gnu::always_inline]] inline void Idct2x2(const Vector* left, const Vector* right, int32_t* block)
{
    StoreValues2(Idct2x2Values(left, right), block);
}

void LoadBlock(const int32_t* block, Vector* left, Vector* right)
{
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        left[k] = _mm_loadu_si128(reinterpret_cast<const Vector*>(block + 8 * k));
        right[k] = _mm_loadu_si128(reinterpret_cast<const Vector*>(block + 8 * k + 4));
    }
}

// 16-bit values times their multipliers, wrapping to 32 bits; only the rows in `rows` (a bit
// each), the transform reading no others.
[[gnu::always_inline]] inline void LoadWords(const int16_t* words, const int32_t* multiplier, Vector* left,
                                             Vector* right, uint32_t rows)
{
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        if ((rows >> k & 1) == 0) {
            left[k] = _mm_setzero_si128();
            right[k] = _mm_setzero_si128();
            continue;
        }
        const Vector w = _mm_loadu_si128(reinterpret_cast<const Vector*>(words + 8 * k));
        left[k] = _mm_mullo_epi32(_mm_cvtepi16_epi32(w),
                                  _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k)));
        right[k] = _mm_mullo_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(w, 8)),
                                   _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k + 4)));
    }
}

}   // namespace

void jpeg_idct_4x4_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Vector left[8];
    Vector right[8];
    LoadBlock(entry->coefficients, left, right);
    Idct4x4(left, right, entry->coefficients);
}

void jpeg_idct_2x2_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Vector left[8];
    Vector right[8];
    LoadBlock(entry->coefficients, left, right);
    Idct2x2(left, right, entry->coefficients);
}

void jpeg_idct_4x4_words_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    Vector left[8];
    Vector right[8];
    LoadWords(words, multiplier, left, right, 0xEF);
    Idct4x4(left, right, out);
}

void jpeg_idct_2x2_words_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    Vector left[8];
    Vector right[8];
    LoadWords(words, multiplier, left, right, 0xAB);
    Idct2x2(left, right, out);
}

void jpeg_idct_4x4_words_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    Vector left[8];
    Vector right[8];
    LoadWords(words, multiplier, left, right, 0xEF);
    Vector out[4];
    Idct4x4Values(left, right, out);
    StoreSamples4(out, samples, stride);
}

void jpeg_idct_2x2_words_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    Vector left[8];
    Vector right[8];
    LoadWords(words, multiplier, left, right, 0xAB);
    StoreSamples2(Idct2x2Values(left, right), samples, stride);
}

void jpeg_idct_4x4_low_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    Vector out[4];
    Low4(LowOf(words, multiplier), out);
    StoreSamples4(out, samples, stride);
}

void jpeg_idct_2x2_low_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    StoreSamples2(Low2(LowOf(words, multiplier)), samples, stride);
}

void jpeg_widen_block_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    // All loads first: out may overlay words.
    Vector w[8];
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        w[k] = _mm_loadu_si128(reinterpret_cast<const Vector*>(words + 8 * k));
    }
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        const Vector m0 = _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k));
        const Vector m1 = _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k + 4));
        _mm_storeu_si128(reinterpret_cast<Vector*>(out + 8 * k), _mm_mullo_epi32(_mm_cvtepi16_epi32(w[k]), m0));
        _mm_storeu_si128(reinterpret_cast<Vector*>(out + 8 * k + 4),
                         _mm_mullo_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(w[k], 8)), m1));
    }
}
#endif
