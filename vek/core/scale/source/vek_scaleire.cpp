#include "vek_scaleire.h"
#include "vek_errorhandler.h"
#include "vek_scaleireengine.h"

VEK_Engine* VEK_ScaleWidthIRE::engine(VEK_Engine* source, uint32_t factor) {
  if (!check_source(source, "VEK_ScaleWidthIRE::engine()", "core/scale/source/vek_scaleire.cpp", __LINE__))
    return nullptr;
  if (source->header()->bits() == 1) return VEK_ScaleWidthIRE1Bit(manager_).engine(source, factor);
  return VEK_ScaleWidthIRE8xNBits(manager_).engine(source, factor);
}

VEK_Engine* VEK_ScaleWidthIRE8xNBits::engine(VEK_Engine* source, uint32_t factor) {
  constexpr const char* kMethod = "VEK_ScaleWidthIRE8xNBits::engine()";
  if (!check_source(source, kMethod, "core/scale/source/vek_scaleire.cpp", __LINE__)) return nullptr;
  if (factor == 1) return source;
  const VEK_Header* h = source->header();
  if (h->data_type() == VEK_DataType::u_integer) {
    if (h->bits() == 8) return create_engine<VEK_ScaleWidthIRE8xNBitsEngine<unsigned char>>(source, factor);
    if (h->bits() == 16) return create_engine<VEK_ScaleWidthIRE8xNBitsEngine<unsigned short>>(source, factor);
  } else if (h->data_type() == VEK_DataType::s_integer) {
    if (h->bits() == 8) return create_engine<VEK_ScaleWidthIRE8xNBitsEngine<signed char>>(source, factor);
    if (h->bits() == 16) return create_engine<VEK_ScaleWidthIRE8xNBitsEngine<short>>(source, factor);
  }
  vek_report(manager_, VEK_ERROR_FORMAT, kMethod, "core/scale/source/vek_scaleire.cpp", __LINE__);
  return nullptr;
}

VEK_Engine* VEK_ScaleWidthIRE1Bit::engine(VEK_Engine* source, uint32_t factor) {
  if (!check_source(source, "VEK_ScaleWidthIRE1Bit::engine()", "core/scale/source/vek_scaleire.cpp", __LINE__))
    return nullptr;
  if (factor == 1) return source;
  return create_engine<VEK_ScaleWidthIRE1BitEngine>(source, factor);
}

VEK_Engine* VEK_ScaleHeightIRE::engine(VEK_Engine* source, uint32_t factor) {
  if (!check_source(source, "VEK_ScaleHeightIRE::engine()", "core/scale/source/vek_scaleire.cpp", __LINE__))
    return nullptr;
  if (factor == 1) return source;
  return create_engine<VEK_ScaleHeightIREEngine>(source, factor);
}
