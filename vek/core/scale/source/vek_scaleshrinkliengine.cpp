#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_scaleliengine.h"
#include "vek_scaleround.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleshrinkliengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleShrinkLIEngine::initiate()";
constexpr uint32_t kVersion = 0x01040000u;

using Q12 = VEK_FixedRealImpl<int, 12>;

inline int32_t q12mul(int32_t a, int32_t b) { return (Q12::from_raw(a) * Q12::from_raw(b)).raw(); }

// A whole even ratio of at least 2, exactly: the 2 x 2 road.
inline uint32_t even_whole(double ratio) {
  const uint32_t k = round_half_up(ratio);
  return k >= 2 && k % 2 == 0 && nearly_equal(ratio, double(k), 0x1p-52) ? k : 0;
}

// Mean of four samples, halves away from zero.
template <class S>
inline S mean4(int32_t sum) {
  if constexpr (static_cast<S>(-1) > 0) {
    return S((sum + 2) >> 2);
  } else {
    return S(sum > 0 ? (sum + 2) >> 2 : (sum + 1) >> 2);
  }
}
}  // namespace

template <class S, class F>
bool VEK_ScaleShrinkLIEngine<S, F>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                             VEK_DstBuffer* destination, uint32_t width, uint32_t height) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  if (!vek_li_detail::li_supported(*header, sizeof(S) * 8)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  const uint32_t W = header->width(), H = header->height();
  const uint64_t src_bytes = VEK_Header::line_bytes(W, header->bits(), header->channels());
  const uint64_t out_bytes = VEK_Header::line_bytes(width, header->bits(), header->channels());
  // The four samples around a position exist only when both directions shrink; a one-line source
  // kept at one line pairs the line with itself.
  const bool rows_ok = height < H || (H == 1 && height == 1);
  if (width == 0 || height == 0 || W == 0 || H == 0 || width >= W || !rows_ok || src_bytes > UINT32_MAX ||
      out_bytes > UINT32_MAX || header->channels() == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  out_header_.width(width);
  out_header_.height(height);
  const double sx = double(W) / double(width);
  y_step_ = double(H) / double(height);
  src_height_ = H;
  height_ = height;
  width_ = width;
  channels_ = header->channels();
  y_ = y_step_ * 0.5 - 0.5;
  x_offsets_ = static_cast<uint32_t*>(manager_->allocate(uint32_t(uint64_t(width) * sizeof(uint32_t))));
  if (x_offsets_ == nullptr) return false;
  x_weights_ = static_cast<int32_t*>(manager_->allocate(uint32_t(uint64_t(width) * sizeof(int32_t))));
  if (x_weights_ == nullptr) return false;
  // The x step in 4096ths, cut in 64 bits so that huge ratios keep their size.
  const uint32_t kx = even_whole(double(int64_t(sx * 4096.0)) / 4096.0);
  const uint32_t ky = even_whole(y_step_);
  blocks_ = kx != 0 && ky != 0;
  block_x_ = kx;
  double x = sx * 0.5 - 0.5;
  for (uint32_t i = 0; i < width; ++i, x += sx) {
    int64_t t = truncate_to_int(x);
    int64_t wx = int64_t(round_to_fixed(x).raw()) - 4096 * t;
    if (t > int64_t(W) - 2) {  // drift of the running sum past the last pair
      t = W - 2;
      wx = 4096;
    }
    x_offsets_[i] = uint32_t(uint64_t(t) * channels_);
    x_weights_[i] = int32_t(wx);
  }
  line_bytes_ = uint32_t(out_bytes);
  return src_->block_bytes(uint32_t(src_bytes)) && dst_->block_bytes(line_bytes_);
}

template <class S, class F>
void VEK_ScaleShrinkLIEngine<S, F>::free_tables() {
  manager_->free(x_offsets_);
  manager_->free(x_weights_);
  x_offsets_ = nullptr;
  x_weights_ = nullptr;
}

template <class S, class F>
bool VEK_ScaleShrinkLIEngine<S, F>::terminate() {
  free_tables();
  return VEK_ProcessEngine::terminate();
}

template <class S, class F>
bool VEK_ScaleShrinkLIEngine<S, F>::take(const S** line) {
  *line = static_cast<const S*>(src_->get(nullptr));
  return *line != nullptr;
}

template <class S, class F>
bool VEK_ScaleShrinkLIEngine<S, F>::execute() {
  if (++made_ > height_) return false;
  if (made_ == 1) {
    if (!take(&upper_)) return false;
    if (src_height_ == 1) {
      lower_ = upper_;
    } else if (!take(&lower_)) {
      return false;
    }
  }
  int64_t t = truncate_to_int(y_);
  int32_t wy = int32_t(int64_t(round_to_fixed(y_).raw()) - 4096 * t);
  if (src_height_ > 1 && t > int64_t(src_height_) - 2) {  // drift past the last pair
    t = src_height_ - 2;
    wy = 4096;
  }
  while (int64_t(advanced_) < t) {
    upper_ = lower_;
    if (!src_->release() || !take(&lower_)) return false;
    ++advanced_;
  }
  S* out = static_cast<S*>(dst_->get());
  if (out == nullptr) return false;
  // Members in locals: the stores through out (a char type may alias them) would reload them.
  const uint32_t n = channels_, width = width_;
  const uint32_t* __restrict offsets = x_offsets_;
  const int32_t* __restrict weights = x_weights_;
  const S* __restrict a = upper_;
  const S* __restrict c = lower_;
  S* __restrict dst = out;
  if (blocks_) {
    const uint64_t stride = uint64_t(block_x_) * n;
    const uint64_t o = uint64_t(block_x_ / 2 - 1) * n;
    for (uint32_t i = 0; i < width; ++i) {
      const uint64_t at = o + i * stride;
      for (uint32_t k = 0; k < n; ++k) {
        const uint64_t s = at + k;
        dst[uint64_t(i) * n + k] = mean4<S>(int32_t(a[s]) + int32_t(a[s + n]) + int32_t(c[s]) + int32_t(c[s + n]));
      }
    }
  } else if (n == 1) {
    for (uint32_t i = 0; i < width; ++i) {
      const uint32_t o = offsets[i];
      const int32_t wx = weights[i];
      const int32_t sa = a[o], sb = a[o + 1], sc = c[o], sd = c[o + 1];
      const int32_t cross = ((sd - sc) - (sb - sa)) * wx + (sc - sa) * 4096;
      dst[i] = S(vek_li_detail::round_q12<S>(4096 * sa + (sb - sa) * wx + q12mul(cross, wy)));
    }
  } else {
    for (uint32_t i = 0; i < width; ++i) {
      const uint32_t o = offsets[i];
      const int32_t wx = weights[i];
      const int32_t m = q12mul(wx, wy);
      const int32_t w00 = 4096 - wx - wy + m, w01 = wx - m, w10 = wy - m;
      for (uint32_t k = 0; k < n; ++k) {
        const int32_t v =
            int32_t(a[o + k]) * w00 + int32_t(a[o + n + k]) * w01 + int32_t(c[o + k]) * w10 + int32_t(c[o + n + k]) * m;
        dst[uint64_t(i) * n + k] = S(vek_li_detail::round_q12<S>(v));
      }
    }
  }
  y_ += y_step_;
  if (made_ == height_) {
    if (!src_->release()) return false;
    if (src_height_ > 1 && !src_->release()) return false;
  }
  return dst_->release(line_bytes_);
}

template class VEK_ScaleShrinkLIEngine<unsigned char>;
template class VEK_ScaleShrinkLIEngine<unsigned short>;
template class VEK_ScaleShrinkLIEngine<signed char>;
template class VEK_ScaleShrinkLIEngine<short>;
