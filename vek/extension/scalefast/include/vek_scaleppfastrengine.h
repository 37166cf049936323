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
  using VEK_ScaleWidthEngine::initiate;
  using VEK_ScaleWidthEngine::VEK_ScaleWidthEngine;

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
    return tables_.build(vek_pp::tables_of(manager_), src_width_, width_, channels_, ratio_);
  }

  bool terminate() override {
    tables_.release(vek_pp::freeing(manager_));
    return VEK_ScaleWidthEngine::terminate();
  }

  bool execute() override {
    return vek_pp::width_line<S>(src_, dst_, line_bytes_,
                                 [this](const S* in, S* out) { tables_.line(in, out, width_, channels_, ratio_); });
  }

 private:
  double ratio_ = 0;
  vek_pp::WidthReduction<S, T> tables_;
};

template <class S, class T>
class VEK_ScaleHeightPPFastREngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::initiate;
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;

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
    store_ = vek_pp::allocate<S>(manager_, samples_);
    return store_ != nullptr && sums_.build(vek_pp::tables_of(manager_), samples_, step_);
  }

  bool terminate() override {
    manager_->free(store_);
    store_ = nullptr;
    sums_.release(vek_pp::freeing(manager_));
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
    if (!sums_.line(position_, step_, src_height_, lines_taken_, store_, samples_, out, read)) {
      dst_->release(0);
      return false;
    }
    position_ += step_;
    return dst_->release(line_bytes_);
  }

 private:
  uint32_t samples_ = 0;
  S* store_ = nullptr;
  vek_pp::HeightReduction<S, T> sums_;
};
