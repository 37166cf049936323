#include "vek_errorhandler.h"
#include "vek_scaleengine.h"

bool VEK_ScaleHeightEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                     uint32_t height) {
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  const uint64_t bytes = VEK_Header::line_bytes(header->width(), header->bits(), header->channels());
  if (height == 0 || header->height() == 0 || bytes > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleHeightEngine::initiate()",
               "core/scale/source/vek_scaleheightengine.cpp", __LINE__);
    return false;
  }
  out_header_.height(height);
  src_height_ = header->height();
  height_ = height;
  line_bytes_ = uint32_t(bytes);
  step_ = double(src_height_) / double(height_);
  const uint32_t block = line_bytes_ != 0 ? line_bytes_ : 1;
  return src_->block_bytes(block) && dst_->block_bytes(block);
}
