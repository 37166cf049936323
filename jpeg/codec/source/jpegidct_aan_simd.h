#pragma once

// The full-size AAN transform on four 32-bit lanes, shared by the SSE2 and SSE4.1 bodies. The
// including file defines MulLow (the low 32 bits of each lane's product) for its instruction
// set, in an unnamed namespace, then includes this inside the same unnamed namespace. Products
// wrap and truncate as in the plain body, so the results are identical.

#include "jpegidct_lanes_simd.h"

[[gnu::always_inline]] inline __m128i Aan(__m128i value, int32_t constant)
{
    return _mm_srai_epi32(MulLow(value, _mm_set1_epi32(constant)), 8);
}

#include "jpegidct_aan_pass.h"

// left[k] holds columns 0..3 of row k, right[k] columns 4..7; afterwards left[j] holds rows
// 0..3 of column j and right[j] rows 4..7.
[[gnu::always_inline]] inline void Transpose8(__m128i* left, __m128i* right)
{
    Transpose4(left[0], left[1], left[2], left[3]);
    Transpose4(right[4], right[5], right[6], right[7]);
    Transpose4(left[4], left[5], left[6], left[7]);
    Transpose4(right[0], right[1], right[2], right[3]);
#pragma GCC unroll 8
    for (int32_t k = 0; k < 4; ++k) {
        const __m128i swap = left[4 + k];
        left[4 + k] = right[k];
        right[k] = swap;
    }
}

void Aan8x8(int32_t* block, const int32_t* multiplier)
{
    __m128i left[8];
    __m128i right[8];
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        left[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * k));
        right[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * k + 4));
        if (multiplier != nullptr) {
            left[k] = MulLow(left[k], _mm_loadu_si128(reinterpret_cast<const __m128i*>(multiplier + 8 * k)));
            right[k] = MulLow(right[k], _mm_loadu_si128(reinterpret_cast<const __m128i*>(multiplier + 8 * k + 4)));
        }
    }
    Pass(left);
    Pass(right);
    Transpose8(left, right);
    Pass(left);
    Pass(right);
    Transpose8(left, right);
#pragma GCC unroll 8
    for (int32_t k = 0; k < 8; ++k) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k), _mm_srai_epi32(left[k], 13));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(block + 8 * k + 4), _mm_srai_epi32(right[k], 13));
    }
}
