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
template <class S>
__attribute__((target("avx2"))) void blend_avx2(const S* upper, const S* lower, int32_t w, uint32_t count, S* out) {
  blend(upper, lower, w, count, out);
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
