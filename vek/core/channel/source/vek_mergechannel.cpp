#include "vek_mergechannel.h"

#include "vek_errorhandler.h"

VEK_Engine* VEK_MergeChannel::engine(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type) {
  if (engines.empty() || engines[0] == nullptr || engines[0]->header() == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MergeChannel::engine()", "core/channel/source/vek_mergechannel.cpp",
               50);
    return nullptr;
  }
  if (engines.size() == 1) return engines[0];
  if (engines[0]->header()->bits() == 1) return VEK_MergeChannel1bit(manager_).engine(engines, color_type);
  return VEK_MergeChannel8xNbits(manager_).engine(engines, color_type);
}
