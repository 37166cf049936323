#include "vek_opnotengine.h"

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/operation/source/vek_opnotengine.cpp";
}

bool VEK_OpNotEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_OpNotEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  const uint16_t bits = out_header_.bits();
  if ((bits != 1 && bits != 8 && bits != 16) || out_header_.data_type() != VEK_DataType::u_integer ||
      !out_header_.palette().empty()) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_OpNotEngine::initiate()", kFile, 56);
    return false;
  }
  line_bytes_ = out_header_.line_bytes();
  return dst_->block_bytes(line_bytes_);
}

// Whole bytes: on 1-bit lines the bits past the last pixel are inverted too.
bool VEK_OpNotEngine::process_line(const void* source_line, void* destination_line) {
  const uint8_t* in = static_cast<const uint8_t*>(source_line);
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  for (uint32_t i = 0; i < line_bytes_; ++i) out[i] = uint8_t(~in[i]);
  return true;
}
