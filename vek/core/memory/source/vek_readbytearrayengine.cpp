#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_readbytearrayengine.cpp";
}  // namespace

bool VEK_ReadByteArrayEngine::initiate(const VEK_Header* header, VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ReadByteArrayEngine::initiate()", kFile, 68);
    return false;
  }
  if (!VEK_BufferOutputEngine::initiate(header, destination)) return false;
  const bool raw = VEK_EncodeType::is_raw(header->encode_type());
  return dst_->block_bytes(raw ? out_header_.line_bytes() : manager_->block_bytes());
}

// Every read of the chain is served by the buffer straight from the array.
bool VEK_ReadByteArrayEngine::execute() {
  vek_report(manager_, VEK_ERROR_STATE, "VEK_ReadByteArrayEngine::execute()", kFile, 35);
  return false;
}
