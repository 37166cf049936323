#include "vek_errorhandler.h"
#include "vek_selectchannelengine.h"

bool VEK_SelectNChannel8xNbitsEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                               VEK_DstBuffer* destination, uint16_t first, uint16_t count,
                                               const VEK_ColorType* color_type) {
  return select(header, source, destination, first, count, color_type, false, false,
                {"VEK_SelectNChannel8xNbitsEngine::initiate()",
                 "core/channel/source/vek_selectnchannel8xnbitsengine.cpp", __LINE__});
}
