#include <type_traits>

#include "vek_convertlines.h"
#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_scaleliengine.h"
#include "vek_scaleround.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleheightliengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleHeightLIEngine::initiate()";
constexpr uint32_t kVersion = 0x01040000u;

// Restrict-qualified so that the compiler vectorises it.
template <class S>
[[gnu::always_inline]] inline void blend(const S* __restrict upper, const S* __restrict lower, int32_t w, uint32_t count, S* __restrict out) {
  if constexpr (sizeof(S) == 1 && static_cast<S>(-1) > 0) {
    // a + ((b - a) w + 2048) >> 12 in 16-bit lanes: (b - a) 16 w as a high and a low half, the
    // low half's top bit carrying the rounding.
    const int16_t w16 = int16_t(w);
    for (uint32_t k = 0; k < count; ++k) {
      const int16_t d = int16_t((int16_t(lower[k]) - int16_t(upper[k])) * 16);
      const int16_t high = int16_t((int32_t(d) * w16) >> 16);
      const uint16_t low = uint16_t(int32_t(d) * w16);
      out[k] = S(int16_t(upper[k]) + high + int16_t(low >> 15));
    }
    return;
  }
  for (uint32_t k = 0; k < count; ++k) out[k] = S(vek_li_detail::round_q12<S>(vek_li_detail::mix_q12(upper[k], lower[k], w)));
}

template <class S>
void blend_plain(const S* upper, const S* lower, int32_t w, uint32_t count, S* out) {
  blend(upper, lower, w, count, out);
}

#if defined(__x86_64__) || defined(__i386__)
#define VEK_LI_AVX2 1
#include <immintrin.h>
template <class S>
__attribute__((target("avx2"))) void blend_avx2(const S* upper, const S* lower, int32_t w, uint32_t count, S* out) {
  uint32_t k = 0;
  if constexpr (std::is_same_v<S, unsigned char>) {
    // a + ((b - a) w + 2048) >> 12 as a rounding high multiply: ((b - a) 8 w + 2^14) >> 15.
    const __m256i zero = _mm256_setzero_si256(), w16 = _mm256_set1_epi16(int16_t(w));
    for (; count - k >= 32; k += 32) {
      const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + k));
      const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + k));
      const __m256i ulo = _mm256_unpacklo_epi8(u, zero), uhi = _mm256_unpackhi_epi8(u, zero);
      const __m256i dlo = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_unpacklo_epi8(l, zero), ulo), 3);
      const __m256i dhi = _mm256_slli_epi16(_mm256_sub_epi16(_mm256_unpackhi_epi8(l, zero), uhi), 3);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k),
                          _mm256_packus_epi16(_mm256_add_epi16(ulo, _mm256_mulhrs_epi16(dlo, w16)),
                                              _mm256_add_epi16(uhi, _mm256_mulhrs_epi16(dhi, w16))));
    }
  } else if constexpr (std::is_same_v<S, unsigned short>) {
    // (a - 2^15)(4096 - w) + (b - 2^15) w in one signed multiply-add; the 2^27 it lacks is a
    // whole 2^15 after the shift.
    const __m256i flip = _mm256_set1_epi16(int16_t(0x8000)), half = _mm256_set1_epi32(2048);
    const __m256i both = _mm256_set1_epi32(int32_t(uint32_t(w) << 16 | uint32_t(4096 - w)));
    for (; count - k >= 16; k += 16) {
      const __m256i u = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upper + k)), flip);
      const __m256i l = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lower + k)), flip);
      const __m256i lo = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(u, l), both), half), 12);
      const __m256i hi = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(u, l), both), half), 12);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k), _mm256_xor_si256(_mm256_packs_epi32(lo, hi), flip));
    }
  }
  blend(upper + k, lower + k, w, count - k, out + k);
}
#else
#define VEK_LI_AVX2 0
#endif
}  // namespace

template <class S, class F>
bool VEK_ScaleHeightLIEngine<S, F>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                              VEK_DstBuffer* destination, uint32_t height) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
  if (!vek_li_detail::li_supported(*header, sizeof(S) * 8)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  position_ = (step_ + 1) * 0.5;
  avx2_ = vek_kernel_set() == VEK_KERNELS_AVX2;
  samples_ = line_bytes_ / sizeof(S);
  // Three whole lines centred on the middle one; the first and last lines repeat past the edges.
  ring_ = VEK_RingBuffer::create(manager_, source, header, VEK_KernelAttr(1, 3, 0, 1));
  return ring_ != nullptr;
}

template <class S, class F>
void VEK_ScaleHeightLIEngine<S, F>::free_ring() {
  vek_destroy(ring_);
  ring_ = nullptr;
}

template <class S, class F>
bool VEK_ScaleHeightLIEngine<S, F>::terminate() {
  free_ring();
  return VEK_ScaleHeightEngine::terminate();
}

template <class S, class F>
bool VEK_ScaleHeightLIEngine<S, F>::execute() {
  if (++lines_made_ > height_) return false;
  // The window's middle row is the 1-based source line j.
  const uint32_t j = round_half_up(position_);
  while (lines_taken_ < j) {
    if (!ring_->advance()) return false;
    ++lines_taken_;
  }
  S* out = static_cast<S*>(dst_->get());
  if (out == nullptr) return false;
  const int64_t i = truncate_to_int(position_);
  const int32_t w = round_to_fixed(position_ - double(i)).raw();
  const uint32_t row = i < int64_t(j) ? 0 : 1;  // upper row: source line i
  const S* upper = reinterpret_cast<const S*>(ring_->lines()[row]);
  const S* lower = reinterpret_cast<const S*>(ring_->lines()[row + 1]);
#if VEK_LI_AVX2
  if (avx2_)
    blend_avx2(upper, lower, w, samples_, out);
  else
#endif
    blend_plain(upper, lower, w, samples_, out);
  position_ += step_;
  return dst_->release(line_bytes_);
}

template class VEK_ScaleHeightLIEngine<unsigned char>;
template class VEK_ScaleHeightLIEngine<unsigned short>;
template class VEK_ScaleHeightLIEngine<signed char>;
template class VEK_ScaleHeightLIEngine<short>;
