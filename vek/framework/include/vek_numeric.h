#pragma once
// Numeric helpers shared by the conversion and scaling engines; their exact rules matter.

#include <cmath>
#include <cstdint>

// |a - b| <= tolerance; false when the difference is not a number.
inline bool nearly_equal(double a, double b, double tolerance) { return std::fabs(a - b) <= tolerance; }

// Half away from zero. Results outside 32 bits (and NaN) give INT32_MIN, as the processor's
// truncating conversion does, instead of undefined behaviour.
inline int32_t round_half_away(double x) {
  const double r = std::trunc(x >= 0.0 ? x + 0.5 : x - 0.5);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) return INT32_MIN;
  return static_cast<int32_t>(r);
}

// x + 0.5 truncated through 64 bits; the low 32 bits are the result, so values up to
// 2^32 - 1 come out right as unsigned samples.
inline uint32_t round_half_up(double x) {
  const double r = std::trunc(x + 0.5);
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return 0;  // low half of INT64_MIN
  return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(r)));
}

// base to the exponent, modulo 2^32.
inline uint32_t power(uint32_t base, uint32_t exponent) {
  uint32_t result = 1;
  while (exponent != 0) {
    if (exponent & 1u) result *= base;
    base *= base;
    exponent >>= 1;
  }
  return result;
}
