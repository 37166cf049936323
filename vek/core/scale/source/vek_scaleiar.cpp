#include "vek_scaleiar.h"
#include "vek_errorhandler.h"
#include "vek_scaleiarengine_templ.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleiar.cpp";
}

VEK_Engine* VEK_ScaleIAR::engine(VEK_Engine* source, uint32_t x_factor, uint32_t y_factor) {
  return VEK_ScaleWidthIAR(manager_).engine(VEK_ScaleHeightIAR(manager_).engine(source, y_factor), x_factor);
}

// One pass of either direction: size is the source's width or height, reduced by the factor to
// at least 1; engine E of the sample type does the averaging.
template <template <class> class E>
VEK_Engine* VEK_ScaleIARPass::pass(VEK_Engine* source, uint32_t factor, bool width, const char* method) {
  if (!check_source(source, method, kFile, __LINE__)) return nullptr;
  if (factor == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, method, kFile, __LINE__);
    return nullptr;
  }
  if (factor == 1) return source;
  const VEK_Header* h = source->header();
  const uint32_t from = width ? h->width() : h->height();
  const uint32_t size = from / factor != 0 ? from / factor : 1;
  if (h->bits() == 8) return create_engine<E<unsigned char>>(source, size);
  if (h->bits() == 16) return create_engine<E<unsigned short>>(source, size);
  vek_report(manager_, VEK_ERROR_FORMAT, method, kFile, __LINE__);
  return nullptr;
}

VEK_Engine* VEK_ScaleWidthIAR::engine(VEK_Engine* source, uint32_t factor) {
  return pass<VEK_ScaleWidthIAREngine>(source, factor, true, "VEK_ScaleWidthIAR::engine()");
}

VEK_Engine* VEK_ScaleHeightIAR::engine(VEK_Engine* source, uint32_t factor) {
  return pass<VEK_ScaleHeightIAREngine>(source, factor, false, "VEK_ScaleHeightIAR::engine()");
}
