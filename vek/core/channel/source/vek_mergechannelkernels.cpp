#include "vek_mergechannelkernels.h"

#include <immintrin.h>

#include "platform/platdispatch.h"
#include "vek_shuffle3.h"

namespace {

void merge3_plain(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* __restrict out, uint32_t width) {
  for (uint32_t x = 0; x < width; ++x) {
    out[3 * x] = a[x];
    out[3 * x + 1] = b[x];
    out[3 * x + 2] = c[x];
  }
}

template <int O, int K>
__attribute__((target("ssse3"))) inline __m128i mask() {
  static constexpr std::array<uint8_t, 16> bytes = vek_interleave3_mask(O, K);
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data()));
}

template <int O>
__attribute__((target("ssse3"))) inline __m128i run(__m128i a, __m128i b, __m128i c) {
  return _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, mask<O, 0>()), _mm_shuffle_epi8(b, mask<O, 1>())),
                      _mm_shuffle_epi8(c, mask<O, 2>()));
}

__attribute__((target("ssse3"))) void merge3_ssse3(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* out,
                                                   uint32_t width) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16, out += 48) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + x));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x));
    const __m128i vc = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + x));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), run<0>(va, vb, vc));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), run<1>(va, vb, vc));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32), run<2>(va, vb, vc));
  }
  merge3_plain(a + x, b + x, c + x, out, width - x);
}

VEK_Merge3U8Line choose() {
  __builtin_cpu_init();
  if (!PlatForcePlainKernels() && __builtin_cpu_supports("ssse3")) return merge3_ssse3;
  return merge3_plain;
}

}  // namespace

VEK_Merge3U8Line vek_merge3_u8_line() {
  static const VEK_Merge3U8Line line = choose();
  return line;
}
