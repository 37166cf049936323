#include "vek_errorhandler.h"
#include "vek_scaleli.h"
#include "vek_scaleliengine.h"
#include "vek_scalelisample.h"

template <class F>
VEK_Engine* VEK_ScaleHeightLIBy<F>::engine(VEK_Engine* source, uint32_t height) {
  constexpr const char* kMethod = "VEK_ScaleHeightLIBy::engine()";
  constexpr const char* kFile = "extension/scalefast/source/vek_scaleheightliby.cpp";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  const VEK_Header& h = *source->header();
  if (h.height() == height) return source;
  if (h.height() == 1) return VEK_ScaleNN(manager_).engine(source, h.width(), height);
  VEK_Engine* made = nullptr;
  const bool typed = vek_li_with_sample(
      h, [&](auto sample) { made = create_engine<VEK_ScaleHeightLIEngine<decltype(sample), F>>(source, height); });
  if (!typed) vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return made;
}

template class VEK_ScaleHeightLIBy<VEK_FixedRealImpl<int, 12>>;
