#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Forward 8x8 DCT (T.81 A.3.3 normalisation, natural order) followed by quantisation by
// reciprocals. Blocks are 64 signed 16-bit values, row-major; the transform works in place.
// Levels 1 to 5 give identical coefficients: exact to their fixed-point steps for samples in
// -256..255 (beyond that their 16-bit sums saturate and a 32-bit sum wraps). Level 0 is another
// factorisation, exact for -255..255. Every level stays within 1 of the true transform for 8-bit
// samples, level-shifted or not.

// Table 6 entries: the level's transform in place, then QuantMulShift16(table, block, block, 64,
// 15). -8 when either pointer is null.
kernel_status ForwardDctQuant8x8(int16_t* block, const uint16_t* table);

// Level-0 transform in place; -8 for a null block.
kernel_status ForwardDct8x8(int16_t* block);
// Level-0 body; dst may be src.
void ForwardDct8x8Generic(const int16_t* src, int16_t* dst);

// dst[i] = src[i] * table[i] / 2^shift, rounded to nearest with ties to even and saturated to
// 16 bits. Any alignment (odd byte addresses too); src may be dst.
// Level 0 checks (-8 for a null pointer, -6 for a count below 1) and defines every shift: 0 the
// saturated product, 32 or more zeros, -14..-1 the saturated product shifted left and saturated
// again, below -14 zero for a zero product and the saturated sign otherwise.
kernel_status QuantMulShift16(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t count, int32_t shift);
// Count 16-bit values set to zero: -8 null, -6 count below 1. Level 0 here; levels 1 to 5 with the
// quantisation tables.
template <int Level>
kernel_status ZeroFill16(void* dst, int32_t count);
template <>
kernel_status ZeroFill16<0>(void* dst, int32_t count);

// Elements first..count-1 of QuantMulShift16 one at a time, by byte copies (any address).
void quant_mul_shift_scalar(const uint16_t* table, const int16_t* src, int16_t* dst, int64_t first, int32_t count,
                            int32_t shift);

// ZeroFill16's checks, then 2 * count bytes through fill in pieces it can take (2 * count may pass
// 2^31).
kernel_status zero_fill16_in_pieces(void* dst, int32_t count, void* (*fill)(void*, int32_t));

#if defined(__x86_64__) || defined(__i386__)
template <int Level>
kernel_status ForwardDctQuant8x8Simd(int16_t* block, const uint16_t* table);

// Unchecked kernels of levels 1 to 5: any alignment, src may equal dst. The 64-bit-vector level-1
// forms run the 128-bit bodies (x86-64 always has SSE2); their values are the same.
void ForwardDct8x8Sse2(const int16_t* src, int16_t* dst);
void ForwardDct8x8Mmx(const int16_t* src, int16_t* dst);
// Levels 1 to 5: a count below 1 writes nothing.
template <int Level>
void QuantMulShift16Simd(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t count, int32_t shift);
#endif
