#include "vek_cropengine.h"
#include "vek_errorhandler.h"
#include "vek_memory.h"

bool VEK_CropWidth1BitEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                       uint32_t x, uint32_t width) {
  if (header != nullptr && header->bits() != 1) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_CropWidth1BitEngine::initiate()",
               "core/crop/source/vek_cropwidth1bitengine.cpp", __LINE__);
    return false;
  }
  if (!VEK_CropWidthEngine::initiate(header, source, destination, x, width)) return false;
  mask_ = vek_last_byte_mask(out_header_);
  return true;
}
