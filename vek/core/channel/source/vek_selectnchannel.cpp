#include "vek_errorhandler.h"
#include "vek_selectchannel.h"

VEK_Engine* VEK_SelectNChannel::engine(VEK_Engine* source, uint16_t first, uint16_t count,
                                       const VEK_ColorType* color_type) {
  constexpr const char* kMethod = "VEK_SelectNChannel::engine()";
  constexpr const char* kFile = "core/channel/source/vek_selectnchannel.cpp";
  if (!check_source(source, kMethod, kFile, __LINE__)) return nullptr;
  const VEK_Header* header = source->header();
  if (header->channels() == 1 || (first == 0 && count == header->channels())) return source;
  if (header->bits() == 1) return VEK_SelectNChannel1bit(manager_).engine(source, first, count, color_type);
  if (header->bits() != 0 && header->bits() % 8 == 0)
    return VEK_SelectNChannel8xNbits(manager_).engine(source, first, count, color_type);
  vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
  return nullptr;
}
