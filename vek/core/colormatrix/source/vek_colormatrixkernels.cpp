#include "vek_colormatrixkernels.h"

#include <immintrin.h>

#include "platform/platdispatch.h"
#include "vek_shuffle3.h"

namespace {

inline __attribute__((always_inline)) void q12_u8_body(const uint8_t* __restrict in, uint8_t* __restrict out,
                                                       uint32_t width, const int32_t* m, const int32_t* c) {
  const int32_t m0 = m[0], m1 = m[1], m2 = m[2], m3 = m[3], m4 = m[4], m5 = m[5], m6 = m[6], m7 = m[7], m8 = m[8];
  const int32_t c0 = c[0] + 2048, c1 = c[1] + 2048, c2 = c[2] + 2048;
  for (uint32_t x = 0; x < width; ++x) {
    const int32_t s0 = in[3 * x], s1 = in[3 * x + 1], s2 = in[3 * x + 2];
    int32_t r0 = (m0 * s0 + m1 * s1 + m2 * s2 + c0) >> 12;
    int32_t r1 = (m3 * s0 + m4 * s1 + m5 * s2 + c1) >> 12;
    int32_t r2 = (m6 * s0 + m7 * s1 + m8 * s2 + c2) >> 12;
    r0 = r0 < 0 ? 0 : r0 > 255 ? 255 : r0;
    r1 = r1 < 0 ? 0 : r1 > 255 ? 255 : r1;
    r2 = r2 < 0 ? 0 : r2 > 255 ? 255 : r2;
    out[3 * x] = uint8_t(r0);
    out[3 * x + 1] = uint8_t(r1);
    out[3 * x + 2] = uint8_t(r2);
  }
}

void q12_u8_plain(const uint8_t* in, uint8_t* out, uint32_t width, const int32_t* m, const int32_t* c) {
  q12_u8_body(in, out, width, m, c);
}

template <int A, int B>
__attribute__((target("avx2"))) inline __m128i mask() {
  static constexpr std::array<uint8_t, 16> bytes =
      A < 0 ? vek_deinterleave3_mask(-A - 1, B) : vek_interleave3_mask(A, B);
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes.data()));
}

// Row i of 16 pixels: the same 32-bit sums, floor shift and saturation as the plain body (the
// two packs saturate to 16 and then to 8 bits, which is the clamp to 0..255).
__attribute__((target("avx2"))) inline __m128i row(__m256i lo0, __m256i lo1, __m256i lo2, __m256i hi0, __m256i hi1,
                                                   __m256i hi2, const int32_t* m, int32_t c) {
  const __m256i w0 = _mm256_set1_epi32(m[0]), w1 = _mm256_set1_epi32(m[1]), w2 = _mm256_set1_epi32(m[2]);
  const __m256i k = _mm256_set1_epi32(c + 2048);
  const __m256i a = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(w0, lo0), _mm256_mullo_epi32(w1, lo1)),
                                        _mm256_mullo_epi32(w2, lo2)),
                       k),
      12);
  const __m256i b = _mm256_srai_epi32(
      _mm256_add_epi32(_mm256_add_epi32(_mm256_add_epi32(_mm256_mullo_epi32(w0, hi0), _mm256_mullo_epi32(w1, hi1)),
                                        _mm256_mullo_epi32(w2, hi2)),
                       k),
      12);
  const __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
  return _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

__attribute__((target("avx2"))) void q12_u8_avx2(const uint8_t* in, uint8_t* out, uint32_t width, const int32_t* m,
                                                 const int32_t* c) {
  uint32_t x = 0;
  for (; x + 16 <= width; x += 16, in += 48, out += 48) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32));
    const __m128i s0 =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, mask<-1, 0>()), _mm_shuffle_epi8(v1, mask<-1, 1>())),
                     _mm_shuffle_epi8(v2, mask<-1, 2>()));
    const __m128i s1 =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, mask<-2, 0>()), _mm_shuffle_epi8(v1, mask<-2, 1>())),
                     _mm_shuffle_epi8(v2, mask<-2, 2>()));
    const __m128i s2 =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(v0, mask<-3, 0>()), _mm_shuffle_epi8(v1, mask<-3, 1>())),
                     _mm_shuffle_epi8(v2, mask<-3, 2>()));
    const __m256i lo0 = _mm256_cvtepu8_epi32(s0), hi0 = _mm256_cvtepu8_epi32(_mm_srli_si128(s0, 8));
    const __m256i lo1 = _mm256_cvtepu8_epi32(s1), hi1 = _mm256_cvtepu8_epi32(_mm_srli_si128(s1, 8));
    const __m256i lo2 = _mm256_cvtepu8_epi32(s2), hi2 = _mm256_cvtepu8_epi32(_mm_srli_si128(s2, 8));
    const __m128i r0 = row(lo0, lo1, lo2, hi0, hi1, hi2, m, c[0]);
    const __m128i r1 = row(lo0, lo1, lo2, hi0, hi1, hi2, m + 3, c[1]);
    const __m128i r2 = row(lo0, lo1, lo2, hi0, hi1, hi2, m + 6, c[2]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r0, mask<0, 0>()), _mm_shuffle_epi8(r1, mask<0, 1>())),
                                  _mm_shuffle_epi8(r2, mask<0, 2>())));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16),
                     _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r0, mask<1, 0>()), _mm_shuffle_epi8(r1, mask<1, 1>())),
                                  _mm_shuffle_epi8(r2, mask<1, 2>())));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32),
                     _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(r0, mask<2, 0>()), _mm_shuffle_epi8(r1, mask<2, 1>())),
                                  _mm_shuffle_epi8(r2, mask<2, 2>())));
  }
  q12_u8_body(in, out, width - x, m, c);
}

VEK_ColorMatrixQ12U8Line choose() {
  __builtin_cpu_init();
  if (!PlatForcePlainKernels() && __builtin_cpu_supports("avx2")) return q12_u8_avx2;
  return q12_u8_plain;
}

}  // namespace

VEK_ColorMatrixQ12U8Line vek_colormatrix_q12_u8_line() {
  static const VEK_ColorMatrixQ12U8Line line = choose();
  return line;
}
