#pragma once
// The lowest and highest sample of a run of samples of one type, from the kernel set in use (see
// vek_convertlines.h): one pass that the wide set makes at 32 bytes an instruction. All sets give
// the same answer.

#include <cstddef>
#include <cstdint>

#include "vek_convertlines.h"

enum class VEK_RangeSample : uint8_t { u8, s8, u16, s16, u32, s32, f32 };
// The ends a pass looks for: one end alone costs about half of both.
enum class VEK_RangeEnds : uint8_t { both, lowest, highest };

// Widens [lo, hi] to take in the n samples at data, at the ends asked for; the other is left
// alone, as are both for n 0. Floats compare as `sample < lo`, so a NaN is passed over unless it
// is the first sample.
void vek_sample_range(VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi,
                      VEK_RangeEnds ends = VEK_RangeEnds::both);
void vek_sample_range(VEK_KernelSet set, VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi,
                      VEK_RangeEnds ends = VEK_RangeEnds::both);
