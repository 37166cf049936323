#include "vek_scale.h"
#include "vek_scaleire.h"
#include "vek_scalennengine.h"

VEK_Engine* VEK_ScaleWidthNN::engine(VEK_Engine* source, uint32_t width) {
  if (!check_source(source, "VEK_ScaleWidthNN::engine()", "core/scale/source/vek_scalewidthnn.cpp", __LINE__))
    return nullptr;
  const uint32_t from = source->header()->width();
  // Zero widths go to the engine, which refuses them before any division.
  if (from != 0 && width != 0) {
    if (width == from) return source;
    if (width % from == 0) return VEK_ScaleWidthIRE(manager_).engine(source, width / from);
  }
  return create_engine<VEK_ScaleWidthNNEngine>(source, width);
}
