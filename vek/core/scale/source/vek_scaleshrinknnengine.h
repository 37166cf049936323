#pragma once
// Both dimensions shrunk in one pass by position tables; unsigned char also carries 1-bit images.

#include <cstdint>
#include <cstring>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_scalennsupport.h"

template <class T>
class VEK_ScaleShrinkNNEngine : public VEK_ProcessEngine {
  static constexpr const char* kFile = "core/scale/source/vek_scaleshrinknnengine.h";
  static constexpr const char* kInitiate = "VEK_ScaleShrinkNNEngine::initiate()";

 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width,
                uint32_t height) {
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
      return false;
    }
    if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
    if (!vek_scale_nn_supported(*header) || (header->bits() != 1 && header->bits() != sizeof(T) * 8)) {
      vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
      return false;
    }
    const uint64_t line = VEK_Header::line_bytes(width, header->bits(), header->channels());
    if (width == 0 || height == 0 || header->width() == 0 || header->height() == 0 || line > UINT32_MAX ||
        header->line_bytes() == 0) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
      return false;
    }
    bits_ = header->bits();
    channels_ = header->channels();
    width_ = width;
    height_ = height;
    src_height_ = header->height();
    line_bytes_ = uint32_t(line);
    y_step_ = double(src_height_) / double(height_);
    y_position_ = y_step_ * 0.5;
    out_header_.width(width);
    out_header_.height(height);
    table_ = vek_scale_position_table(manager_, header->width(), width, bits_ == 1 ? 1 : channels_, kInitiate, kFile,
                                      __LINE__);
    return table_ != nullptr && src_->block_bytes(header->line_bytes()) && dst_->block_bytes(line_bytes_);
  }

  bool terminate() override {
    manager_->free(table_);
    table_ = nullptr;
    return VEK_ProcessEngine::terminate();
  }

  bool execute() override {
    if (lines_made_ >= height_) return false;
    const uint32_t last = src_height_ - 1;
    const uint32_t t = y_position_ >= double(last) ? last : uint32_t(y_position_);
    const T* in = nullptr;
    T* out = nullptr;
    if (!vek_scale_take_line(src_, dst_, lines_taken_, t, in, out)) return false;
    ++lines_made_;
    y_position_ += y_step_;
    if (bits_ == 1) {
      vek_scale_pick_bits(reinterpret_cast<const uint8_t*>(in), table_, width_, reinterpret_cast<uint8_t*>(out));
    } else if (channels_ == 1) {
      for (uint32_t i = 0; i < width_; ++i) out[i] = in[table_[i]];
    } else if (channels_ == 3) {
      for (uint32_t i = 0; i < width_; ++i, out += 3) std::memcpy(out, in + table_[i], 3 * sizeof(T));
    } else if (channels_ == 4) {
      for (uint32_t i = 0; i < width_; ++i, out += 4) std::memcpy(out, in + table_[i], 4 * sizeof(T));
    } else {
      for (uint32_t i = 0; i < width_; ++i, out += channels_) std::memcpy(out, in + table_[i], channels_ * sizeof(T));
    }
    const bool released = src_->release();
    return dst_->release(line_bytes_) && released;
  }

 private:
  uint32_t* table_ = nullptr;  // sample offset of each output pixel, bit offset at 1 bit
  uint16_t bits_ = 0, channels_ = 0;
  uint32_t width_ = 0, height_ = 0, src_height_ = 0, line_bytes_ = 0;
  double y_position_ = 0, y_step_ = 0;
  uint32_t lines_taken_ = 0, lines_made_ = 0;
};
