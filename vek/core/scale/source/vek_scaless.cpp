#include "vek_scale.h"
#include "vek_scalessengine.h"

VEK_Engine* VEK_ScaleSS::engine(VEK_Engine* source, uint32_t x_step, uint32_t y_step, uint32_t x_offset,
                                uint32_t y_offset) {
  if (!check_source(source, "VEK_ScaleSS::engine()", "core/scale/source/vek_scaless.cpp", __LINE__)) return nullptr;
  if (x_step == 1 && y_step == 1 && x_offset == 0 && y_offset == 0) return source;
  const VEK_Header* h = source->header();
  const uint16_t bits = h->bits();
  if (h->data_type() == VEK_DataType::u_integer) {
    if (bits == 8) return create_engine<VEK_ScaleSSEngine<unsigned char>>(source, x_step, y_step, x_offset, y_offset);
    if (bits == 16) return create_engine<VEK_ScaleSSEngine<unsigned short>>(source, x_step, y_step, x_offset, y_offset);
    return create_engine<VEK_ScaleSSEngine<unsigned int>>(source, x_step, y_step, x_offset, y_offset);
  }
  if (h->data_type() == VEK_DataType::s_integer) {
    if (bits == 8) return create_engine<VEK_ScaleSSEngine<signed char>>(source, x_step, y_step, x_offset, y_offset);
    if (bits == 16) return create_engine<VEK_ScaleSSEngine<short>>(source, x_step, y_step, x_offset, y_offset);
    return create_engine<VEK_ScaleSSEngine<int>>(source, x_step, y_step, x_offset, y_offset);
  }
  if (bits == 32) return create_engine<VEK_ScaleSSEngine<float>>(source, x_step, y_step, x_offset, y_offset);
  return create_engine<VEK_ScaleSSEngine<double>>(source, x_step, y_step, x_offset, y_offset);
}
