#pragma once
// Whole-factor replication engines.

#include <cstdint>
#include <cstring>

#include "vek_engine.h"
#include "vek_errorhandler.h"

// Every source pixel written k times, all its channels together.
template <class T>
class VEK_ScaleWidthIRE8xNBitsEngine : public VEK_ProcessLineToLineEngine {
  static constexpr const char* kFile = "core/scale/source/vek_scaleireengine.h";
  static constexpr const char* kInitiate = "VEK_ScaleWidthIRE8xNBitsEngine::initiate()";

 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t factor) {
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
      return false;
    }
    if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
    if ((header->data_type() != VEK_DataType::u_integer && header->data_type() != VEK_DataType::s_integer) ||
        header->bits() != sizeof(T) * 8 || header->channels() == 0) {
      vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
      return false;
    }
    const uint64_t width = uint64_t(header->width()) * factor;
    if (factor == 0 || width == 0 || width > UINT32_MAX ||
        VEK_Header::line_bytes(uint32_t(width), header->bits(), header->channels()) > UINT32_MAX) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
      return false;
    }
    factor_ = factor;
    src_width_ = header->width();
    channels_ = header->channels();
    out_header_.width(uint32_t(width));
    return dst_->block_bytes(out_header_.line_bytes());
  }

  bool process_line(const void* source_line, void* destination_line) override {
    const T* in = static_cast<const T*>(source_line);
    T* out = static_cast<T*>(destination_line);
    const uint32_t k = factor_;
    if (channels_ == 1) {
      if (k == 2) {
        for (uint32_t p = 0; p < src_width_; ++p, out += 2) out[0] = out[1] = in[p];
      } else {
        for (uint32_t p = 0; p < src_width_; ++p)
          for (uint32_t j = 0; j < k; ++j) *out++ = in[p];
      }
    } else if (channels_ == 3) {
      for (uint32_t p = 0; p < src_width_; ++p, in += 3)
        for (uint32_t j = 0; j < k; ++j, out += 3) std::memcpy(out, in, 3 * sizeof(T));
    } else if (channels_ == 4) {
      for (uint32_t p = 0; p < src_width_; ++p, in += 4)
        for (uint32_t j = 0; j < k; ++j, out += 4) std::memcpy(out, in, 4 * sizeof(T));
    } else {
      for (uint32_t p = 0; p < src_width_; ++p, in += channels_)
        for (uint32_t j = 0; j < k; ++j, out += channels_) std::memcpy(out, in, channels_ * sizeof(T));
    }
    return true;
  }

 private:
  uint32_t factor_ = 0, src_width_ = 0;
  uint16_t channels_ = 0;
};

// 1-bit lines expanded in place inside the destination line, byte by byte through a table.
class VEK_ScaleWidthIRE1BitEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t factor);
  bool execute() override;
  bool terminate() override;

 private:
  uint32_t factor_ = 0, src_width_ = 0, src_line_bytes_ = 0, line_bytes_ = 0;
  uint8_t* table_ = nullptr;  // entry v: k bytes, each bit of v repeated k times
};

// Each source line read once and written k times as one block.
class VEK_ScaleHeightIREEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t factor);
  bool execute() override;

 private:
  uint32_t factor_ = 0, height_ = 0, lines_made_ = 0, line_bytes_ = 0;
};
