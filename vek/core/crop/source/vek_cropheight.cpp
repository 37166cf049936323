#include "vek_crop.h"
#include "vek_cropengine.h"

VEK_Engine* VEK_CropHeight::engine(VEK_Engine* source, uint32_t y, uint32_t height) {
  if (!check_source(source, "VEK_CropHeight::engine()", "core/crop/source/vek_cropheight.cpp", __LINE__))
    return nullptr;
  if (y == 0 && height >= source->header()->height()) return source;
  return create_engine<VEK_CropHeightEngine>(source, y, height);
}
