#include "vek_errorhandler.h"
#include "vek_scaleli.h"
#include "vek_scaleliengine.h"

namespace {
constexpr const char* kMethod = "VEK_ScaleLIMapBy::engine()";
constexpr const char* kFile = "extension/scalefast/source/vek_scalelimapby.cpp";
}  // namespace

template <class F>
bool VEK_ScaleLIMapBy<F>::accepts(const VEK_Header& h, uint32_t width, uint32_t height) {
  return vek_li_detail::li_supported(h, 16) && h.channels() == 1 && width >= h.width() && height >= h.height() &&
         h.width() != 0 && h.height() != 0;
}

template <class F>
VEK_Engine* VEK_ScaleLIMapBy<F>::engine(VEK_Engine* source, uint32_t width, uint32_t height, double slope,
                                        double intercept, bool complement, const VEK_ColorType* color_type) {
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  if (!accepts(*source->header(), width, height)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  // The width pass runs even at the same width: it takes the lines in offset form.
  const bool offset = source->header()->data_type() == VEK_DataType::s_integer;
  VEK_Engine* wide = create_engine<VEK_ScaleWidthLIEngine<unsigned short, F>>(source, width, offset);
  if (wide == nullptr) return nullptr;
  return create_engine<VEK_ScaleHeightLIMapEngine>(wide, height, slope, intercept, complement, color_type);
}

template class VEK_ScaleLIMapBy<VEK_FixedRealImpl<int, 12>>;
