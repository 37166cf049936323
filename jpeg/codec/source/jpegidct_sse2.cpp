// SSE2 bodies of the full-size AAN transforms, beside the plain ones in jpegidct.cpp; only this
// file is compiled for SSE2. Four columns (then four rows) per vector, with the same wrapping
// products and truncations as the plain body, so the results are identical.

#include "jpeg/jpegdecode.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>

namespace {

// The low 32 bits of each lane's product (signed or not, they are the same bits).
[[gnu::always_inline]] inline __m128i MulLow(__m128i a, __m128i b)
{
    const __m128i even = _mm_mul_epu32(a, b);
    const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                              _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
}

#include "jpegidct_aan_simd.h"

}   // namespace

void jpeg_idct_8x8_fast_sse2(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Aan8x8(entry->coefficients, nullptr);
}

void jpeg_idct_8x8_dequant_sse2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    Aan8x8(entry->coefficients, decoder->multipliers[component].values);
}
#endif
