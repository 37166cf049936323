#include <pmmintrin.h>

#include "memory/copy_fill.h"
#include "memory/copy_simd_body.h"

// Level 3: streams from 512 KiB; aligned copies below 512 bytes run backward; an unaligned
// source is read with the SSE3 unaligned load.
template <>
void* CopyBytes<3>(const void* src, void* dst, int32_t count)
{
    static constexpr CopyLevel level{512u << 10, 512, true};
    return copy_simd(level, src, dst, count, [](const uint8_t* s, uint8_t* d, uint32_t n) {
        for (; n >= 64; n -= 64, s += 64, d += 64)
            for (int i = 0; i < 64; i += 16)
                store16a(d + i, _mm_lddqu_si128(reinterpret_cast<const __m128i*>(s + i)));
        short_copy(s, d, n);
    });
}
