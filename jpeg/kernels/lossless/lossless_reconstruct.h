#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Lossless rows from their differences. Samples and differences are unsigned 16-bit and every
// sum wraps modulo 2^16; the point transform is not undone here. Each difference and the row
// above at x are read before output x is written, so the output may be the difference row.

// First row: output[0] = diff[0] + 2^((P - Pt - 1) mod 32) kept to 16 bits, then a running sum.
// -8 null, -6 samples below 1, -5 P outside 2..16 or Pt below 0. Levels 0 and 1.
kernel_status ReconstructLosslessFirstRow(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                          int32_t point_transform);

// Later rows with predictor 1 to 7 (Ra left, Rb above, Rc above left); output[0] = diff[0] +
// above[0]. Predictors 5 to 7 halve in 32 bits on the unsigned samples, as T.81 does, so 16-bit
// samples past 32767 predict right. -8 null, -6 samples below 1, -5 predictor outside 1..7.
// Levels 0 and 1.
kernel_status ReconstructLosslessRow(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                     int32_t predictor);

// Levels 2 to 5: the same checks and results.
template <int Level>
kernel_status ReconstructLosslessFirstRowSimd(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                              int32_t point_transform);
template <int Level>
kernel_status ReconstructLosslessRowSimd(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                         int32_t predictor);

// Unchecked bodies of levels 2 to 5.
void ReconstructFirstRowKernel(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                               int32_t point_transform);
void ReconstructRowPred1Kernel(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples);

// Predictors 1 to 7 one sample at a time, unchecked.
void ReconstructRowScalar(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                          int32_t predictor);
