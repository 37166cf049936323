#pragma once

#include "vek_errorhandler.h"
#include "vek_oppixels.h"
#include "vek_oppixels8xnbitsengine_templ.h"

template <class OPBin, class T>
bool VEK_OpPixels8xNBitsUnMasked<OPBin, T>::check_engines(const VEK_Vector<VEK_Engine*>& engines, uint32_t, uint32_t) {
  return check_pair(engines, "VEK_OpPixels8xNBits::engine()", "core/operation/source/vek_oppixels8xnbits_templ.h",
                    __LINE__);
}

template <class OPBin, class T>
VEK_Engine* VEK_OpPixels8xNBitsUnMasked<OPBin, T>::create_engine(const VEK_Vector<const VEK_Header*>& headers,
                                                                 const VEK_Vector<VEK_SrcBuffer*>& sources,
                                                                 VEK_DstBuffer* destination, uint32_t x, uint32_t y) {
  auto* engine = vek_new<VEK_OpPixels8xNBitsUnMaskedEngine<OPBin, T>>(manager_);
  return initiated(engine, engine != nullptr && engine->initiate(headers, sources, destination, x, y));
}
