#include "vek_buffer.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/buffer/source/vek_srcbufferimpl.cpp";
}

bool VEK_SrcBufferImpl::initiate(VEK_DstBuffer* destination) {
  if (destination == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_SrcBufferImpl::initiate()", kFile, 167);
    return false;
  }
  destination_ = destination;
  if (!block_bytes(destination->block_bytes())) return false;
  return depend(destination);
}

// A reader that never finished its initiate was never registered with its destination.
bool VEK_SrcBufferImpl::terminate() { return destination_ == nullptr || !created_ || destination_->src_end(this); }

uint32_t VEK_SrcBufferImpl::block_bytes() const {
  return destination_ != nullptr ? destination_->src_block_bytes() : 0;
}

bool VEK_SrcBufferImpl::block_bytes(uint32_t n) {
  if (gets_ != 0) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_SrcBufferImpl::block_bytes()", kFile, 38);
    return false;
  }
  if (n == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_SrcBufferImpl::block_bytes()", kFile, 44);
    return false;
  }
  return destination_ != nullptr && destination_->src_block_bytes(n);
}

// A delivered block of n bytes: without got, a short block ends the reading.
bool VEK_SrcBufferImpl::delivered(uint32_t n, uint32_t* got) {
  position_ += n;
  if (got != nullptr) {
    *got = n;
  } else if (n < destination_->src_block_bytes()) {
    destination_->src_release(this, position_);
    return false;
  }
  ++gets_;
  return true;
}

bool VEK_SrcBufferImpl::get(void* buffer, uint32_t* got) {
  if (got != nullptr) *got = 0;
  if (buffer == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_SrcBufferImpl::get()", kFile, 111);
    return false;
  }
  if (destination_ == nullptr) return false;
  uint32_t n = 0;
  if (!destination_->src_get(buffer, position_, &n)) return false;
  return delivered(n, got);
}

const void* VEK_SrcBufferImpl::get(uint32_t* got) {
  if (got != nullptr) *got = 0;
  if (destination_ == nullptr) return nullptr;
  uint32_t n = 0;
  const void* p = destination_->src_get(position_, &n);
  if (p == nullptr) return nullptr;
  return delivered(n, got) ? p : nullptr;
}

bool VEK_SrcBufferImpl::release() {
  if (gets_ <= releases_) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_SrcBufferImpl::release()", kFile, 137);
    return false;
  }
  ++releases_;
  // Past the last (short) block the offset may run over 32 bits: it only has to be final.
  const uint64_t offset = uint64_t(destination_->src_block_bytes()) * releases_;
  return destination_->src_release(this, offset > UINT32_MAX ? UINT32_MAX : uint32_t(offset));
}
