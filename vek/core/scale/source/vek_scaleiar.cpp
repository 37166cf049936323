#include "vek_errorhandler.h"
#include "vek_scaleiar.h"
#include "vek_scaleiarengine_templ.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleiar.cpp";
}

VEK_Engine* VEK_ScaleIAR::engine(VEK_Engine* source, uint32_t x_factor, uint32_t y_factor) {
  return VEK_ScaleWidthIAR(manager_).engine(VEK_ScaleHeightIAR(manager_).engine(source, y_factor), x_factor);
}

VEK_Engine* VEK_ScaleWidthIAR::engine(VEK_Engine* source, uint32_t factor) {
  constexpr const char* kMethod = "VEK_ScaleWidthIAR::engine()";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  if (factor == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  if (factor == 1) return source;
  const VEK_Header* h = source->header();
  const uint32_t width = h->width() / factor != 0 ? h->width() / factor : 1;
  if (h->bits() == 8) return create_engine<VEK_ScaleWidthIAREngine<unsigned char>>(source, width);
  if (h->bits() == 16) return create_engine<VEK_ScaleWidthIAREngine<unsigned short>>(source, width);
  vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return nullptr;
}

VEK_Engine* VEK_ScaleHeightIAR::engine(VEK_Engine* source, uint32_t factor) {
  constexpr const char* kMethod = "VEK_ScaleHeightIAR::engine()";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  if (factor == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  if (factor == 1) return source;
  const VEK_Header* h = source->header();
  const uint32_t height = h->height() / factor != 0 ? h->height() / factor : 1;
  if (h->bits() == 8) return create_engine<VEK_ScaleHeightIAREngine<unsigned char>>(source, height);
  if (h->bits() == 16) return create_engine<VEK_ScaleHeightIAREngine<unsigned short>>(source, height);
  vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return nullptr;
}
