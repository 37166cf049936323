#include <cstring>

#include "vek_errorhandler.h"
#include "vek_mergechannelengine.h"

bool VEK_MergeChannel1bitEngine::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                          const VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination,
                                          const VEK_ColorType* color_type) {
  if (!VEK_MergeChannelEngine::initiate(headers, sources, destination, color_type)) return false;
  bool format = headers[0]->data_type() == VEK_DataType::u_integer && headers[0]->bits() == 1;
  for (const VEK_Header* h : headers) format = format && h->channels() == 1;
  if (!format) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_MergeChannel1bitEngine::initiate()",
               "core/channel/source/vek_mergechannel1bitengine.cpp", __LINE__);
    return false;
  }
  return allocate_lines();
}

void VEK_MergeChannel1bitEngine::merge_line(const uint8_t* const* in, uint8_t* out) {
  std::memset(out, 0, dst_->block_bytes());
  const uint32_t n = src_buffer_num();
  uint64_t to = 0;
  for (uint32_t x = 0; x < width_; ++x)
    for (uint32_t i = 0; i < n; ++i, ++to)
      if ((in[i][x >> 3] >> (7 - (x & 7))) & 1u) out[to >> 3] |= uint8_t(0x80u >> (to & 7));
}
