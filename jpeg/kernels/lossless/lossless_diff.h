#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Lossless differences from rows of samples, the inverse of lossless_reconstruct.h: each
// difference is sample minus prediction modulo 2^16 with the same predictions. The output must
// not overlap the samples.

// First row: diffs[0] = samples[0] - 2^((P - Pt - 1) mod 32), then sample minus left neighbour.
// -8 null, -6 width below 1, -5 P outside 2..16 or Pt below 0. Levels 0 and 1.
kernel_status DiffLosslessFirstRow(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                                   int32_t point_transform);

// Later rows with predictor 1 to 7; diffs[0] = samples[0] - above[0]. -8 null, -6 width below 1,
// -5 predictor outside 1..7. Levels 0 and 1.
kernel_status DiffLosslessRow(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width,
                              int32_t predictor);

// Levels 2 to 5: the same checks and results.
template <int Level>
kernel_status DiffLosslessFirstRowSimd(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                                       int32_t point_transform);
template <int Level>
kernel_status DiffLosslessRowSimd(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width,
                                  int32_t predictor);

// Unchecked SIMD bodies of levels 2 to 5.
void DiffFirstRowKernel(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                        int32_t point_transform);
void DiffRowPred1Kernel(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width);
