#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memorystorage.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_memoryinputstorage.cpp";
}  // namespace

bool VEK_MemoryInputStorage::initiate(const VEK_SharedBlocks& blocks) {
  blocks_ = blocks;
  position_ = 0;
  if (!blocks_) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MemoryInputStorage::initiate()", kFile, 59);
    return false;
  }
  return true;
}

bool VEK_MemoryInputStorage::terminate() {
  blocks_.release();
  position_ = 0;
  return true;
}

int32_t VEK_MemoryInputStorage::get() {
  if (!blocks_ || position_ >= size()) return -1;
  const int32_t bb = blocks_->block_bytes();
  const uint8_t byte = (*blocks_)[uint32_t(position_ / bb)][position_ % bb];
  ++position_;
  return byte;
}

int32_t VEK_MemoryInputStorage::read(void* buffer, int32_t n) {
  if (n < 1 || !blocks_ || position_ >= size()) return 0;
  const int32_t end = int32_t(std::min<int64_t>(int64_t(position_) + n, size()));
  const int32_t bb = blocks_->block_bytes();
  uint8_t* to = static_cast<uint8_t*>(buffer);
  const int32_t start = position_;
  while (position_ < end) {
    const int32_t offset = position_ % bb;
    const int32_t k = std::min(end - position_, bb - offset);
    std::memcpy(to, (*blocks_)[uint32_t(position_ / bb)] + offset, size_t(k));
    to += k;
    position_ += k;
  }
  return end - start;
}

int32_t VEK_MemoryInputStorage::skip(int32_t n) {
  if (n == 0 || !blocks_) return 0;
  const int32_t old = position_;
  position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, std::max(position_, size())));
  if (n > 0 && position_ < old) position_ = old;
  return position_ - old;
}

bool VEK_MemoryInputStorage::to_begin() {
  position_ = 0;
  return true;
}

bool VEK_MemoryInputStorage::to_end() {
  position_ = size();
  return true;
}
