#include "vek_errorhandler.h"
#include "vek_scale.h"
#include "vek_scaleshrinknnengine.h"

VEK_Engine* VEK_ScaleShrinkNN::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  constexpr const char* kFile = "core/scale/source/vek_scaleshrinknn.cpp";
  if (!check_source(source, "VEK_ScaleShrinkNN::engine()", kFile, __LINE__)) return nullptr;
  const VEK_Header* h = source->header();
  if (width == h->width() && height == h->height() && width != 0 && height != 0) return source;
  const uint16_t bits = h->bits();
  if (h->data_type() == VEK_DataType::u_integer) {
    if (bits == 8 || bits == 1) return create_engine<VEK_ScaleShrinkNNEngine<unsigned char>>(source, width, height);
    if (bits == 16) return create_engine<VEK_ScaleShrinkNNEngine<unsigned short>>(source, width, height);
  } else if (h->data_type() == VEK_DataType::s_integer) {
    if (bits == 8) return create_engine<VEK_ScaleShrinkNNEngine<signed char>>(source, width, height);
    if (bits == 16) return create_engine<VEK_ScaleShrinkNNEngine<short>>(source, width, height);
  }
  vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleShrinkNN::engine()", kFile, __LINE__);
  return nullptr;
}
