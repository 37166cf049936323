#pragma once
// Whole-step subsampling: output pixel (i, j) = source pixel (x offset + i x x step,
// y offset + j x y step), all channels.

#include <cstdint>
#include <cstring>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_scalennsupport.h"

template <class T>
class VEK_ScaleSSEngine : public VEK_ProcessEngine {
  static constexpr const char* kFile = "core/scale/source/vek_scalessengine.h";

 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x_step,
                uint32_t y_step, uint32_t x_offset, uint32_t y_offset) {
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, "VEK_ScaleSSEngine::initiate()", kFile, __LINE__);
      return false;
    }
    if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
    if (!VEK_EncodeType::is_raw(header->encode_type()) || header->bits() != sizeof(T) * 8 || header->channels() == 0) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleSSEngine::initiate()", kFile, __LINE__);
      return false;
    }
    const uint32_t w = header->width(), h = header->height();
    if (x_step == 0 || y_step == 0 || x_offset >= w || y_offset >= h || header->line_bytes() == 0) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleSSEngine::initiate()", kFile, __LINE__);
      return false;
    }
    // In 64 bits: the rounding-up sums pass 32 bits for large steps.
    width_ = uint32_t((uint64_t(w) - x_offset + x_step - 1) / x_step);
    height_ = uint32_t((uint64_t(h) - y_offset + y_step - 1) / y_step);
    src_height_ = h;
    channels_ = header->channels();
    x_step_ = x_step;
    y_step_ = y_step;
    x_offset_ = x_offset;
    y_offset_ = y_offset;
    out_header_.width(width_);
    out_header_.height(height_);
    return src_->block_bytes(header->line_bytes()) && dst_->block_bytes(out_header_.line_bytes());
  }

  bool execute() override {
    if (lines_made_ >= height_) return false;
    const uint64_t target = uint64_t(y_step_) * lines_made_ + y_offset_;
    const T* in = nullptr;
    T* out = nullptr;
    if (!vek_scale_take_line(src_, dst_, lines_taken_, target < src_height_ ? uint32_t(target) : src_height_ - 1, in,
                             out))
      return false;
    ++lines_made_;
    pick(in + uint64_t(x_offset_) * channels_, out, width_, uint64_t(x_step_) * channels_, channels_);
    const bool released = src_->release();
    return dst_->release(out_header_.line_bytes()) && released;
  }

 private:
  // Every stride-th pixel; restrict lets the loop keep its counts in registers.
  static void pick(const T* __restrict in, T* __restrict out, uint32_t count, uint64_t stride, uint16_t channels) {
    if (channels == 1) {
      // Fixed small steps let the compiler vectorise the strided loads.
      switch (stride) {
        case 2:
          return pick_fixed<2>(in, out, count);
        case 3:
          return pick_fixed<3>(in, out, count);
        case 4:
          return pick_fixed<4>(in, out, count);
        default:
          for (uint32_t i = 0; i < count; ++i, in += stride) out[i] = *in;
      }
    } else {
      for (uint32_t i = 0; i < count; ++i, in += stride, out += channels) std::memcpy(out, in, channels * sizeof(T));
    }
  }

  template <uint32_t S>
  static void pick_fixed(const T* __restrict in, T* __restrict out, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) out[i] = in[size_t(i) * S];
  }

  uint32_t width_ = 0, height_ = 0, x_step_ = 0, y_step_ = 0, x_offset_ = 0, y_offset_ = 0;
  uint32_t lines_taken_ = 0, lines_made_ = 0, src_height_ = 0;
  uint16_t channels_ = 0;
};
