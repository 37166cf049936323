#include "vek_buffer.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/buffer/source/vek_dstbufferproxy.cpp";
}

bool VEK_DstBufferProxy::attach(VEK_DstBuffer* real) {
  if (real == nullptr) return false;
  if (!real->block_bytes(block_bytes())) return false;
  if (!real->front(this)) return false;
  real_ = real;
  return true;
}

uint32_t VEK_DstBufferProxy::block_bytes() const {
  return real_ != nullptr ? real_->block_bytes() : pending_block_bytes_;
}

bool VEK_DstBufferProxy::block_bytes(uint32_t n) {
  if (real_ != nullptr) return real_->block_bytes(n);
  if (n == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstBufferProxy::block_bytes()", kFile, 80);
    return false;
  }
  pending_block_bytes_ = n;
  return true;
}

bool VEK_DstBufferProxy::terminate() { return real_ == nullptr || real_->destroy(); }

bool VEK_DstBufferProxy::destroy() {
  if (real_ != nullptr) real_->close();
  return VEK_DstBufferImpl::destroy();
}

VEK_Vector<VEK_SrcBuffer*> VEK_DstBufferProxy::src_buffers(uint32_t n) {
  if (real_ == nullptr) return VEK_Vector<VEK_SrcBuffer*>(manager_);
  return real_->create_src_buffer(this, n);
}

VEK_SrcBuffer* VEK_DstBufferProxy::src_buffer() { return real_ != nullptr ? real_->create_src_buffer(this) : nullptr; }

// Every use below comes after attaching; without a real buffer they fail instead of crashing.
#define VEK_PROXY_NEEDS_REAL(result)                                                      \
  if (real_ == nullptr) {                                                                 \
    vek_report(manager_, VEK_ERROR_STATE, "VEK_DstBufferProxy::real()", kFile, __LINE__); \
    return result;                                                                        \
  }

void* VEK_DstBufferProxy::get() {
  VEK_PROXY_NEEDS_REAL(nullptr);
  return real_->get();
}
bool VEK_DstBufferProxy::release(uint32_t n) {
  VEK_PROXY_NEEDS_REAL(false);
  return real_->release(n);
}
uint32_t VEK_DstBufferProxy::src_block_bytes() const { return real_ != nullptr ? real_->src_block_bytes() : 0; }
bool VEK_DstBufferProxy::src_block_bytes(uint32_t n) {
  VEK_PROXY_NEEDS_REAL(false);
  return real_->src_block_bytes(n);
}
bool VEK_DstBufferProxy::src_get(void* buffer, uint32_t offset, uint32_t* n) {
  VEK_PROXY_NEEDS_REAL(false);
  return real_->src_get(buffer, offset, n);
}
const void* VEK_DstBufferProxy::src_get(uint32_t offset, uint32_t* n) {
  VEK_PROXY_NEEDS_REAL(nullptr);
  return real_->src_get(offset, n);
}
bool VEK_DstBufferProxy::src_release(VEK_SrcBuffer* reader, uint32_t offset) {
  VEK_PROXY_NEEDS_REAL(false);
  return real_->src_release(reader, offset);
}
bool VEK_DstBufferProxy::src_end(VEK_SrcBuffer* reader) {
  VEK_PROXY_NEEDS_REAL(false);
  return real_->src_end(reader);
}
