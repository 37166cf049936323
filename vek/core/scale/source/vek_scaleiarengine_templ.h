#pragma once
// Area averaging by whole factors. Sums are exact: 32-bit where n samples of the type's maximum
// plus n / 2 fit, 64-bit beyond (a 70,000-line 16-bit image to one line passes 2^32).

#include <cstdint>
#include <limits>

#include "vek_errorhandler.h"
#include "vek_scaleengine.h"

namespace vek_iar {
constexpr const char* kFile = "core/scale/source/vek_scaleiarengine_templ.h";

// Raw unsigned samples of T without a palette.
template <class T>
bool supported(const VEK_Header& h) {
  return VEK_EncodeType::is_raw(h.encode_type()) && h.data_type() == VEK_DataType::u_integer &&
         h.bits() == sizeof(T) * 8 && h.palette().empty() && h.channels() != 0;
}

// k when n = 2^k with k >= 1, else 0.
inline uint32_t shift_of(uint32_t n) {
  if (n < 2 || (n & (n - 1)) != 0) return 0;
  uint32_t k = 0;
  while ((n >> k) != 1) ++k;
  return k;
}

template <class T>
bool wide_sums(uint32_t n) {
  return uint64_t(n) * std::numeric_limits<T>::max() + n / 2 > UINT32_MAX;
}

// 16-bit sums where they hold: twice the samples per vector for 8-bit images.
template <class T>
bool narrow_sums(uint32_t n) {
  return uint64_t(n) * std::numeric_limits<T>::max() + n / 2 <= UINT16_MAX;
}

template <class S>
inline S mean(S sum, uint32_t n, uint32_t shift) {
  return shift != 0 ? (sum + n / 2) >> shift : (sum + n / 2) / n;
}
}  // namespace vek_iar

template <class T>
class VEK_ScaleWidthIAREngine : public VEK_ScaleWidthEngine {
 public:
  using VEK_ScaleWidthEngine::initiate;
  using VEK_ScaleWidthEngine::VEK_ScaleWidthEngine;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) override {
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, "VEK_ScaleWidthIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    if (!VEK_ScaleWidthEngine::initiate(header, source, destination, width)) return false;
    if (!vek_iar::supported<T>(*header)) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleWidthIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    // Averaging only reduces: a wider output would have no samples to average.
    if (width_ > src_width_) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleWidthIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    n_ = src_width_ / width_;
    shift_ = vek_iar::shift_of(n_);
    return true;
  }

  bool execute() override {
    const T* in = static_cast<const T*>(src_->get(nullptr));
    if (in == nullptr) return false;
    T* out = static_cast<T*>(dst_->get());
    if (out == nullptr) {
      src_->release();
      return false;
    }
    if (vek_iar::wide_sums<T>(n_))
      average<uint64_t>(in, out);
    else if (vek_iar::narrow_sums<T>(n_))
      average<uint16_t>(in, out);
    else
      average<uint32_t>(in, out);
    const bool released = src_->release();
    return dst_->release(line_bytes_) && released;
  }

 private:
  // Whole groups of N samples: a constant count and divisor let the compiler vectorise.
  template <class S, uint32_t N>
  static void average_fixed(const T* __restrict in, T* __restrict out, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
      S sum = 0;
      for (uint32_t k = 0; k < N; ++k) sum += in[size_t(i) * N + k];
      out[i] = T((sum + N / 2) / N);
    }
  }

  template <class S>
  void average(const T* __restrict in, T* __restrict out) const {
    const uint32_t n = n_, shift = shift_, ch = channels_;
    if (ch == 1) {
      switch (n) {
        case 2:
          return average_fixed<S, 2>(in, out, width_);
        case 3:
          return average_fixed<S, 3>(in, out, width_);
        case 4:
          return average_fixed<S, 4>(in, out, width_);
        case 8:
          return average_fixed<S, 8>(in, out, width_);
      }
      for (uint32_t i = 0; i < width_; ++i, in += n) {
        S sum = 0;
        for (uint32_t k = 0; k < n; ++k) sum += in[k];
        out[i] = T(vek_iar::mean<S>(sum, n, shift));
      }
      return;
    }
    const uint64_t group = uint64_t(n) * ch;
    for (uint32_t i = 0; i < width_; ++i, in += group)
      for (uint32_t c = 0; c < ch; ++c) {
        S sum = 0;
        for (uint64_t k = c; k < group; k += ch) sum += in[k];
        *out++ = T(vek_iar::mean<S>(sum, n, shift));
      }
  }

  uint32_t n_ = 0;
  uint32_t shift_ = 0;
};

template <class T>
class VEK_ScaleHeightIAREngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::initiate;
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override {
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, "VEK_ScaleHeightIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
    if (!vek_iar::supported<T>(*header)) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleHeightIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    if (height_ > src_height_ || header->width() == 0) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleHeightIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    samples_ = line_bytes_ / uint32_t(sizeof(T));
    n_ = src_height_ / height_;
    shift_ = vek_iar::shift_of(n_);
    wide_ = vek_iar::wide_sums<T>(n_);
    narrow_ = vek_iar::narrow_sums<T>(n_);
    const uint64_t bytes = uint64_t(samples_) * (wide_     ? sizeof(uint64_t)
                                                 : narrow_ ? sizeof(uint16_t)
                                                           : sizeof(uint32_t));
    if (bytes > UINT32_MAX) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleHeightIAREngine::initiate()", vek_iar::kFile, __LINE__);
      return false;
    }
    sums_ = manager_->allocate(uint32_t(bytes));
    return sums_ != nullptr;
  }

  bool terminate() override {
    manager_->free(sums_);
    sums_ = nullptr;
    return VEK_ScaleHeightEngine::terminate();
  }

  bool execute() override {
    if (lines_made_ >= height_) return false;
    T* out = static_cast<T*>(dst_->get());
    if (out == nullptr) return false;
    const bool ok = wide_     ? average(static_cast<uint64_t*>(sums_), out)
                    : narrow_ ? average(static_cast<uint16_t*>(sums_), out)
                              : average(static_cast<uint32_t*>(sums_), out);
    if (!ok) {
      dst_->release(0);
      return false;
    }
    ++lines_made_;
    return dst_->release(line_bytes_);
  }

 private:
  // The n source lines of the next output line, each taken in place and added once.
  template <class S>
  bool average(S* __restrict sums, T* __restrict out) {
    const uint32_t count = samples_;
    for (uint32_t k = 0; k < n_; ++k) {
      const T* __restrict in = static_cast<const T*>(src_->get(nullptr));
      if (in == nullptr) return false;
      if (k == 0)
        for (uint32_t i = 0; i < count; ++i) sums[i] = in[i];
      else
        for (uint32_t i = 0; i < count; ++i) sums[i] += in[i];
      ++lines_taken_;
      if (!src_->release()) return false;
    }
    const uint32_t n = n_, shift = shift_;
    if (shift != 0) {
      const S half = n / 2;
      for (uint32_t i = 0; i < count; ++i) out[i] = T((sums[i] + half) >> shift);
    } else {
      for (uint32_t i = 0; i < count; ++i) out[i] = T((sums[i] + n / 2) / n);
    }
    return true;
  }

  uint32_t samples_ = 0;
  uint32_t n_ = 0;
  uint32_t shift_ = 0;
  bool wide_ = false;
  bool narrow_ = false;
  void* sums_ = nullptr;
};
