#pragma once

#include "vek_errorhandler.h"
#include "vek_oppixels.h"
#include "vek_oppixels1engine_templ.h"

// Entries are checked as fully as for wider samples: a direct call may hand in anything.
template <class OPBin>
bool VEK_OpPixels1UnMasked<OPBin>::check_engines(const VEK_Vector<VEK_Engine*>& engines, uint32_t, uint32_t) {
  return check_pair(engines, "VEK_OpPixels1::engine()", "core/operation/source/vek_oppixels1_templ.h", __LINE__);
}

template <class OPBin>
VEK_Engine* VEK_OpPixels1UnMasked<OPBin>::create_engine(const VEK_Vector<const VEK_Header*>& headers,
                                                        const VEK_Vector<VEK_SrcBuffer*>& sources,
                                                        VEK_DstBuffer* destination, uint32_t x, uint32_t y) {
  auto* engine = vek_new<VEK_OpPixels1UnMaskedEngine<OPBin>>(manager_);
  return initiated(engine, engine != nullptr && engine->initiate(headers, sources, destination, x, y));
}
