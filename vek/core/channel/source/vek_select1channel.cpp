#include "vek_errorhandler.h"
#include "vek_selectchannel.h"

VEK_Engine* VEK_Select1Channel::engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type) {
  constexpr const char* kMethod = "VEK_Select1Channel::engine()";
  constexpr const char* kFile = "core/channel/source/vek_select1channel.cpp";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  const VEK_Header* header = source->header();
  if (header->channels() == 1) return source;
  if (header->bits() == 1) return VEK_Select1Channel1bit(manager_).engine(source, channel, color_type);
  if (header->bits() != 0 && header->bits() % 8 == 0)
    return VEK_Select1Channel8xNbits(manager_).engine(source, channel, color_type);
  vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return nullptr;
}
