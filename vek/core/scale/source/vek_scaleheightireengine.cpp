#include "vek_errorhandler.h"
#include "vek_scaleireengine.h"
#include "vek_scalennsupport.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleheightireengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleHeightIREEngine::initiate()";
}  // namespace

bool VEK_ScaleHeightIREEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                        uint32_t factor) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  if (!vek_scale_nn_supported(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  // The k copies leave as one block: its size and the height in 64 bits.
  const uint64_t height = uint64_t(header->height()) * factor;
  const uint64_t block = uint64_t(header->line_bytes()) * factor;
  if (factor == 0 || height == 0 || height > UINT32_MAX || block == 0 || block > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  factor_ = factor;
  height_ = uint32_t(height);
  line_bytes_ = header->line_bytes();
  out_header_.height(height_);
  return src_->block_bytes(line_bytes_) && dst_->block_bytes(uint32_t(block));
}

bool VEK_ScaleHeightIREEngine::execute() {
  if (lines_made_ >= height_) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  uint32_t got = 0;
  if (!src_->get(out, &got)) {
    dst_->release(0);
    return false;
  }
  const bool released = src_->release();
  for (uint32_t i = 1; i < factor_; ++i) std::memcpy(out + uint64_t(i) * line_bytes_, out, line_bytes_);
  lines_made_ += factor_;
  return dst_->release(line_bytes_ * factor_) && released;
}
