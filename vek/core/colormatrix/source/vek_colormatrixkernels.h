#pragma once
// The hot line of the paint road, YCbCr to RGB in Q12 on 8-bit pixels, with a plain body and
// an AVX2 body that give the same bits; the body is chosen once, at first use.

#include <cstdint>

// Three Q12 rows m (raw, row-major) and constants c over interleaved 8-bit triples, in 32-bit
// sums that the caller has shown cannot wrap; each sum rounds halves up and saturates to 0..255.
using VEK_ColorMatrixQ12U8Line = void (*)(const uint8_t* in, uint8_t* out, uint32_t width, const int32_t* m,
                                          const int32_t* c);

VEK_ColorMatrixQ12U8Line vek_colormatrix_q12_u8_line();
