#include "vek_scaleli.h"

template <class F>
VEK_Engine* VEK_ScaleLIFastBy<F>::engine(VEK_Engine* source, uint32_t width, uint32_t height) {
  if (!check_source(source, "VEK_ScaleLIFastBy::engine()", "extension/scalefast/source/vek_scalelifastby.cpp",
                    __LINE__))
    return nullptr;
  return VEK_ScaleLIBy<F>(manager_).engine(source, width, height);
}

template class VEK_ScaleLIFastBy<VEK_FixedRealImpl<int, 12>>;
