#include "vek_errorhandler.h"
#include "vek_scaleqkrleengine.h"

bool VEK_ScaleQKRLEEngineBase::start(const VEK_Header* header, uint32_t size, uint32_t src_size, const char* method) {
  constexpr const char* kFile = "core/scale/source/vek_scaleqkrleenginebase.cpp";
  if (size == 0 || src_size == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, method, kFile, __LINE__);
    return false;
  }
  // An output line never holds more runs than its source line.
  const uint64_t block = max_line_bytes(header->width());
  if (!VEK_QKRLEBufferBase::is_qkrle(*header) || block > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, kFile, __LINE__);
    return false;
  }
  if (!dst_->block_bytes(uint32_t(block))) return false;
  buffer_ = VEK_QKRLEBuffer::create(manager_, src_, header);
  return buffer_ != nullptr;
}

bool VEK_ScaleQKRLEEngineBase::terminate() {
  VEK_QKRLEBuffer* buffer = buffer_;
  buffer_ = nullptr;
  const bool ended = vek_destroy(buffer);
  return VEK_ProcessEngine::terminate() && ended;
}
