#include "vek_errorhandler.h"
#include "vek_scaleli.h"
#include "vek_scaleliengine.h"
#include "vek_scalelisample.h"

template <class F>
VEK_Engine* VEK_ScaleWidthLIBy<F>::engine(VEK_Engine* source, uint32_t width) {
  constexpr const char* kMethod = "VEK_ScaleWidthLIBy::engine()";
  constexpr const char* kFile = "extension/scalefast/source/vek_scalewidthliby.cpp";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  const VEK_Header& h = *source->header();
  if (h.width() == width) return source;
  if (h.width() == 1) return VEK_ScaleNN(manager_).engine(source, width, h.height());
  VEK_Engine* made = nullptr;
  const bool typed = vek_li_with_sample(
      h, [&](auto sample) { made = create_engine<VEK_ScaleWidthLIEngine<decltype(sample), F>>(source, width); });
  if (!typed) vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return made;
}

template class VEK_ScaleWidthLIBy<VEK_FixedRealImpl<int, 12>>;
