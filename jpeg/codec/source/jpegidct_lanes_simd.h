#pragma once

// 32-bit lane operations on four lanes (SSE2), the names the shared transform passes use, and a
// 4 x 4 transpose; included inside an unnamed namespace.

[[gnu::always_inline]] inline __m128i Add(__m128i a, __m128i b)
{
    return _mm_add_epi32(a, b);
}

[[gnu::always_inline]] inline __m128i Sub(__m128i a, __m128i b)
{
    return _mm_sub_epi32(a, b);
}

[[gnu::always_inline]] inline __m128i Or(__m128i a, __m128i b)
{
    return _mm_or_si128(a, b);
}

[[gnu::always_inline]] inline __m128i Shl(__m128i a, int32_t count)
{
    return _mm_slli_epi32(a, count);
}

[[gnu::always_inline]] inline __m128i Sra(__m128i a, int32_t count)
{
    return _mm_srai_epi32(a, count);
}

// All ones in the lanes that are zero.
[[gnu::always_inline]] inline __m128i Flat(__m128i a)
{
    return _mm_cmpeq_epi32(a, _mm_setzero_si128());
}

[[gnu::always_inline]] inline __m128i Splat(__m128i, int32_t value)
{
    return _mm_set1_epi32(value);
}

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
