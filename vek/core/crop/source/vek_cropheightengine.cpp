#include <algorithm>

#include "vek_cropengine.h"
#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/crop/source/vek_cropheightengine.cpp";
constexpr const char* kInitiate = "VEK_CropHeightEngine::initiate()";

bool supported(const VEK_Header& h) {
  const VEK_DataType* type = h.data_type();
  const uint16_t bits = h.bits();
  return (type == VEK_DataType::u_integer || type == VEK_DataType::s_integer || type == VEK_DataType::floating) &&
         (bits == 1 || bits == 8 || bits == 16 || bits == 32 || bits == 64) && VEK_EncodeType::is_raw(h.encode_type());
}
}  // namespace

bool VEK_CropHeightEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                    uint32_t y, uint32_t height) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  // Before the base's header test, so that a sample kind the crop cannot cut is named as such.
  if (header != nullptr && !supported(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  const uint32_t lines = out_header_.height();
  if (y >= lines || height == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  // Clipped by subtraction: y + height may pass 32 bits.
  line_count_ = std::min(height, lines - y);
  first_line_ = y;
  end_line_ = y + line_count_;
  out_header_.height(line_count_);
  line_bytes_ = out_header_.line_bytes();  // the base has refused a line past 32 bits
  mask_ = vek_last_byte_mask(out_header_);
  return src_->block_bytes(line_bytes_) && dst_->block_bytes(line_bytes_);
}

bool VEK_CropHeightEngine::execute() {
  if (current_ >= end_line_) return false;
  // Lines above are dropped without a copy, all in the first step, which then makes the first
  // line of the rectangle. A source that ends above it ends the crop: the rectangle cannot come.
  while (current_ < first_line_) {
    if (src_->get(nullptr) == nullptr) return false;
    ++current_;
    if (!src_->release()) return false;
  }
  void* out = dst_->get();
  if (out == nullptr) return false;
  if (!src_->get(out, nullptr)) {
    dst_->release(0);
    return false;  // nothing was taken, so nothing is released
  }
  ++current_;
  static_cast<uint8_t*>(out)[line_bytes_ - 1] &= mask_;
  const bool committed = dst_->release(line_bytes_);
  return src_->release() && committed;
}
