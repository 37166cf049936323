#include <type_traits>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_scaleliengine.h"
#include "vek_scaleround.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scalewidthliengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleWidthLIEngine::initiate()";
constexpr uint32_t kVersion = 0x01040000u;

// Channel counts known at compile time (N > 0) unroll; N = 0 loops over n channels.
template <class S, uint32_t N>
void widen(const S* __restrict in, const uint32_t* __restrict offsets, const uint16_t* __restrict weights,
           uint32_t count, uint32_t n, S* __restrict out) {
  const uint32_t c = N != 0 ? N : n;
  for (uint32_t x = 0; x < count; ++x) {
    const S* a = in + offsets[x];
    const int32_t w = weights[x];
    for (uint32_t k = 0; k < c; ++k)
      out[x * c + k] = S(vek_li_detail::round_q12<S>(vek_li_detail::mix_q12(a[k], a[k + c], w)));
  }
}
// One channel: the neighbours of each output pixel are gathered in one plain pass, then blended
// in a loop that vectorises. Unsigned 8-bit samples take a + ((b - a) w + 2048) >> 12 in 16-bit
// lanes, from the high and low halves of (b - a) 16 w.
template <class S>
void widen_gray(const S* __restrict in, const uint32_t* __restrict offsets, const uint16_t* __restrict weights,
                uint32_t count, S* __restrict left, S* __restrict right, S* __restrict out) {
  if constexpr (std::is_same_v<S, unsigned char>) {
    // Both neighbours in one 16-bit word: half the stores of the gather.
    uint16_t* pairs = reinterpret_cast<uint16_t*>(left);
    for (uint32_t x = 0; x < count; ++x) {
      const uint8_t* p = in + offsets[x];
      pairs[x] = uint16_t(p[0] | (p[1] << 8));
    }
    for (uint32_t x = 0; x < count; ++x) {
      const int16_t a = int16_t(pairs[x] & 0xFF);
      const int16_t d = int16_t((int16_t(pairs[x] >> 8) - a) * 16);
      const int16_t w = int16_t(weights[x]);
      const int16_t high = int16_t((int32_t(d) * w) >> 16);
      const uint16_t low = uint16_t(int32_t(d) * w);
      out[x] = uint8_t(a + high + int16_t(low >> 15));
    }
  } else {
    for (uint32_t x = 0; x < count; ++x) {
      left[x] = in[offsets[x]];
      right[x] = in[offsets[x] + 1];
    }
    for (uint32_t x = 0; x < count; ++x)
      out[x] = S(vek_li_detail::round_q12<S>(vek_li_detail::mix_q12(left[x], right[x], int32_t(weights[x]))));
  }
}
}  // namespace

bool vek_li_detail::li_supported(const VEK_Header& h, uint32_t bits) {
  return VEK_EncodeType::is_raw(h.encode_type()) &&
         (h.data_type() == VEK_DataType::u_integer || h.data_type() == VEK_DataType::s_integer) && h.bits() == bits &&
         h.palette().empty();
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                             VEK_DstBuffer* destination, uint32_t width) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleWidthEngine::initiate(header, source, destination, width)) return false;
  if (!vek_li_detail::li_supported(*header, sizeof(S) * 8)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  const uint64_t n = channels_;
  const uint64_t line = (uint64_t(src_width_) + 2) * n * sizeof(S);
  if (line > UINT32_MAX || uint64_t(width_) * sizeof(uint32_t) > UINT32_MAX ||
      uint64_t(width_) * 2 * sizeof(S) > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  line_ = static_cast<S*>(manager_->allocate(uint32_t(line)));
  if (line_ == nullptr) return false;
  offsets_ = static_cast<uint32_t*>(manager_->allocate(uint32_t(width_ * sizeof(uint32_t))));
  if (offsets_ == nullptr) return false;
  weights_ = static_cast<uint16_t*>(manager_->allocate(uint32_t(width_ * sizeof(uint16_t))));
  if (weights_ == nullptr) return false;
  if (n == 1) {
    pairs_ = static_cast<S*>(manager_->allocate(uint32_t(uint64_t(width_) * 2 * sizeof(S))));
    if (pairs_ == nullptr) return false;
  }
  // 1-based source position of each output pixel; buffer pixel i is source pixel i - 1, so the
  // margins serve positions before the first and after the last pixel.
  const double step = double(src_width_) / double(width_);
  double p = (step + 1) * 0.5;
  for (uint32_t x = 0; x < width_; ++x, p += step) {
    int64_t i = truncate_to_int(p);
    int64_t q = int64_t(round_to_fixed(p).raw()) - 4096 * i;
    if (q >= 4096) {
      ++i;
      q = 0;
    }
    if (i > int64_t(src_width_)) {  // drift of the running sum: the right margin holds the last pixel
      i = src_width_;
      q = 0;
    }
    offsets_[x] = uint32_t(uint64_t(i) * n);
    weights_[x] = uint16_t(q);
  }
  return true;
}

template <class S, class F>
void VEK_ScaleWidthLIEngine<S, F>::free_tables() {
  manager_->free(line_);
  manager_->free(offsets_);
  manager_->free(weights_);
  manager_->free(pairs_);
  pairs_ = nullptr;
  line_ = nullptr;
  offsets_ = nullptr;
  weights_ = nullptr;
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::terminate() {
  free_tables();
  return VEK_ScaleWidthEngine::terminate();
}

template <class S, class F>
bool VEK_ScaleWidthLIEngine<S, F>::execute() {
  const uint32_t n = channels_;
  if (!src_->get(line_ + n, nullptr)) return false;
  S* out = static_cast<S*>(dst_->get());
  if (out == nullptr) {
    src_->release();
    return false;
  }
  const uint64_t last = uint64_t(src_width_) * n;
  for (uint32_t c = 0; c < n; ++c) {
    line_[c] = line_[n + c];
    line_[last + n + c] = line_[last + c];
  }
  switch (n) {
    case 1: widen_gray(line_, offsets_, weights_, width_, pairs_, pairs_ + width_, out); break;
    case 3: widen<S, 3>(line_, offsets_, weights_, width_, n, out); break;
    case 4: widen<S, 4>(line_, offsets_, weights_, width_, n, out); break;
    default: widen<S, 0>(line_, offsets_, weights_, width_, n, out);
  }
  const bool released = src_->release();
  return dst_->release(line_bytes_) && released;
}

template class VEK_ScaleWidthLIEngine<unsigned char>;
template class VEK_ScaleWidthLIEngine<unsigned short>;
template class VEK_ScaleWidthLIEngine<signed char>;
template class VEK_ScaleWidthLIEngine<short>;
