#include "vek_errorhandler.h"
#include "vek_scaleli.h"
#include "vek_scaleliengine.h"
#include "vek_scalelisample.h"

template <class F>
VEK_Engine* VEK_ScaleShrinkLIBy<F>::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  constexpr const char* kMethod = "VEK_ScaleShrinkLIBy::engine()";
  constexpr const char* kFile = "extension/scalefast/source/vek_scaleshrinkliby.cpp";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  const VEK_Header& h = *source->header();
  if (h.width() == width && h.height() == height) return source;
  VEK_Engine* made = nullptr;
  const bool typed = vek_li_with_sample(h, [&](auto sample) {
    made = create_engine<VEK_ScaleShrinkLIEngine<decltype(sample), F>>(source, width, height);
  });
  if (!typed) vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return made;
}

template class VEK_ScaleShrinkLIBy<VEK_FixedRealImpl<int, 12>>;
