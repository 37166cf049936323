#pragma once
// Reads the lines of a run-length source one after another, the runs read in place in the
// source's blocks and only the current line's runs kept.

#include <cstdint>

#include "vek_buffer.h"
#include "vek_errorhandler.h"
#include "vek_header.h"
#include "vek_object.h"
#include "vek_qkrle.h"

template <class Run, class RunVector>
class VEK_QKRLELineBase : public VEK_Object {
 protected:
  static constexpr const char* kFile = "core/include/vek_qkrlelinebase.h";

 public:
  explicit VEK_QKRLELineBase(VEK_Manager* manager) : VEK_Object(manager), runs_(manager) {}

  bool terminate() override {
    source_ = nullptr;
    block_ = nullptr;
    block_position_ = 0;
    block_runs_ = 0;
    return true;
  }

  // Blocks of the longest line of the width; a width whose longest line passes 32 bits is refused.
  virtual bool initiate(VEK_SrcBuffer* source, const VEK_Header* header) {
    if (source == nullptr || header == nullptr) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_QKRLELineBase::initiate()", kFile, __LINE__);
      return false;
    }
    const uint64_t block = max_line_bytes(header->width());
    if (!is_supported(header) || block > UINT32_MAX) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_QKRLELineBase::initiate()", kFile, __LINE__);
      return false;
    }
    source_ = source;
    width_ = header->width();
    if (!source_->block_bytes(uint32_t(block))) return false;
    return depend(source_);
  }

  virtual bool is_supported(const VEK_Header*) { return true; }

  // The next line into runs(). False at the end of the data or on a block or run that breaks
  // the format: runs must satisfy start <= end <= width and start two or more columns past the
  // previous run's end, which also bounds a line without a marker to (width + 2) / 2 runs.
  bool get_next_line() {
    runs_.clear();
    if (source_ == nullptr) return false;
    uint64_t next_start = 0;
    for (;;) {
      if (block_position_ >= block_runs_) {
        if (block_ != nullptr) {
          block_ = nullptr;
          if (!source_->release()) return false;
        }
        uint32_t bytes = 0;
        const void* block = source_->get(&bytes);
        if (block == nullptr) return false;
        block_ = static_cast<const uint8_t*>(block);
        block_position_ = 0;
        block_runs_ = 0;
        if (bytes % sizeof(Run) != 0) {
          vek_report(manager_, VEK_ERROR_DATA, "VEK_QKRLELineBase::get_next_line() - invalid src_buffer's block bytes.",
                     kFile, __LINE__);
          return false;
        }
        block_runs_ = bytes / uint32_t(sizeof(Run));
        if (block_runs_ == 0) return false;
      }
      const VEK_QKRLERun r = vek_qkrle_load(block_ + uint64_t(block_position_) * sizeof(Run));
      ++block_position_;
      if (r.is_end()) return true;
      if (r.start < next_start || r.start > r.end || r.end > width_) {
        vek_report(manager_, VEK_ERROR_DATA, "VEK_QKRLELineBase::get_next_line()", kFile, __LINE__);
        return false;
      }
      next_start = uint64_t(r.end) + 2;
      if (!runs_.add_run(r.start, r.end)) return false;
    }
  }

  RunVector& runs() { return runs_; }

 protected:
  RunVector runs_;
  VEK_SrcBuffer* source_ = nullptr;
  const uint8_t* block_ = nullptr;
  uint32_t block_position_ = 0;
  uint32_t block_runs_ = 0;
  uint32_t width_ = 0;
};

class VEK_QKRLELine : public VEK_QKRLELineBase<VEK_QKRLERun, VEK_QKRLERunVector> {
 public:
  using VEK_QKRLELineBase::VEK_QKRLELineBase;

  // Made, initiated and marked created; null after a reported failure.
  static VEK_QKRLELine* create(VEK_Manager* manager, VEK_SrcBuffer* source, const VEK_Header* header) {
    return vek_create<VEK_QKRLELine>(manager, source, header);
  }

  // 1 channel, 1 bit, qk_rle; the data type is not looked at.
  bool is_supported(const VEK_Header* header) override {
    return header->channels() == 1 && header->bits() == 1 && header->encode_type() == VEK_EncodeType_qk_rle::instance();
  }
};
