#include "vek_crop.h"
#include "vek_cropengine.h"

VEK_Engine* VEK_CropQKRLE::engine(VEK_Engine* source, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_CropQKRLE::engine()", "core/crop/source/vek_cropqkrle.cpp", __LINE__)) return nullptr;
  const VEK_Header* header = source->header();
  if (x == 0 && y == 0 && width >= header->width() && height >= header->height()) return source;
  return create_engine<VEK_CropQKRLEEngine>(source, x, y, width, height);
}
