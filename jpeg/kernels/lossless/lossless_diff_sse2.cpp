#include <emmintrin.h>

#include <cstring>

#include "lossless/lossless_diff.h"

namespace {

// An odd output address never aligns: such rows go through byte-copy stores all the way.
inline void store(uint16_t* d, uint32_t v)
{
    const uint16_t w = static_cast<uint16_t>(v);
    std::memcpy(d, &w, sizeof w);
}

// Sample minus left neighbour from x on: a scalar head until the output is 16-byte aligned, then
// 16 differences a pass with aligned stores, then the scalar tail.
void diff_left(const uint16_t* s, uint16_t* d, int32_t x, int32_t width)
{
    for (; x < width && (reinterpret_cast<uintptr_t>(d + x) & 15) != 0; ++x)
        store(d + x, s[x] - s[x - 1]);
    for (; x + 16 <= width; x += 16) {
        const __m128i a0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x));
        const __m128i a1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x + 8));
        const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x - 1));
        const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + x + 7));
        _mm_store_si128(reinterpret_cast<__m128i*>(d + x), _mm_sub_epi16(a0, b0));
        _mm_store_si128(reinterpret_cast<__m128i*>(d + x + 8), _mm_sub_epi16(a1, b1));
    }
    for (; x < width; ++x)
        store(d + x, s[x] - s[x - 1]);
}

}   // namespace

void DiffFirstRowKernel(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                        int32_t point_transform)
{
    store(diffs, samples[0] - (1u << ((precision - point_transform - 1) & 31)));
    diff_left(samples, diffs, 1, width);
}

void DiffRowPred1Kernel(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width)
{
    store(diffs, samples[0] - above[0]);
    diff_left(samples, diffs, 1, width);
}
