#include "vek_samplerange.h"

#include <algorithm>
#include <iterator>
#include <type_traits>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VEK_HAVE_AVX2_RANGE 1
#else
#define VEK_HAVE_AVX2_RANGE 0
#endif

namespace {

constexpr bool wants_low(VEK_RangeEnds e) { return e != VEK_RangeEnds::highest; }
constexpr bool wants_high(VEK_RangeEnds e) { return e != VEK_RangeEnds::lowest; }

template <VEK_RangeEnds E, class T>
[[gnu::always_inline]] inline void range_body(const void* data, size_t n, T& low, T& high) {
  const T* samples = static_cast<const T*>(data);
  for (size_t i = 0; i < n; ++i) {
    if constexpr (wants_low(E)) low = samples[i] < low ? samples[i] : low;
    if constexpr (wants_high(E)) high = samples[i] > high ? samples[i] : high;
  }
}

template <VEK_RangeEnds E, class T>
[[gnu::always_inline]] inline void widen(T low, T high, double& lo, double& hi) {
  if constexpr (wants_low(E)) lo = std::min(lo, double(low));
  if constexpr (wants_high(E)) hi = std::max(hi, double(high));
}

template <VEK_RangeEnds E, class T>
void range_plain(const void* data, size_t n, double& lo, double& hi) {
  T low = *static_cast<const T*>(data), high = low;
  range_body<E, T>(data, n, low, high);
  widen<E, T>(low, high, lo, hi);
}

#if VEK_HAVE_AVX2_RANGE
// The lane operations of one integer type, by its width and sign.
template <class T>
struct Lanes {
  static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);
  static constexpr bool kSigned = std::is_signed_v<T>;
  static __attribute__((target("avx2"))) __m256i low(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1)
      return kSigned ? _mm256_min_epi8(a, b) : _mm256_min_epu8(a, b);
    else if constexpr (sizeof(T) == 2)
      return kSigned ? _mm256_min_epi16(a, b) : _mm256_min_epu16(a, b);
    else
      return kSigned ? _mm256_min_epi32(a, b) : _mm256_min_epu32(a, b);
  }
  static __attribute__((target("avx2"))) __m256i high(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1)
      return kSigned ? _mm256_max_epi8(a, b) : _mm256_max_epu8(a, b);
    else if constexpr (sizeof(T) == 2)
      return kSigned ? _mm256_max_epi16(a, b) : _mm256_max_epu16(a, b);
    else
      return kSigned ? _mm256_max_epi32(a, b) : _mm256_max_epu32(a, b);
  }
};

// Four registers an end, so that no lane waits on the one before, each taking two vectors a
// round; the lanes fold into one at the end and the rest of the run goes through the plain body.
template <VEK_RangeEnds E, class T>
__attribute__((target("avx2"))) void range_lanes(const void* data, size_t n, double& lo, double& hi) {
  using L = Lanes<T>;
  constexpr size_t kLanes = sizeof(__m256i) / sizeof(T);
  constexpr size_t kStep = 8 * kLanes;
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
        if constexpr (wants_low(E)) l0 = L::low(l0, a), l1 = L::low(l1, b), l2 = L::low(l2, c), l3 = L::low(l3, d);
        if constexpr (wants_high(E)) h0 = L::high(h0, a), h1 = L::high(h1, b), h2 = L::high(h2, c), h3 = L::high(h3, d);
      }
    }
    alignas(32) T lanes[2][kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[0]), L::low(L::low(l0, l1), L::low(l2, l3)));
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes[1]), L::high(L::high(h0, h1), L::high(h2, h3)));
    range_body<VEK_RangeEnds::lowest, T>(lanes[0], kLanes, low, high);
    range_body<VEK_RangeEnds::highest, T>(lanes[1], kLanes, low, high);
  }
  range_body<E, T>(samples + i, n - i, low, high);
  widen<E, T>(low, high, lo, hi);
}

// Floats keep the plain body, built for the wide set.
template <VEK_RangeEnds E, class T>
__attribute__((target("avx2"))) void range_avx2(const void* data, size_t n, double& lo, double& hi) {
  if constexpr (std::is_floating_point_v<T>)
    range_plain<E, T>(data, n, lo, hi);
  else
    range_lanes<E, T>(data, n, lo, hi);
}
#endif

using RangeBody = void (*)(const void*, size_t, double&, double&);

// One body a sample type, in the order of VEK_RangeSample.
template <template <VEK_RangeEnds, class> class Body, VEK_RangeEnds E>
RangeBody pick(VEK_RangeSample kind) {
  static constexpr RangeBody kBodies[] = {&Body<E, uint8_t>::run, &Body<E, int8_t>::run,   &Body<E, uint16_t>::run,
                                          &Body<E, int16_t>::run, &Body<E, uint32_t>::run, &Body<E, int32_t>::run,
                                          &Body<E, float>::run};
  static_assert(std::size(kBodies) == size_t(VEK_RangeSample::f32) + 1);
  return size_t(kind) < std::size(kBodies) ? kBodies[size_t(kind)] : nullptr;
}

template <template <VEK_RangeEnds, class> class Body>
RangeBody pick(VEK_RangeSample kind, VEK_RangeEnds ends) {
  switch (ends) {
    case VEK_RangeEnds::lowest:
      return pick<Body, VEK_RangeEnds::lowest>(kind);
    case VEK_RangeEnds::highest:
      return pick<Body, VEK_RangeEnds::highest>(kind);
    case VEK_RangeEnds::both:
      break;
  }
  return pick<Body, VEK_RangeEnds::both>(kind);
}

template <VEK_RangeEnds E, class T>
struct Plain {
  static void run(const void* data, size_t n, double& lo, double& hi) { range_plain<E, T>(data, n, lo, hi); }
};
#if VEK_HAVE_AVX2_RANGE
template <VEK_RangeEnds E, class T>
struct Wide {
  static void run(const void* data, size_t n, double& lo, double& hi) { range_avx2<E, T>(data, n, lo, hi); }
};
#endif

}  // namespace

void vek_sample_range(VEK_KernelSet set, VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi,
                      VEK_RangeEnds ends) {
  if (n == 0 || data == nullptr) return;
#if VEK_HAVE_AVX2_RANGE
  if (set == VEK_KERNELS_AVX2) {
    pick<Wide>(kind, ends)(data, n, lo, hi);
    return;
  }
#endif
  (void)set;
  pick<Plain>(kind, ends)(data, n, lo, hi);
}

void vek_sample_range(VEK_RangeSample kind, const void* data, size_t n, double& lo, double& hi, VEK_RangeEnds ends) {
  vek_sample_range(vek_kernel_set(), kind, data, n, lo, hi, ends);
}
