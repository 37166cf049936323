#include "vek_errorhandler.h"
#include "vek_selectchannelengine.h"

bool VEK_Select1Channel1bitEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            uint16_t channel, const VEK_ColorType* color_type) {
  return select(
      header, source, destination, channel, 1, color_type, true, true,
      {"VEK_Select1Channel1bitEngine::initiate()", "core/channel/source/vek_select1channel1bitengine.cpp", __LINE__});
}
