#pragma once
// The lowest and highest sample of a run of samples of one type, from the kernel set in use (see
// vek_convertlines.h): one pass that the wide set makes at 32 bytes an instruction. All sets give
// the same answer.

#include <cstddef>
#include <cstdint>

#include "vek_convertlines.h"

enum class VEK_RangeSample : uint8_t { u8, s8, u16, s16, u32, s32, f32 };

// Widens [lo, hi] to take in the n samples at data; n 0 leaves both alone. Floats compare as
// `sample < lo`, so a NaN is passed over unless it is the first sample.
void vek_sample_range(VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi);
void vek_sample_range(VEK_KernelSet set, VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi);
