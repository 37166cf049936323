#pragma once

// Four vectors of four 32-bit lanes transposed in place; included inside an unnamed namespace.

[[gnu::always_inline]] inline void Transpose4(__m128i& a, __m128i& b, __m128i& c, __m128i& d)
{
    const __m128i ab0 = _mm_unpacklo_epi32(a, b);
    const __m128i ab1 = _mm_unpackhi_epi32(a, b);
    const __m128i cd0 = _mm_unpacklo_epi32(c, d);
    const __m128i cd1 = _mm_unpackhi_epi32(c, d);
    a = _mm_unpacklo_epi64(ab0, cd0);
    b = _mm_unpackhi_epi64(ab0, cd0);
    c = _mm_unpacklo_epi64(ab1, cd1);
    d = _mm_unpackhi_epi64(ab1, cd1);
}
