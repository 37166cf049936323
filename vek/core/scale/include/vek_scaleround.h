#pragma once

// Rounding shared by the weighted-area and linear-interpolation scaling engines.

#include <cmath>
#include <cstdint>

#include "vek_fixedreal.h"

namespace vek_scale_detail {

// x (already whole) to 64 bits and then its low 32 bits; NaN gives 0 and values outside the
// 64-bit range hold at its ends instead of being undefined.
inline int32_t low32_of_whole(double x) {
  if (std::isnan(x)) return 0;
  int64_t v;
  if (x >= 9223372036854775808.0) {
    v = INT64_MAX;
  } else if (x < -9223372036854775808.0) {
    v = INT64_MIN;
  } else {
    v = static_cast<int64_t>(x);
  }
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

}  // namespace vek_scale_detail

// The smallest whole number not below x, cut to 32 bits.
inline int32_t ceil_to_int(const double& x) { return vek_scale_detail::low32_of_whole(std::ceil(x)); }

// x rounded toward zero, cut to 32 bits.
inline int32_t truncate_to_int(const double& x) { return vek_scale_detail::low32_of_whole(std::trunc(x)); }

// x as a Q12 weight, rounded to the nearest raw value with halves away from zero (the plain
// conversion only truncates). Saturates outside 32 bits; NaN gives 0.
inline VEK_FixedRealImpl<int, 12> round_to_fixed(double x) {
  const double half = 1.0 / 8192.0;
  return VEK_FixedRealImpl<int, 12>(x > 0 ? x + half : x - half);
}
