#include "vek_selectchannel.h"

VEK_Engine* VEK_SelectChannel::engine(VEK_Engine* source, uint16_t first, uint16_t count,
                                      const VEK_ColorType* color_type) {
  if (count == 1) return VEK_Select1Channel(manager_).engine(source, first, color_type);
  return VEK_SelectNChannel(manager_).engine(source, first, count, color_type);
}

VEK_Engine* VEK_SelectChannel::engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type) {
  return VEK_Select1Channel(manager_).engine(source, channel, color_type);
}
