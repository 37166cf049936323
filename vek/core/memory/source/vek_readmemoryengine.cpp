#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_readmemoryengine.cpp";
constexpr const char* kInitiate = "VEK_ReadMemoryEngine::initiate()";
constexpr const char* kExecute = "VEK_ReadMemoryEngine::execute()";
}  // namespace

bool VEK_ReadMemoryEngine::initiate(const VEK_Header* header, VEK_DstBuffer* destination, const void* pointer,
                                    uint32_t size, uint32_t* counter, VEK_ReadMemoryCallback callback, uintptr_t user) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, 54);
    return false;
  }
  if (!VEK_BufferOutputEngine::initiate(header, destination)) return false;
  if (pointer == nullptr || size == 0 || callback == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, 63);
    return false;
  }
  counter_ = counter != nullptr ? counter : &own_counter_;
  *counter_ = 0;
  callback_ = callback;
  info_.pointer = const_cast<void*>(pointer);
  info_.size = size;
  info_.user = user;
  position_ = static_cast<const uint8_t*>(pointer);
  left_ = size;
  const bool raw = VEK_EncodeType::is_raw(header->encode_type());
  return dst_->block_bytes(raw ? out_header_.line_bytes() : manager_->block_bytes());
}

bool VEK_ReadMemoryEngine::execute() {
  const bool raw = VEK_EncodeType::is_raw(out_header_.encode_type());
  if (!ok_ || (raw && line_ >= out_header_.height())) return false;
  const uint32_t n = dst_->block_bytes();
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  uint32_t filled = 0;
  while (filled < n) {
    if (left_ == 0) {
      ok_ = callback_(&info_);
      ++info_.count;
      if (!ok_) {
        if (raw) {
          vek_report(manager_, VEK_ERROR_DATA, kExecute, kFile, 145);
          dst_->release(0);
          return false;
        }
        // The stream ends inside this block: hand on what there is.
        return dst_->release(filled) && filled != 0;
      }
      if (info_.pointer == nullptr || info_.size == 0) {
        ok_ = false;
        vek_report(manager_, VEK_ERROR_DATA, kExecute, kFile, 136);
        dst_->release(0);
        return false;
      }
      position_ = static_cast<const uint8_t*>(info_.pointer);
      left_ = info_.size;
    }
    const uint32_t k = std::min(left_, n - filled);
    std::memcpy(out + filled, position_, k);
    position_ += k;
    left_ -= k;
    *counter_ += k;
    filled += k;
  }
  ++line_;
  return dst_->release(n);
}
