// SSSE3 body of the three-component row interleave, beside the plain one in
// jpeglinebuffers.cpp; only this file is compiled for SSSE3.

#include "jpeg/jpegdecode.h"

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>

namespace {

// Byte j of output group g takes byte kFrom[g][j] of the plane j % 3 names (counted from the
// group's first byte), or nothing (-1) from the other two.
constexpr int8_t Pick(int group, int j, int plane)
{
    const int at = 16 * group + j;
    return at % 3 == plane ? static_cast<int8_t>(at / 3) : static_cast<int8_t>(-1);
}

template <int Group, int Plane>
__m128i Mask()
{
    return _mm_setr_epi8(Pick(Group, 0, Plane), Pick(Group, 1, Plane), Pick(Group, 2, Plane), Pick(Group, 3, Plane),
                         Pick(Group, 4, Plane), Pick(Group, 5, Plane), Pick(Group, 6, Plane), Pick(Group, 7, Plane),
                         Pick(Group, 8, Plane), Pick(Group, 9, Plane), Pick(Group, 10, Plane), Pick(Group, 11, Plane),
                         Pick(Group, 12, Plane), Pick(Group, 13, Plane), Pick(Group, 14, Plane),
                         Pick(Group, 15, Plane));
}

template <int Group>
__m128i Group3(__m128i a, __m128i b, __m128i c)
{
    return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, Mask<Group, 0>()), _mm_shuffle_epi8(b, Mask<Group, 1>())),
                        _mm_shuffle_epi8(c, Mask<Group, 2>()));
}

}   // namespace

uint32_t jpeg_interleave3_ssse3(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* line, uint32_t width)
{
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i pa = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
        const __m128i pb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
        const __m128i pc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + x));
        auto* out = reinterpret_cast<__m128i*>(line + 3 * x);
        _mm_storeu_si128(out, Group3<0>(pa, pb, pc));
        _mm_storeu_si128(out + 1, Group3<1>(pa, pb, pc));
        _mm_storeu_si128(out + 2, Group3<2>(pa, pb, pc));
    }
    return x;
}
#endif
