#include "vek_crop.h"

#include "vek_errorhandler.h"

VEK_Engine* VEK_Crop::engine(VEK_Engine* source, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_Crop::engine()", "core/crop/source/vek_crop.cpp", __LINE__)) return nullptr;
  if (source->header()->encode_type() == VEK_EncodeType_qk_rle::instance())
    return VEK_CropQKRLE(manager_).engine(source, x, y, width, height);
  // Rows first: the column copy then touches only the kept lines. A failed row crop leaves the
  // column crop a null source, whose report gives way to the first one.
  return VEK_CropWidth(manager_).engine(VEK_CropHeight(manager_).engine(source, y, height), x, width);
}
