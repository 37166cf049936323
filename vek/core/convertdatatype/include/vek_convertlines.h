#pragma once
// The per-line bodies of the general conversion and the one place that picks which set of
// them runs. Every body exists as plain C++; on x86-64 a second set is compiled for AVX2.
// The set is chosen once, at first use, from the processor's features;
// PlatForcePlainKernels() (KV_PLAIN_KERNELS=1) forces the plain set. All sets give the same
// bytes for the same input.

#include <cstdint>

// One line of n samples of one form: 0 adds the intercept only, 1 applies the slope only, 2
// both. high and low are the output type's bounds.
using VEK_ConvertLine = void (*)(const void* in, void* out, uint32_t n, double slope, double intercept, double high,
                                 double low);

enum VEK_KernelSet : uint8_t { VEK_KERNELS_PLAIN = 0, VEK_KERNELS_AVX2 = 1 };

// The set in use: the same answer for the life of the process.
VEK_KernelSet vek_kernel_set();
// Whether this processor can run the set (the plain set always).
bool vek_kernel_set_available(VEK_KernelSet set);
// The three forms for a source and an output sample index (see vek_sample_index), from the set
// in use, or from the given set (which must be available).
const VEK_ConvertLine* vek_convert_lines(uint32_t source, uint32_t target);
const VEK_ConvertLine* vek_convert_lines(VEK_KernelSet set, uint32_t source, uint32_t target);
