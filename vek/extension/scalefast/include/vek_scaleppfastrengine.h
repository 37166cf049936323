#pragma once
// The fast reduction engines of the paint road: a reduction by a ratio that is not whole, in one
// direction. They compute what the general reducing engines compute, with the same tables and
// line kernels, over the plain direction bases.

#include <cstdint>
#include <type_traits>

#include "vek_errorhandler.h"
#include "vek_scaleengine.h"
#include "vek_scaleppengine.h"
#include "vek_scaleppkernel.h"

namespace vek_ppfast {
constexpr const char* kFile = "extension/scalefast/include/vek_scaleppfastrengine.h";
}

template <class S, class T>
class VEK_ScaleWidthPPFastREngine : public VEK_ScaleWidthEngine {
 public:
  using VEK_ScaleWidthEngine::VEK_ScaleWidthEngine;
  using VEK_ScaleWidthEngine::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) override {
    constexpr const char* kMethod = "VEK_ScaleWidthPPFastREngine::initiate()";
    if (!check_interface_version(vek_pp::kVersion)) {
      vek_report(manager_, VEK_ERROR_VERSION, kMethod, vek_ppfast::kFile, __LINE__);
      return false;
    }
    if (!VEK_ScaleWidthEngine::initiate(header, source, destination, width)) return false;
    if (!vek_pp::supported<S>(*header)) {
      vek_report(manager_, VEK_ERROR_FORMAT, kMethod, vek_ppfast::kFile, __LINE__);
      return false;
    }
    // Without a reduction a footprint's two ends fall on one pixel, which would count twice.
    if (width_ >= src_width_) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, vek_ppfast::kFile, __LINE__);
      return false;
    }
    ratio_ = double(src_width_) / double(width_);
    index_ = vek_pp::allocate<uint32_t>(manager_, uint64_t(width_) + 1);
    weights_ = index_ != nullptr ? vek_pp::allocate<T>(manager_, uint64_t(width_) * 2) : nullptr;
    if (weights_ == nullptr) return false;
    vek_pp::reduce_tables(src_width_, width_, channels_, ratio_, index_, weights_, weights_ + width_);
    if constexpr (!std::is_same_v<T, double>)
      general_ = !vek_pp::width_fits<S>(index_, weights_, weights_ + width_, width_, channels_, ratio_);
    return true;
  }

  bool terminate() override {
    manager_->free(index_);
    manager_->free(weights_);
    index_ = nullptr;
    weights_ = nullptr;
    return VEK_ScaleWidthEngine::terminate();
  }

  bool execute() override {
    const S* in = static_cast<const S*>(src_->get(nullptr));
    if (in == nullptr) return false;
    S* out = static_cast<S*>(dst_->get());
    if (out == nullptr) {
      src_->release();
      return false;
    }
    vek_pp::reduce_width(in, out, index_, weights_, weights_ + width_, width_, channels_, ratio_, !general_);
    const bool released = src_->release();
    return dst_->release(line_bytes_) && released;
  }

 private:
  double ratio_ = 0;
  uint32_t* index_ = nullptr;
  T* weights_ = nullptr;  // w first weights, then w last weights
  bool general_ = false;
};

template <class S, class T>
class VEK_ScaleHeightPPFastREngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;
  using VEK_ScaleHeightEngine::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override {
    constexpr const char* kMethod = "VEK_ScaleHeightPPFastREngine::initiate()";
    if (!check_interface_version(vek_pp::kVersion)) {
      vek_report(manager_, VEK_ERROR_VERSION, kMethod, vek_ppfast::kFile, __LINE__);
      return false;
    }
    if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
    if (!vek_pp::supported<S>(*header)) {
      vek_report(manager_, VEK_ERROR_FORMAT, kMethod, vek_ppfast::kFile, __LINE__);
      return false;
    }
    if (height_ >= src_height_ || header->width() == 0) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, vek_ppfast::kFile, __LINE__);
      return false;
    }
    samples_ = line_bytes_ / uint32_t(sizeof(S));
    wide_ = std::is_same_v<T, double> || vek_pp::height_sums_wide<S>(step_);
    store_ = vek_pp::allocate<S>(manager_, samples_);
    acc_ = store_ != nullptr ? vek_pp::allocate<char>(manager_, uint64_t(samples_) * (wide_ ? 8 : 4)) : nullptr;
    return acc_ != nullptr;
  }

  bool terminate() override {
    manager_->free(store_);
    manager_->free(acc_);
    store_ = nullptr;
    acc_ = nullptr;
    return VEK_ScaleHeightEngine::terminate();
  }

  bool execute() override {
    if (lines_made_ >= height_) return false;
    S* out = static_cast<S*>(dst_->get());
    if (out == nullptr) return false;
    ++lines_made_;
    auto read = [this] {
      uint32_t got = 0;
      if (!src_->get(store_, &got) || got != line_bytes_) return false;
      ++lines_taken_;
      return src_->release();
    };
    bool ok;
    if constexpr (std::is_same_v<T, double>)
      ok = vek_pp::reduce_height_line<S, T>(position_, step_, src_height_, lines_taken_, store_,
                                            reinterpret_cast<double*>(acc_), samples_, out, read);
    else if (wide_)
      ok = vek_pp::reduce_height_line<S, T>(position_, step_, src_height_, lines_taken_, store_,
                                            reinterpret_cast<int64_t*>(acc_), samples_, out, read);
    else
      ok = vek_pp::reduce_height_line<S, T>(position_, step_, src_height_, lines_taken_, store_,
                                            reinterpret_cast<int32_t*>(acc_), samples_, out, read);
    if (!ok) {
      dst_->release(0);
      return false;
    }
    position_ += step_;
    return dst_->release(line_bytes_);
  }

 private:
  uint32_t samples_ = 0;
  bool wide_ = false;
  S* store_ = nullptr;
  char* acc_ = nullptr;
};
