#include "vek_selectchannel.h"
#include "vek_selectchannelengine.h"

VEK_Engine* VEK_SelectNChannel1bit::engine(VEK_Engine* source, uint16_t first, uint16_t count,
                                           const VEK_ColorType* color_type) {
  if (!check_source(source, "VEK_SelectNChannel1bit::engine()", "core/channel/source/vek_selectnchannel1bit.cpp",
                    __LINE__))
    return nullptr;
  const uint16_t channels = source->header()->channels();
  if (channels == 1 || (first == 0 && count == channels)) return source;
  return create_engine<VEK_SelectNChannel1bitEngine>(source, first, count, color_type);
}
