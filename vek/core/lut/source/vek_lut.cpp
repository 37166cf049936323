#include "vek_lut.h"

#include "vek_errorhandler.h"

VEK_Engine* VEK_Lut::engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type) {
  if (!check_source(source, "VEK_Lut::engine()", "core/lut/source/vek_lut.cpp", 48)) return nullptr;
  if (source->header()->data_type() == VEK_DataType::u_integer)
    return VEK_LutU8xNbits(manager_).engine(source, lut, color_type);
  return VEK_LutS8xNbits(manager_).engine(source, lut, color_type);
}
