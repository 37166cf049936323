#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memorystorage.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_memoryoutputstorage.cpp";
}  // namespace

VEK_MemoryBlockVector::VEK_MemoryBlockVector(VEK_Manager* manager, int32_t block_bytes, const void* initial)
    : VEK_Vector<unsigned char*>(manager), block_bytes_(block_bytes > 0 ? block_bytes : 1) {
  limit_ = int32_t(std::min<int64_t>(INT32_MAX / block_bytes_, 0x3FFFFFFF) * block_bytes_);
  if (initial != nullptr) {
    if (unsigned char* b = add_block()) {
      std::memcpy(b, initial, size_t(block_bytes_));
      written_ = block_bytes_;
    }
  }
}

VEK_MemoryBlockVector::~VEK_MemoryBlockVector() {
  for (unsigned char* b : *this) manager_->free(b);
}

unsigned char* VEK_MemoryBlockVector::add_block() {
  if (int64_t(block_bytes_) * size() > int64_t(limit_) - block_bytes_) return nullptr;
  auto* b = static_cast<unsigned char*>(manager_->allocate(uint32_t(block_bytes_)));
  if (b == nullptr) return nullptr;
  if (!push_back(b)) {
    manager_->free(b);
    return nullptr;
  }
  return b;
}

VEK_MemoryOutputStorage* VEK_MemoryOutputStorage::create(VEK_Manager* manager, int32_t block_bytes) {
  return vek_create<VEK_MemoryOutputStorage>(manager, block_bytes);
}

bool VEK_MemoryOutputStorage::initiate(int32_t block_bytes) {
  if (block_bytes <= 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MemoryOutputStorage::initiate()", kFile, 37);
    return false;
  }
  VEK_MemoryBlockVector* made = vek_new<VEK_MemoryBlockVector>(manager_, block_bytes, nullptr);
  blocks_ = VEK_SharedBlocks(made);
  position_ = 0;
  if (made != nullptr && blocks_.use_count() == 0) {  // no count: nothing would ever free it
    blocks_.release();
    made->destroy();
  }
  if (!blocks_) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_MemoryOutputStorage::initiate()", kFile, 48);
    return false;
  }
  return true;
}

bool VEK_MemoryOutputStorage::terminate() {
  blocks_.release();
  position_ = 0;
  return true;
}

unsigned char* VEK_MemoryOutputStorage::block_at_position() {
  const int32_t index = position_ / blocks_->block_bytes();
  if (uint32_t(index) < blocks_->size()) return (*blocks_)[uint32_t(index)];
  return uint32_t(index) == blocks_->size() ? blocks_->add_block() : nullptr;
}

int32_t VEK_MemoryOutputStorage::put(uint8_t byte) {
  if (!blocks_ || position_ == INT32_MAX) return -1;
  unsigned char* block = block_at_position();
  if (block == nullptr) return -1;
  block[position_ % blocks_->block_bytes()] = byte;
  ++position_;
  moved();
  return byte;
}

int32_t VEK_MemoryOutputStorage::write(const void* buffer, int32_t n) {
  if (n < 1 || !blocks_) return 0;
  const uint8_t* from = static_cast<const uint8_t*>(buffer);
  int32_t done = 0;
  while (done < n && position_ < INT32_MAX) {
    unsigned char* block = block_at_position();
    if (block == nullptr) break;
    const int32_t offset = position_ % blocks_->block_bytes();
    const int32_t k = std::min(n - done, blocks_->block_bytes() - offset);
    std::memcpy(block + offset, from + done, size_t(k));
    done += k;
    position_ += k;
    moved();
  }
  return done;
}

int32_t VEK_MemoryOutputStorage::skip(int32_t n) {
  if (n == 0 || !blocks_) return 0;
  const int32_t old = position_;
  position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, std::max(position_, size())));
  if (n > 0 && position_ < old) position_ = old;
  return position_ - old;
}

int32_t VEK_MemoryOutputStorage::advance(int32_t n) {
  int32_t k = skip(n);
  while (k < n && put(0) != -1) ++k;
  return k;
}

bool VEK_MemoryOutputStorage::seek(int32_t n) {
  to_begin();
  if (n < 1) return true;
  return skip(n) > 0;
}

bool VEK_MemoryOutputStorage::seek_end(int32_t n) {
  to_end();
  if (n >= 0) return true;
  return skip(n) < 0;
}

bool VEK_MemoryOutputStorage::to_begin() {
  position_ = 0;
  return true;
}

bool VEK_MemoryOutputStorage::to_end() {
  position_ = size();
  return true;
}

VEK_InputStorage* VEK_MemoryOutputStorage::create_input_storage() {
  return vek_create<VEK_MemoryInputStorage>(manager_, blocks_);
}
