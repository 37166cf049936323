#include "vek_oppixelslines.h"

#include <cstring>
#include <limits>
#include <type_traits>

#include "vek_pixeloperator.h"

#if defined(__x86_64__) || defined(__i386__)
#define VEK_HAVE_AVX2_SET 1
#else
#define VEK_HAVE_AVX2_SET 0
#endif

namespace {

// The exact result of an integer operator fits this type.
template <class T>
using Wide = std::conditional_t<sizeof(T) == 1, int16_t, std::conditional_t<sizeof(T) == 2, int32_t, int64_t>>;

template <class T, class W>
inline T saturate(W v) {
  constexpr W low = W(std::numeric_limits<T>::lowest()), high = W(std::numeric_limits<T>::max());
  return T(v < low ? low : v > high ? high : v);
}

// Floats are formed in double and clamped to the largest float; a NaN stays a NaN.
inline float to_float(double v) {
  constexpr double high = std::numeric_limits<float>::max();
  return float(v > high ? high : v < -high ? -high : v);
}

// An infinity keeps its sign as the largest double; a NaN becomes its negative.
inline double to_double(double v) {
  constexpr double high = std::numeric_limits<double>::max();
  v = v > high ? high : v;
  return v >= -high ? v : -high;
}

template <class T>
inline T finish(double v) {
  if constexpr (std::is_same_v<T, float>)
    return to_float(v);
  else
    return to_double(v);
}

template <class OPBin, class T>
inline T apply(T d, T p) {
  using P = VEK_PixelOperator;
  if constexpr (std::is_same_v<OPBin, P::Overwrite>) {
    return p;
  } else if constexpr (std::is_same_v<OPBin, P::And>) {
    return T(d & p);
  } else if constexpr (std::is_same_v<OPBin, P::MultiplyWithNormalization>) {
    return T(uint64_t(d) * p / 4294967295u);
  } else if constexpr (std::is_floating_point_v<T>) {
    const double a = d, b = p;
    if constexpr (std::is_same_v<OPBin, P::Add>)
      return finish<T>(a + b);
    else if constexpr (std::is_same_v<OPBin, P::Sub>)
      return finish<T>(a - b);
    else
      return finish<T>(a * b);
  } else if constexpr (std::is_same_v<OPBin, P::Multiply> && std::is_same_v<T, uint32_t>) {
    const uint64_t v = uint64_t(d) * p;  // at most (2^32 - 1)^2
    return T(v > 0xFFFFFFFFu ? 0xFFFFFFFFu : v);
  } else if constexpr (std::is_same_v<OPBin, P::Multiply>) {
    using W = Wide<T>;
    return saturate<T>(W(W(d) * W(p)));
  } else if constexpr (std::is_unsigned_v<T>) {
    const T r = std::is_same_v<OPBin, P::Add> ? T(d + p) : T(d - p);
    if constexpr (std::is_same_v<OPBin, P::Add>)
      return r < d ? std::numeric_limits<T>::max() : r;
    else
      return d < p ? T(0) : r;
  } else {
    // Wrapped in the sample's own width, then the overflow replaced by the bound on d's side:
    // the loop stays in lanes of T.
    using U = std::make_unsigned_t<T>;
    const T r = T(std::is_same_v<OPBin, P::Add> ? U(U(d) + U(p)) : U(U(d) - U(p)));
    const bool over = std::is_same_v<OPBin, P::Add> ? T((d ^ r) & (p ^ r)) < 0 : T((d ^ p) & (d ^ r)) < 0;
    return over ? T((d >> (sizeof(T) * 8 - 1)) ^ std::numeric_limits<T>::max()) : r;
  }
}

// The loops, inlined into each set's entry so that each is vectorised for its own set.
template <class OPBin, class T>
[[gnu::always_inline]] inline void line_body(void* destination, const void* source, uint32_t n) {
  uint8_t* __restrict d = static_cast<uint8_t*>(destination);
  const uint8_t* __restrict p = static_cast<const uint8_t*>(source);
  for (uint32_t i = 0; i < n; ++i) {
    T a, b;
    std::memcpy(&a, d + size_t(i) * sizeof(T), sizeof(T));
    std::memcpy(&b, p + size_t(i) * sizeof(T), sizeof(T));
    const T r = apply<OPBin, T>(a, b);
    std::memcpy(d + size_t(i) * sizeof(T), &r, sizeof(T));
  }
}

[[gnu::always_inline]] inline void bytes_body(uint8_t* __restrict d, const uint8_t* __restrict b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) d[i] &= b[i];
}

[[gnu::always_inline]] inline void shifted_body(uint8_t* __restrict d, const uint8_t* __restrict b, uint32_t n,
                                                uint32_t s) {
  const uint32_t back = 8 - s;
  for (uint32_t i = 0; i < n; ++i) d[i] &= uint8_t((b[i] << back) | (b[i + 1] >> s));
}

template <class OPBin, class T>
void line_plain(void* d, const void* p, uint32_t n) {
  line_body<OPBin, T>(d, p, n);
}
void bytes_plain(uint8_t* d, const uint8_t* b, uint32_t n) { bytes_body(d, b, n); }
void shifted_plain(uint8_t* d, const uint8_t* b, uint32_t n, uint32_t s) { shifted_body(d, b, n, s); }

#if VEK_HAVE_AVX2_SET
template <class OPBin, class T>
__attribute__((target("avx2"))) void line_avx2(void* d, const void* p, uint32_t n) {
  line_body<OPBin, T>(d, p, n);
}
__attribute__((target("avx2"))) void bytes_avx2(uint8_t* d, const uint8_t* b, uint32_t n) { bytes_body(d, b, n); }
__attribute__((target("avx2"))) void shifted_avx2(uint8_t* d, const uint8_t* b, uint32_t n, uint32_t s) {
  shifted_body(d, b, n, s);
}
#endif

}  // namespace

template <class OPBin, class T>
VEK_OpPixelsLine vek_oppixels_line(VEK_KernelSet set) {
#if VEK_HAVE_AVX2_SET
  if (set == VEK_KERNELS_AVX2) return &line_avx2<OPBin, T>;
#endif
  (void)set;
  return &line_plain<OPBin, T>;
}

VEK_OpBytesLine vek_oppixels_and_bytes(VEK_KernelSet set) {
#if VEK_HAVE_AVX2_SET
  if (set == VEK_KERNELS_AVX2) return &bytes_avx2;
#endif
  (void)set;
  return &bytes_plain;
}

VEK_OpShiftedLine vek_oppixels_and_shifted(VEK_KernelSet set) {
#if VEK_HAVE_AVX2_SET
  if (set == VEK_KERNELS_AVX2) return &shifted_avx2;
#endif
  (void)set;
  return &shifted_plain;
}

template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::And, unsigned char>(VEK_KernelSet);
template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::And, unsigned short>(VEK_KernelSet);
template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::MultiplyWithNormalization, unsigned int>(VEK_KernelSet);
#define VEK_OPPIXELS_LINES(OP)                                                                     \
  template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::OP, signed char>(VEK_KernelSet);  \
  template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::OP, short>(VEK_KernelSet);        \
  template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::OP, unsigned int>(VEK_KernelSet); \
  template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::OP, int>(VEK_KernelSet);          \
  template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::OP, float>(VEK_KernelSet);        \
  template VEK_OpPixelsLine vek_oppixels_line<VEK_PixelOperator::OP, double>(VEK_KernelSet);
VEK_OPPIXELS_LINES(Add)
VEK_OPPIXELS_LINES(Sub)
VEK_OPPIXELS_LINES(Multiply)
VEK_OPPIXELS_LINES(Overwrite)
#undef VEK_OPPIXELS_LINES
