#include <algorithm>

#include "vek_cropengine.h"
#include "vek_errorhandler.h"

bool VEK_CropWidthEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                   uint32_t x, uint32_t width) {
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  const uint32_t columns = out_header_.width();
  if (x >= columns || width == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_CropWidthEngine::initiate()",
               "core/crop/source/vek_cropwidthengine.cpp", __LINE__);
    return false;
  }
  // Clipped by subtraction: x + width may pass 32 bits.
  const uint32_t kept = std::min(width, columns - x);
  out_header_.width(kept);
  first_column_ = x;
  // Both lie within a source line, whose size the base has checked to fit 32 bits.
  const uint64_t sample_bits = uint64_t(out_header_.channels()) * out_header_.bits();
  line_bytes_ = uint32_t(VEK_Header::line_bytes(kept, out_header_.bits(), out_header_.channels()));
  byte_offset_ = uint32_t(sample_bits * x / 8);
  return dst_->block_bytes(line_bytes_);
}
