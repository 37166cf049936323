#pragma once
// The one rule by which every conversion turns a computed double into a sample: clamp to
// the bounds first, then round by the sample type's rule.

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

// value < low gives low, high < value gives high; in between, unsigned types round half up,
// signed ones half away from zero, float and double are not rounded. A NaN passes both
// bounds: float and double keep it (as the quiet NaN), integer types get 0 (a window of width
// 0 produces one).
template <class T>
inline T clamp_round(double value, T high, T low) {
  // Selects rather than early returns, so that a per-sample loop can be vectorised.
  double v = value < static_cast<double>(low) ? static_cast<double>(low) : value;
  v = static_cast<double>(high) < v ? static_cast<double>(high) : v;
  if constexpr (std::is_floating_point_v<T>) {
    // Every NaN comes out as the one quiet NaN: which operand's payload an addition keeps
    // depends on the order of the instructions, and every kernel body must write the same bytes.
    return v == v ? static_cast<T>(v) : std::numeric_limits<T>::quiet_NaN();
  } else {
    v = v == v ? v : 0.0;
    // Inside the bounds, so the truncating conversion below is defined.
    if constexpr (std::is_signed_v<T>)
      return static_cast<T>(v + std::copysign(0.5, v));
    else
      return static_cast<T>(v + 0.5);
  }
}

// Entry i = clamp_round((i + offset) * slope + intercept) over the whole range of T.
template <class T>
inline void fill_linear_lut(T* table, int32_t offset, uint32_t count, double slope, double intercept) {
  constexpr T high = std::numeric_limits<T>::max();
  constexpr T low = std::numeric_limits<T>::lowest();
  const auto entry = [&](uint32_t i) {
    return clamp_round<T>(static_cast<double>(int64_t(i) + offset) * slope + intercept, high, low);
  };
  uint32_t begin = 0, end = count;
  if constexpr (std::is_integral_v<T>) {
    // The map is monotonic, so each clamped end is one run of a single value: found by
    // bisection and filled whole, leaving only the entries between them (about a window's
    // width) to compute.
    if (count > 2) {
      const T first = entry(0), last = entry(count - 1);
      uint32_t lo = 0, hi = count - 1;
      while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        (entry(mid) == first ? lo : hi) = mid;
      }
      begin = hi;
      lo = begin - 1;
      hi = count - 1;
      while (hi - lo > 1) {
        const uint32_t mid = lo + (hi - lo) / 2;
        (entry(mid) == last ? hi : lo) = mid;
      }
      end = hi;
      for (uint32_t i = 0; i < begin; ++i) table[i] = first;
      for (uint32_t i = end; i < count; ++i) table[i] = last;
    }
  }
  for (uint32_t i = begin; i < end; ++i) table[i] = entry(i);
}
