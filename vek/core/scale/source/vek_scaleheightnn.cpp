#include "vek_scale.h"
#include "vek_scaleire.h"
#include "vek_scalennengine.h"

VEK_Engine* VEK_ScaleHeightNN::engine(VEK_Engine* source, uint32_t height) {
  if (!check_source(source, "VEK_ScaleHeightNN::engine()", "core/scale/source/vek_scaleheightnn.cpp", __LINE__))
    return nullptr;
  const uint32_t from = source->header()->height();
  // Zero heights go to the engine, which refuses them before any division.
  if (from != 0 && height != 0) {
    if (height == from) return source;
    if (height % from == 0) return VEK_ScaleHeightIRE(manager_).engine(source, height / from);
  }
  return create_engine<VEK_ScaleHeightNNEngine>(source, height);
}
