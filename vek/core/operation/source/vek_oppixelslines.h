#pragma once
// The per-line bodies of the pixel operators: plain C++, and on x86-64 the same compiled for
// AVX2, chosen with the conversion lines' kernel set (the same bytes from either).

#include <cstdint>

#include "vek_convertlines.h"

// d[i] = op(d[i], p[i]) for n samples; neither pointer need be aligned for the sample type.
using VEK_OpPixelsLine = void (*)(void* d, const void* p, uint32_t n);
template <class OPBin, class T>
VEK_OpPixelsLine vek_oppixels_line(VEK_KernelSet set = vek_kernel_set());

// 1-bit AND of whole bytes: d[i] &= b[i] for n bytes.
using VEK_OpBytesLine = void (*)(uint8_t* d, const uint8_t* b, uint32_t n);
VEK_OpBytesLine vek_oppixels_and_bytes(VEK_KernelSet set = vek_kernel_set());
// The same with b shifted right by s bits (1 to 7): d[i] &= (b[i] << (8 - s)) | (b[i + 1] >> s).
using VEK_OpShiftedLine = void (*)(uint8_t* d, const uint8_t* b, uint32_t n, uint32_t s);
VEK_OpShiftedLine vek_oppixels_and_shifted(VEK_KernelSet set = vek_kernel_set());
