#include "vek_mergechannel.h"
#include "vek_mergechannelengine.h"

VEK_Engine* VEK_MergeChannel1bit::engine(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type) {
  return merge(
      engines, color_type, "VEK_MergeChannel1bit::engine()", "core/channel/source/vek_mergechannel1bit.cpp", __LINE__,
      [&](const VEK_Header*) -> VEK_MergeChannelEngine* { return vek_new<VEK_MergeChannel1bitEngine>(manager_); });
}
