#include "vek_crop.h"
#include "vek_cropengine.h"

VEK_Engine* VEK_CropWidth1BitIS::engine(VEK_Engine* source, uint32_t x, uint32_t width) {
  if (!check_source(source, "VEK_CropWidth1BitIS::engine()", "core/crop/source/vek_cropwidth1bitis.cpp", __LINE__))
    return nullptr;
  return create_engine<VEK_CropWidth1BitISEngine>(source, x, width);
}
