#include "vek_crop.h"

VEK_Engine* VEK_CropWidth::engine(VEK_Engine* source, uint32_t x, uint32_t width) {
  if (!check_source(source, "VEK_CropWidth::engine()", "core/crop/source/vek_cropwidth.cpp", __LINE__)) return nullptr;
  const VEK_Header* header = source->header();
  if (x == 0 && width >= header->width()) return source;
  if (header->bits() != 1) return VEK_CropWidth8xNBits(manager_).engine(source, x, width);
  // Whether column x starts a byte decides between a plain copy and a shifting one.
  if (uint64_t(header->channels()) * x % 8 == 0) return VEK_CropWidth1BitBS(manager_).engine(source, x, width);
  return VEK_CropWidth1BitIS(manager_).engine(source, x, width);
}
