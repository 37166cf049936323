#include "vek_errorhandler.h"
#include "vek_scaleengine.h"

bool VEK_ScaleWidthEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                    uint32_t width) {
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  const uint64_t src_bytes = VEK_Header::line_bytes(header->width(), header->bits(), header->channels());
  const uint64_t bytes = VEK_Header::line_bytes(width, header->bits(), header->channels());
  if (width == 0 || header->width() == 0 || src_bytes > UINT32_MAX || bytes > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ScaleWidthEngine::initiate()",
               "core/scale/source/vek_scalewidthengine.cpp", __LINE__);
    return false;
  }
  out_header_.width(width);
  src_width_ = header->width();
  width_ = width;
  channels_ = header->channels();
  src_line_bytes_ = uint32_t(src_bytes);
  line_bytes_ = uint32_t(bytes);
  // A format of 0 bits has lines of 0 bytes; the engine's own format check refuses it.
  return src_->block_bytes(src_line_bytes_ != 0 ? src_line_bytes_ : 1) &&
         dst_->block_bytes(line_bytes_ != 0 ? line_bytes_ : 1);
}
