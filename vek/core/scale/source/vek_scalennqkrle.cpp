#include "vek_scalennqkrle.h"

#include "vek_scaleqkrleengine.h"

VEK_Engine* VEK_ScaleNNQKRLE::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScaleNNQKRLE::engine()", "core/scale/source/vek_scalennqkrle.cpp", __LINE__))
    return nullptr;
  if (height < source->header()->height())
    return VEK_ScaleWidthNNQKRLE(manager_).engine(VEK_ScaleHeightNNQKRLE(manager_).engine(source, height), width);
  return VEK_ScaleHeightNNQKRLE(manager_).engine(VEK_ScaleWidthNNQKRLE(manager_).engine(source, width), height);
}

VEK_Engine* VEK_ScaleWidthNNQKRLE::engine(VEK_Engine* source, uint32_t width) {
  if (!check_source(source, "VEK_ScaleWidthNNQKRLE::engine()", "core/scale/source/vek_scalennqkrle.cpp", __LINE__))
    return nullptr;
  if (width == source->header()->width() && width != 0) return source;
  return create_engine<VEK_ScaleWidthNNQKRLEEngine>(source, width);
}

VEK_Engine* VEK_ScaleHeightNNQKRLE::engine(VEK_Engine* source, uint32_t height) {
  if (!check_source(source, "VEK_ScaleHeightNNQKRLE::engine()", "core/scale/source/vek_scalennqkrle.cpp", __LINE__))
    return nullptr;
  if (height == source->header()->height() && height != 0) return source;
  return create_engine<VEK_ScaleHeightNNQKRLEEngine>(source, height);
}
