#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_writememoryengine.cpp";
constexpr const char* kInitiate = "VEK_WriteMemoryEngine::initiate()";
constexpr const char* kExecute = "VEK_WriteMemoryEngine::execute()";
}  // namespace

bool VEK_WriteMemoryEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, void* pointer, uint32_t size,
                                     uint32_t* counter, VEK_WriteMemoryCallback callback, uintptr_t user) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, 58);
    return false;
  }
  if (!VEK_AnalyzeEngine::initiate(header, source)) return false;
  if (pointer == nullptr || size == 0 || callback == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, 67);
    return false;
  }
  counter_ = counter != nullptr ? counter : &own_counter_;
  *counter_ = 0;
  callback_ = callback;
  info_.pointer = pointer;
  info_.size = size;
  info_.user = user;
  position_ = static_cast<uint8_t*>(pointer);
  room_ = size;
  line_count_ = header->height();
  raw_ = VEK_EncodeType::is_raw(header->encode_type());
  mask_ = vek_last_byte_mask(*header);
  return src_->block_bytes(raw_ ? header->line_bytes() : manager_->block_bytes());
}

bool VEK_WriteMemoryEngine::execute() {
  if (!ok_) return false;
  if (raw_ && line_ >= line_count_) return false;
  uint32_t n = 0;
  const uint8_t* block = static_cast<const uint8_t*>(src_->get(&n));
  if (block == nullptr) return false;
  uint32_t done = 0;
  while (done < n) {
    if (room_ == 0) {
      ok_ = callback_(&info_);
      ++info_.count;
      if (!ok_) {
        vek_report(manager_, VEK_ERROR_IO, kExecute, kFile, 154);
        return false;
      }
      if (info_.pointer == nullptr || info_.size == 0) {
        ok_ = false;
        vek_report(manager_, VEK_ERROR_IO, kExecute, kFile, 146);
        return false;
      }
      position_ = static_cast<uint8_t*>(info_.pointer);
      room_ = info_.size;
    }
    const uint32_t k = std::min(room_, n - done);
    std::memcpy(position_, block + done, k);
    position_ += k;
    room_ -= k;
    *counter_ += k;
    done += k;
  }
  if (mask_ != 0xFF && n != 0) position_[-1] &= mask_;
  ++line_;
  return src_->release();
}
