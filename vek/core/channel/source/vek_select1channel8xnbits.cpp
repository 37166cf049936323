#include "vek_selectchannel.h"
#include "vek_selectchannelengine.h"

VEK_Engine* VEK_Select1Channel8xNbits::engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type) {
  if (!check_source(source, "VEK_Select1Channel8xNbits::engine()", "core/channel/source/vek_select1channel8xnbits.cpp",
                    __LINE__))
    return nullptr;
  if (source->header()->channels() == 1) return source;
  return create_engine<VEK_Select1Channel8xNbitsEngine>(source, channel, color_type);
}
