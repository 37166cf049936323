#include "vek_errorhandler.h"
#include "vek_selectchannelengine.h"

bool VEK_SelectNChannel1bitEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            uint16_t first, uint16_t count, const VEK_ColorType* color_type) {
  return select(
      header, source, destination, first, count, color_type, false, true,
      {"VEK_SelectNChannel1bitEngine::initiate()", "core/channel/source/vek_selectnchannel1bitengine.cpp", __LINE__});
}
