#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Pixel rows into level-shifted 8x8 blocks for the encoder. src points at the first byte of 8
// (4:4:4, 4:2:2) or 16 (4:2:0) rows of 3-byte pixels, srcStep bytes apart; blocks is an array of
// three block pointers. 4:2:2 puts two blocks of the first component in one run of 128 values,
// 4:2:0 four in one run of 256 (left before right, top before bottom). Only the first 24 or 48
// bytes of each row are read.
//
// Every entry checks: src null -8, blocks null -8, srcStep below 1 -14, a block pointer null -8.
//
// RGB to YCbCr: level 0 uses 16-bit fractions and truncates; levels 1 to 5 use 14-bit weights and
// round half up, so their values equal level 0's or exceed them by one. At levels 2, 4 and 5 the
// 4:2:0 conversion keeps the level-0 formula when the Y run is not 16-byte aligned.
// Interleaved: no colour transform, chroma averages round down; every level gives the same values.

kernel_status RgbToYCbCrMcu444(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status RgbToYCbCrMcu422(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status RgbToYCbCrMcu420(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status InterleavedToMcu444(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status InterleavedToMcu422(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status InterleavedToMcu420(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);

// The level-0 4:2:0 formula without checks; the SSE2 levels fall back on it.
void RgbToYCbCr420Truncating(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);

// Shared argument checks of every entry.
inline kernel_status check_block_args(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (src == nullptr || blocks == nullptr)
        return kernel_null_pointer;
    if (srcStep < 1)
        return kernel_step_below_one;
    if (blocks[0] == nullptr || blocks[1] == nullptr || blocks[2] == nullptr)
        return kernel_null_pointer;
    return kernel_ok;
}

#if defined(__x86_64__) || defined(__i386__)
// Entries of levels 1 to 5.
template <int Level>
kernel_status RgbToYCbCrMcu444Simd(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
template <int Level>
kernel_status RgbToYCbCrMcu422Simd(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
template <int Level>
kernel_status RgbToYCbCrMcu420Simd(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
template <int Level>
kernel_status InterleavedToMcu444Simd(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
template <int Level>
kernel_status InterleavedToMcu422Simd(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
template <int Level>
kernel_status InterleavedToMcu420Simd(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);

// Unchecked kernels. x86-64 always has SSE2, so the 64-bit-vector kernels of levels 1 and 3 run
// the 128-bit bodies; their values are the same by construction.
void RgbToYCbCrMcu444Sse2(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);
void RgbToYCbCrMcu444Mmx(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);
void RgbToYCbCrMcu422Sse2(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);
void RgbToYCbCrMcu422Mmx(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);
void RgbToYCbCrMcu420Sse2(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);
void RgbToYCbCrMcu420Mmx(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr);
void InterleavedToMcu444Mmx(const uint8_t* src, int32_t srcStep, int16_t* b0, int16_t* b1, int16_t* b2);
void InterleavedToMcu422Mmx(const uint8_t* src, int32_t srcStep, int16_t* b0, int16_t* b1, int16_t* b2);
void InterleavedToMcu420Mmx(const uint8_t* src, int32_t srcStep, int16_t* b0, int16_t* b1, int16_t* b2);
void InterleavedToMcu420Sse2(const uint8_t* src, int32_t srcStep, int16_t* b0, int16_t* b1, int16_t* b2);
#endif
