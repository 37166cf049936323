#include <emmintrin.h>

#include "lossless/lossless_reconstruct.h"

namespace {

// Running sums from x on, eight a pass: each pass adds its differences up in three shifted
// steps, then the last sum of the pass before. Only that last addition and the broadcast of the
// new last sum hang on the pass before. Every sum wraps modulo 2^16 as the scalar loop's do.
void running_sum(const uint16_t* diff, uint16_t* out, int32_t x, int32_t samples, uint16_t prev)
{
    __m128i carry = _mm_set1_epi16(static_cast<int16_t>(prev));
    for (; x + 8 <= samples; x += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(diff + x));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 2));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 4));
        v = _mm_add_epi16(v, _mm_slli_si128(v, 8));
        v = _mm_add_epi16(v, carry);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), v);
        const __m128i top = _mm_shufflehi_epi16(v, 0xFF);
        carry = _mm_unpackhi_epi64(top, top);
    }
    prev = static_cast<uint16_t>(_mm_cvtsi128_si32(carry));
    for (; x < samples; ++x)
        out[x] = prev = static_cast<uint16_t>(diff[x] + prev);
}

}   // namespace

void ReconstructFirstRowKernel(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                               int32_t point_transform)
{
    const auto first = static_cast<uint16_t>(diff[0] + (1u << ((precision - point_transform - 1) & 31)));
    out[0] = first;
    running_sum(diff, out, 1, samples, first);
}

void ReconstructRowPred1Kernel(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples)
{
    const auto first = static_cast<uint16_t>(diff[0] + above[0]);
    out[0] = first;
    running_sum(diff, out, 1, samples, first);
}
