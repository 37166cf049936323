#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Dequantisation with the 8x8 inverse DCT. Blocks and tables are 64 16-bit values in natural
// (row-major) order; the output is centred on zero, neither level-shifted nor clamped. The
// output may be the coefficient block itself.

// Level 0: products saturate to 16 bits, then the generic transform. -8 for a null pointer.
kernel_status DequantIdct8x8(const int16_t* src, int16_t* dst, const uint16_t* table);

// Levels 1 to 5: products keep their low 16 bits, then the SIMD transform (identical results at
// every level, not bit-identical with level 0). -8 for a null pointer.
template <int Level>
kernel_status DequantIdct8x8Simd(const int16_t* src, int16_t* dst, const uint16_t* table);

// dst[i] = src[i] * table[i] clamped to -32768 .. 32767. -8 for a null pointer (tested first),
// -6 for a count below 1; nothing is written then.
kernel_status DequantSaturate(const int16_t* src, const int16_t* table, int16_t* dst, int32_t count);

// The generic two-pass fixed-point inverse transform, in place. -8 for a null block.
kernel_status IdctBlockGeneric(int16_t* block);

#if defined(__x86_64__) || defined(__i386__)
// Unchecked SIMD kernels of levels 1 to 5; any alignment, src may equal dst.
void DequantBlockSimd(const int16_t* src, int16_t* dst, const uint16_t* table);
void IdctBlockSse2(const int16_t* src, int16_t* dst);
void IdctBlockMmx(const int16_t* src, int16_t* dst);
// Level 5's body on processors with AVX2 (the caller checks): the same results, two rows a step;
// q is the table.
void DequantIdctAvx2(const int16_t* src, int16_t* dst, const int16_t* q);
#endif
