#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_RewriteHeaderEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                       const VEK_Header* new_header) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_RewriteHeaderEngine::initiate()",
               "framework/engine/source/vek_rewriteheaderengine.cpp", 45);
    return false;
  }
  if (!VEK_NopEngine::initiate(header, source, destination) || new_header == nullptr) return false;
  bool result = true;
  if (VEK_EncodeType::is_raw(new_header->encode_type())) {
    const uint32_t line = new_header->line_bytes();
    result = src_->block_bytes(line) && dst_->block_bytes(line);
  }
  return (out_header_ = *new_header) && result;
}
