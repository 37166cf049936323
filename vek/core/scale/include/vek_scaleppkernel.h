#pragma once
// Weighted-area arithmetic shared by the general and the fast weighted-area engines: footprint
// tables of the reducing width pass, the line sums and their normalisation, and one step of
// the reducing height pass. Output i covers source [i r, (i + 1) r), r = source / target size.
//
// Q12 sums are 32-bit only while a footprint of full-scale samples stays below 2^31; past that
// (8 bits from r near 2056, 16 bits from r near 8) they are carried in 64 bits and normalised in
// double, the road the 32-bit sums would take when their fixed-point reciprocal misses.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "vek_fixedreal.h"
#include "vek_scaleround.h"

namespace vek_pp {

using Q12 = VEK_FixedRealImpl<int, 12>;

template <class S>
constexpr int64_t kFull = std::numeric_limits<S>::max();

// A weight as the table holds it: the double itself or a rounded Q12 raw value.
template <class T>
inline T weight(double x) {
  if constexpr (std::is_same_v<T, double>)
    return x;
  else
    return round_to_fixed(x);
}
inline int64_t raw(Q12 w) { return w.raw(); }
inline double raw(double w) { return w; }

inline uint32_t whole(double x, uint32_t last) { return x <= 0 ? 0 : x >= double(last) ? last : uint32_t(x); }

// Fixed-point product of the summed weight (raw) times full scale and the reciprocal: does the
// integer normalisation map a full-scale footprint back to F within one half?
template <class S>
inline bool fits(int64_t coverage_raw, int32_t reciprocal) {
  const int64_t scaled = coverage_raw * kFull<S>;
  if (scaled > INT32_MAX) return false;
  const int64_t p = (scaled * reciprocal) >> 12;
  return (kFull<S> * 4096 - 2048) < p && p < (kFull<S> * 4096 + 2048);
}

// Q12 sum to a sample through the fixed-point reciprocal. Both are never negative: an unsigned
// 32 x 32-bit product, which vectorises.
inline int64_t by_fixed(int64_t sum, int32_t reciprocal) {
  return int64_t((((uint64_t(uint32_t(sum)) * uint32_t(reciprocal)) >> 12) + 2048) >> 12);
}

// Q12 sum to a sample in double, limited to full scale: rounded weights can sum past r by one
// raw unit, which would carry a 16-bit white past 65535.
template <class S>
inline S by_double(int64_t sum, double inv) {
  const double v = std::trunc(double(sum) * inv * (1.0 / 4096) + 0.5);
  return S(v >= double(kFull<S>) ? kFull<S> : v <= 0 ? 0 : int64_t(v));
}

// Footprint tables of a reduction W -> w (r > 1) over c channels: index[i] is the first sample
// of output i, index[w] the last pixel; first and last are the cut weights of the two ends.
// The last output takes the last pixel whole.
template <class T>
void reduce_tables(uint32_t W, uint32_t w, uint32_t c, double r, uint32_t* index, T* first, T* last) {
  double x = 0.0;
  for (uint32_t i = 0; i < w; ++i) {
    const uint32_t k = whole(x, W - 1);
    index[i] = k * c;
    first[i] = weight<T>(double(k) + 1.0 - x);
    x += r;
    last[i] = weight<T>(x - std::trunc(x));
  }
  index[w] = (W - 1) * c;
  last[w - 1] = weight<T>(1.0);
}

// Whether a Q12 width pass takes the integer road: every footprint, the most and the least
// covered, maps full scale back to F and no sum can pass 32 bits.
template <class S>
bool width_fits(const uint32_t* index, const Q12* first, const Q12* last, uint32_t w, uint32_t c, double r) {
  int64_t most = 0, least = INT64_MAX;
  for (uint32_t i = 0; i < w; ++i) {
    const int64_t k = (index[i + 1] - index[i]) / c;
    const int64_t cover = k * 4096 + first[i].raw() + last[i].raw() - 4096;
    most = std::max(most, cover);
    least = std::min(least, cover);
  }
  const int32_t n = round_to_fixed(1.0 / r).raw();
  return fits<S>(most, n) && fits<S>(least, n);
}

// One output line of a reducing width pass. C is the channel count when fixed (1, 3, 4), 0 for
// any. Sums are A (double, int32 or int64); the end samples take their weights, the ones
// between count whole.
template <uint32_t C, class A, class S, class T, class Out>
void reduce_line(const S* __restrict in, S* __restrict out, const uint32_t* index, const T* first, const T* last,
                 uint32_t w, uint32_t channels, Out normalise) {
  const uint32_t c = C != 0 ? C : channels;
  constexpr A one = std::is_same_v<A, double> ? A(1) : A(4096);
  for (uint32_t i = 0; i < w; ++i) {
    const uint32_t a = index[i], b = index[i + 1];
    const A f = A(raw(first[i])), l = A(raw(last[i]));
    for (uint32_t k = 0; k < c; ++k) {
      A mid = 0;
      for (uint32_t o = a + c + k; o < b; o += c) mid += A(in[o]);
      out[size_t(i) * c + k] = normalise(A(in[a + k]) * f + mid * one + A(in[b + k]) * l);
    }
  }
}

// The width pass of a reduction: picks the loop by channel count and the sum width and the
// normalisation by weight type and fit.
template <class S, class T>
void reduce_width(const S* in, S* out, const uint32_t* index, const T* first, const T* last, uint32_t w, uint32_t c,
                  double r, bool fixed_road) {
  const double inv = 1.0 / r;
  auto run = [&](auto sum_type, auto normalise) {
    using A = decltype(sum_type);
    switch (c) {
      case 1:
        return reduce_line<1, A>(in, out, index, first, last, w, c, normalise);
      case 3:
        return reduce_line<3, A>(in, out, index, first, last, w, c, normalise);
      case 4:
        return reduce_line<4, A>(in, out, index, first, last, w, c, normalise);
      default:
        return reduce_line<0, A>(in, out, index, first, last, w, c, normalise);
    }
  };
  if constexpr (std::is_same_v<T, double>) {
    run(double(), [inv](double s) { return S(int64_t(std::trunc(s * inv + 0.5))); });
  } else if (fixed_road) {
    const int32_t n = round_to_fixed(inv).raw();
    run(int32_t(), [n](int32_t s) { return S(by_fixed(s, n)); });
  } else {
    run(int64_t(), [inv](int64_t s) { return by_double<S>(s, inv); });
  }
}

// A height footprint's sums to samples: double weights in double; Q12 through the fixed-point
// reciprocal when this footprint's weights map full scale back to F, else in double.
template <class S, class T, class A>
void normalise_line(const A* __restrict acc, S* __restrict out, uint32_t n, double r, A wsum) {
  const double inv = 1.0 / r;
  if constexpr (std::is_same_v<T, double>) {
    for (uint32_t s = 0; s < n; ++s) out[s] = S(int64_t(std::trunc(acc[s] * inv + 0.5)));
  } else {
    const int32_t fixed = round_to_fixed(inv).raw();
    if (sizeof(A) == 4 && fits<S>(wsum, fixed)) {
      for (uint32_t s = 0; s < n; ++s) out[s] = S(by_fixed(acc[s], fixed));
    } else {
      for (uint32_t s = 0; s < n; ++s) out[s] = by_double<S>(acc[s], inv);
    }
  }
}

// Summed Q12 weights of a height footprint can pass r by a few raw units; past this bound a
// line of full-scale samples no longer sums in 32 bits.
template <class S>
bool height_sums_wide(double r) {
  return (std::ceil(r * 4096) + 4) * double(kFull<S>) > double(INT32_MAX);
}

// acc = line x w, and acc += line x w, over n samples.
template <class S, class A>
inline void set_line(A* __restrict acc, const S* __restrict line, A w, uint32_t n) {
  for (uint32_t s = 0; s < n; ++s) acc[s] = A(line[s]) * w;
}
template <class S, class A>
inline void add_line(A* __restrict acc, const S* __restrict line, A w, uint32_t n) {
  for (uint32_t s = 0; s < n; ++s) acc[s] += A(line[s]) * w;
}

// One output line of a reducing height pass. The store holds the last source line taken;
// read() copies the next one into it and counts it. Each source line is read once, none past H.
template <class S, class T, class A, class Read>
bool reduce_height_line(double y0, double r, uint32_t H, const uint32_t& taken, const S* store, A* acc, uint32_t n,
                        S* out, Read read) {
  constexpr bool dbl = std::is_same_v<T, double>;
  constexpr A one = dbl ? A(1) : A(4096);
  const double y1 = y0 + r;
  const uint32_t k0 = whole(y0, H - 1);
  const double k1 = std::trunc(y1);
  if (taken <= k0 && !read()) return false;
  A wsum;
  if (double(k0) == y0) {
    set_line(acc, store, one, n);
    wsum = one;
  } else {
    const A w0 = A(raw(weight<T>(double(ceil_to_int(y0)) - y0)));
    set_line(acc, store, w0, n);
    wsum = w0;
  }
  for (double m = double(k0) + 1; m < k1 && taken < H; m += 1) {
    if (!read()) return false;
    add_line(acc, store, one, n);
    wsum += one;
  }
  if (k1 < y1 && taken < H) {
    if (!read()) return false;
    const A w1 = A(raw(weight<T>(y1 - k1)));
    add_line(acc, store, w1, n);
    wsum += w1;
  }
  normalise_line<S, T>(acc, out, n, r, wsum);
  return true;
}

// What a reducing width pass keeps: its footprint tables (built once) and whether Q12 sums take
// the integer road. Shared by the general and the fast engines.
template <class S, class T>
struct WidthReduction {
  uint32_t* index = nullptr;
  T* weights = nullptr;  // w first weights, then w last weights
  bool fixed_road = true;

  template <class Allocate>
  bool build(Allocate allocate, uint32_t W, uint32_t w, uint32_t c, double r) {
    index = static_cast<uint32_t*>(allocate((uint64_t(w) + 1) * sizeof(uint32_t)));
    weights = index != nullptr ? static_cast<T*>(allocate(uint64_t(w) * 2 * sizeof(T))) : nullptr;
    if (weights == nullptr) return false;
    reduce_tables(W, w, c, r, index, weights, weights + w);
    if constexpr (!std::is_same_v<T, double>) fixed_road = width_fits<S>(index, weights, weights + w, w, c, r);
    return true;
  }
  template <class Free>
  void release(Free free) {
    free(index);
    free(weights);
    index = nullptr;
    weights = nullptr;
  }
  void line(const S* in, S* out, uint32_t w, uint32_t c, double r) const {
    reduce_width(in, out, index, weights, weights + w, w, c, r, fixed_road);
  }
};

// What a reducing height pass keeps besides its line store: one accumulator line, 64-bit where
// Q12 sums could pass 32 bits.
template <class S, class T>
struct HeightReduction {
  void* acc = nullptr;
  bool wide = false;

  template <class Allocate>
  bool build(Allocate allocate, uint32_t samples, double r) {
    wide = std::is_same_v<T, double> || height_sums_wide<S>(r);
    acc = allocate(uint64_t(samples) * (wide ? 8 : 4));
    return acc != nullptr;
  }
  template <class Free>
  void release(Free free) {
    free(acc);
    acc = nullptr;
  }
  template <class Read>
  bool line(double y0, double r, uint32_t H, const uint32_t& taken, const S* store, uint32_t n, S* out,
            Read read) const {
    if constexpr (std::is_same_v<T, double>)
      return reduce_height_line<S, T>(y0, r, H, taken, store, static_cast<double*>(acc), n, out, read);
    else if (wide)
      return reduce_height_line<S, T>(y0, r, H, taken, store, static_cast<int64_t*>(acc), n, out, read);
    else
      return reduce_height_line<S, T>(y0, r, H, taken, store, static_cast<int32_t*>(acc), n, out, read);
  }
};

}  // namespace vek_pp
