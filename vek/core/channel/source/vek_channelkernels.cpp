#include "vek_channelkernels.h"

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

void select1of3_plain(const uint8_t* in, uint8_t* __restrict out, uint32_t width, uint32_t k) {
  for (uint32_t x = 0; x < width; ++x) out[x] = in[3 * x + k];
}

template <int K>
__attribute__((target("ssse3"))) void select1of3_ssse3_k(const uint8_t* in, uint8_t* out, uint32_t width) {
  static constexpr std::array<uint8_t, 16> m0 = vek_deinterleave3_mask(K, 0), m1 = vek_deinterleave3_mask(K, 1),
                                           m2 = vek_deinterleave3_mask(K, 2);
  const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m0.data()));
  const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m1.data()));
  const __m128i s2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m2.data()));
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16, in += 48) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
    _mm_storeu_si128(
        reinterpret_cast<__m128i*>(out + x),
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, s0), _mm_shuffle_epi8(v1, s1)), _mm_shuffle_epi8(v2, s2)));
  }
  select1of3_plain(in, out + x, width - x, K);
}

void select1of3_ssse3(const uint8_t* in, uint8_t* out, uint32_t width, uint32_t k) {
  if (k == 0) return select1of3_ssse3_k<0>(in, out, width);
  if (k == 1) return select1of3_ssse3_k<1>(in, out, width);
  return select1of3_ssse3_k<2>(in, out, width);
}

bool use_ssse3() {
  __builtin_cpu_init();
  return !PlatForcePlainKernels() && __builtin_cpu_supports("ssse3");
}

VEK_Merge3U8Line choose() { return use_ssse3() ? merge3_ssse3 : merge3_plain; }

}  // namespace

VEK_Merge3U8Line vek_merge3_u8_line() {
  static const VEK_Merge3U8Line line = choose();
  return line;
}

VEK_Select1of3U8Line vek_select1of3_u8_line() {
  static const VEK_Select1of3U8Line line = use_ssse3() ? select1of3_ssse3 : select1of3_plain;
  return line;
}
