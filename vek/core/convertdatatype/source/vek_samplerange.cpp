#include "vek_samplerange.h"

#include <algorithm>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEK_HAVE_AVX2_RANGE 1
#else
#define VEK_HAVE_AVX2_RANGE 0
#endif

namespace {

template <class T>
[[gnu::always_inline]] inline void range_body(const void* data, size_t n, T& low, T& high) {
  const T* samples = static_cast<const T*>(data);
  for (size_t i = 0; i < n; ++i) {
    low = samples[i] < low ? samples[i] : low;
    high = samples[i] > high ? samples[i] : high;
  }
}

template <class T>
void range_plain(const void* data, size_t n, double& lo, double& hi) {
  T low = *static_cast<const T*>(data), high = low;
  range_body<T>(data, n, low, high);
  lo = std::min(lo, double(low));
  hi = std::max(hi, double(high));
}

#if VEK_HAVE_AVX2_RANGE
// The lane operations of one integer type; float keeps the plain body, built for the wide set.
template <class T>
struct Lanes;
template <>
struct Lanes<uint8_t> {
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) { return _mm256_min_epu8(a, b); }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) { return _mm256_max_epu8(a, b); }
};
template <>
struct Lanes<int8_t> {
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) { return _mm256_min_epi8(a, b); }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) { return _mm256_max_epi8(a, b); }
};
template <>
struct Lanes<uint16_t> {
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) { return _mm256_min_epu16(a, b); }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) { return _mm256_max_epu16(a, b); }
};
template <>
struct Lanes<int16_t> {
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) { return _mm256_min_epi16(a, b); }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) { return _mm256_max_epi16(a, b); }
};
template <>
struct Lanes<uint32_t> {
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) { return _mm256_min_epu32(a, b); }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) { return _mm256_max_epu32(a, b); }
};
template <>
struct Lanes<int32_t> {
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) { return _mm256_min_epi32(a, b); }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) { return _mm256_max_epi32(a, b); }
};

// Four registers a side, so that no lane waits on the one before, each taking two vectors a
// round; the lanes fold into one at the end and the rest of the run goes through the plain body.
template <class T>
__attribute__((target("avx2"))) void range_avx2(const void* data, size_t n, double& lo, double& hi) {
  using L = Lanes<T>;
  constexpr size_t kStep = 8 * sizeof(__m256i) / sizeof(T);
  const T* samples = static_cast<const T*>(data);
  T low = samples[0], high = samples[0];
  size_t i = 0;
  if (n >= kStep) {
    const __m256i* in = reinterpret_cast<const __m256i*>(samples);
    __m256i l0 = _mm256_loadu_si256(in), l1 = l0, l2 = l0, l3 = l0;
    __m256i h0 = l0, h1 = l0, h2 = l0, h3 = l0;
    for (; i + kStep <= n; i += kStep, in += 8) {
      for (int k = 0; k < 8; k += 4) {
        const __m256i a = _mm256_loadu_si256(in + k), b = _mm256_loadu_si256(in + k + 1);
        const __m256i c = _mm256_loadu_si256(in + k + 2), d = _mm256_loadu_si256(in + k + 3);
        l0 = L::low(l0, a), l1 = L::low(l1, b), l2 = L::low(l2, c), l3 = L::low(l3, d);
        h0 = L::high(h0, a), h1 = L::high(h1, b), h2 = L::high(h2, c), h3 = L::high(h3, d);
      }
    }
    alignas(32) T lanes[2][sizeof(__m256i) / sizeof(T)];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), L::low(L::low(l0, l1), L::low(l2, l3)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), L::high(L::high(h0, h1), L::high(h2, h3)));
    range_body<T>(lanes[0], sizeof(__m256i) / sizeof(T), low, high);
    range_body<T>(lanes[1], sizeof(__m256i) / sizeof(T), low, high);
  }
  range_body<T>(samples + i, n - i, low, high);
  lo = std::min(lo, double(low));
  hi = std::max(hi, double(high));
}

template <>
__attribute__((target("avx2"))) void range_avx2<float>(const void* data, size_t n, double& lo, double& hi) {
  float low = *static_cast<const float*>(data), high = low;
  range_body<float>(data, n, low, high);
  lo = std::min(lo, double(low));
  hi = std::max(hi, double(high));
}
#endif

using RangeBody = void (*)(const void*, size_t, double&, double&);

template <template <class> class Body>
RangeBody pick(VEK_RangeSample kind) {
  switch (kind) {
    case VEK_RangeSample::u8:
      return &Body<uint8_t>::run;
    case VEK_RangeSample::s8:
      return &Body<int8_t>::run;
    case VEK_RangeSample::u16:
      return &Body<uint16_t>::run;
    case VEK_RangeSample::s16:
      return &Body<int16_t>::run;
    case VEK_RangeSample::u32:
      return &Body<uint32_t>::run;
    case VEK_RangeSample::s32:
      return &Body<int32_t>::run;
    case VEK_RangeSample::f32:
      return &Body<float>::run;
  }
  return nullptr;
}

template <class T>
struct Plain {
  static void run(const void* data, size_t n, double& lo, double& hi) { range_plain<T>(data, n, lo, hi); }
};
#if VEK_HAVE_AVX2_RANGE
template <class T>
struct Wide {
  static void run(const void* data, size_t n, double& lo, double& hi) { range_avx2<T>(data, n, lo, hi); }
};
#endif

}  // namespace

void vek_sample_range(VEK_KernelSet set, VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi) {
  if (n == 0 || data == nullptr) return;
#if VEK_HAVE_AVX2_RANGE
  if (set == VEK_KERNELS_AVX2) {
    pick<Wide>(kind)(data, n, lo, hi);
    return;
  }
#endif
  (void)set;
  pick<Plain>(kind)(data, n, lo, hi);
}

void vek_sample_range(VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi) {
  vek_sample_range(vek_kernel_set(), kind, data, n, lo, hi);
}
