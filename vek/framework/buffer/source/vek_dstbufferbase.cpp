#include "vek_buffer.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/buffer/source/vek_dstbufferbase.cpp";
}

bool VEK_DstBufferBase::block_bytes(uint32_t n) {
  if (state_ != kNew) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_DstBufferBase::block_bytes()", kFile, 69);
    return false;
  }
  if (n == 0 || n > total_) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstBufferBase::block_bytes()", kFile, 75);
    return false;
  }
  block_bytes_ = n;
  return true;
}

bool VEK_DstBufferBase::src_block_bytes(uint32_t n) {
  if (n == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstBufferBase::src_block_bytes()", kFile, 107);
    return false;
  }
  src_block_bytes_ = n;
  state_ = kStarted;
  return true;
}

bool VEK_DstBufferBase::initiate(uint32_t total) {
  total_ = total;
  if (total == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstBufferBase::initiate()", kFile, 192);
    return false;
  }
  return true;
}

bool VEK_DstBufferBase::close() {
  state_ = kClosed;
  return true;
}

bool VEK_DstBufferBase::front(VEK_DstBuffer* front) {
  front_ = front;
  return true;
}
