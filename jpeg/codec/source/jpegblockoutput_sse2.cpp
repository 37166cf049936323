// SSE2 bodies of the block stores, beside the plain ones in jpegblockoutput.cpp; only this file
// is compiled for SSE2.

#include "jpeg/jpegdecode.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>

void jpeg_store_block8_sse2(const int32_t* values, uint8_t* out, int32_t stride)
{
    // Saturating packs and one compare give the table's mapping for every 32-bit value:
    // -128..127 -> 0..255, below -> 0, 128..639 -> 255, from 640 on -> 0.
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i last = _mm_set1_epi16(639);
    for (int32_t y = 0; y < 8; ++y) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 8 * y));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 8 * y + 4));
        const __m128i words = _mm_packs_epi32(low, high);
        const __m128i beyond = _mm_cmpgt_epi16(words, last);
        const __m128i samples = _mm_packus_epi16(_mm_adds_epi16(words, bias), _mm_setzero_si128());
        const __m128i result = _mm_andnot_si128(_mm_packs_epi16(beyond, _mm_setzero_si128()), samples);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<ptrdiff_t>(y) * stride), result);
    }
}
void jpeg_store_block8_words_sse2(const int16_t* values, uint8_t* out, int32_t stride)
{
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i last = _mm_set1_epi16(639);
    for (int32_t y = 0; y < 8; y += 2) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 8 * y));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 8 * y + 8));
        const __m128i samples = _mm_packus_epi16(_mm_adds_epi16(first, bias), _mm_adds_epi16(second, bias));
        const __m128i beyond = _mm_packs_epi16(_mm_cmpgt_epi16(first, last), _mm_cmpgt_epi16(second, last));
        const __m128i result = _mm_andnot_si128(beyond, samples);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<ptrdiff_t>(y) * stride), result);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + static_cast<ptrdiff_t>(y + 1) * stride),
                         _mm_unpackhi_epi64(result, result));
    }
}

void jpeg_store_block_small_sse2(const int32_t* values, uint8_t* out, int32_t stride, int32_t n)
{
    // As the full-size store, on the first n (2 or 4) values of each of n rows, all rows in one
    // vector: a row at a time was a chain of packs per row for two or four bytes.
    const __m128i bias = _mm_set1_epi16(128);
    const __m128i last = _mm_set1_epi16(639);
    const auto row = [values](int32_t y) { return reinterpret_cast<const __m128i*>(values + 8 * y); };
    if (n == 4) {
        const __m128i top = _mm_packs_epi32(_mm_loadu_si128(row(0)), _mm_loadu_si128(row(1)));
        const __m128i bottom = _mm_packs_epi32(_mm_loadu_si128(row(2)), _mm_loadu_si128(row(3)));
        const __m128i beyond = _mm_packs_epi16(_mm_cmpgt_epi16(top, last), _mm_cmpgt_epi16(bottom, last));
        const __m128i samples = _mm_packus_epi16(_mm_adds_epi16(top, bias), _mm_adds_epi16(bottom, bias));
        __m128i result = _mm_andnot_si128(beyond, samples);
        for (int32_t y = 0; y < 4; ++y) {
            const auto four = static_cast<uint32_t>(_mm_cvtsi128_si32(result));
            std::memcpy(out + static_cast<ptrdiff_t>(y) * stride, &four, 4);
            result = _mm_srli_si128(result, 4);
        }
        return;
    }
    // Two values are loaded as 8 bytes: a wider load of what a transform has just stored in 8
    // bytes would wait for the store to retire.
    const __m128i both = _mm_unpacklo_epi64(_mm_loadl_epi64(row(0)), _mm_loadl_epi64(row(1)));
    const __m128i words = _mm_packs_epi32(both, _mm_setzero_si128());
    const __m128i beyond = _mm_cmpgt_epi16(words, last);
    const __m128i samples = _mm_packus_epi16(_mm_adds_epi16(words, bias), _mm_setzero_si128());
    const __m128i result = _mm_andnot_si128(_mm_packs_epi16(beyond, _mm_setzero_si128()), samples);
    const auto four = static_cast<uint32_t>(_mm_cvtsi128_si32(result));
    const auto first = static_cast<uint16_t>(four);
    const auto second = static_cast<uint16_t>(four >> 16);
    std::memcpy(out, &first, 2);
    std::memcpy(out + stride, &second, 2);
}
#endif
