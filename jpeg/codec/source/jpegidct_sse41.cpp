// SSE4.1 bodies of the full-size AAN transforms: the SSE2 ones with a single-instruction
// 32-bit product; only this file is compiled for SSE4.1.

#include "jpeg/jpegdecode.h"

#if defined(__x86_64__) || defined(__i386__)
#include <smmintrin.h>

namespace {

[[gnu::always_inline]] inline __m128i MulLow(__m128i a, __m128i b)
{
    return _mm_mullo_epi32(a, b);
}

#include "jpegidct_aan_simd.h"

}  // namespace

void jpeg_idct_8x8_fast_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Aan8x8(entry->coefficients, nullptr);
}

void jpeg_idct_8x8_dequant_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    Aan8x8(entry->coefficients, decoder->multipliers[component].values);
}
#endif
