#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_bytearraydstbuffer.cpp";
}  // namespace

bool VEK_ByteArrayDstBuffer::initiate(const VEK_Header* header, const void* pointer, uint32_t size, uint32_t* counter) {
  if (pointer == nullptr || size == 0 || header == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ByteArrayDstBuffer::initiate()", kFile, 268);
    return false;
  }
  array_ = static_cast<const uint8_t*>(pointer);
  size_ = size;
  counter_ = counter != nullptr ? counter : &own_counter_;
  *counter_ = 0;
  if (VEK_EncodeType::is_raw(header->encode_type())) {
    const uint64_t image = uint64_t(header->line_bytes()) * header->height();
    short_ = size < image;
    // Bytes past the image are not part of it.
    if (!short_) size_ = uint32_t(image);
  }
  return true;
}

bool VEK_ByteArrayDstBuffer::block_bytes(uint32_t n) {
  if (src_block_bytes_ != 0) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_ByteArrayDstBuffer::block_bytes()", kFile, 52);
    return false;
  }
  if (n == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ByteArrayDstBuffer::block_bytes()", kFile, 58);
    return false;
  }
  block_bytes_ = n;
  return true;
}

void* VEK_ByteArrayDstBuffer::get() {
  vek_report(manager_, VEK_ERROR_STATE, "VEK_ByteArrayDstBuffer::get()", kFile, 84);
  return nullptr;
}

bool VEK_ByteArrayDstBuffer::release(uint32_t) {
  vek_report(manager_, VEK_ERROR_STATE, "VEK_ByteArrayDstBuffer::release()", kFile, 95);
  return false;
}

bool VEK_ByteArrayDstBuffer::src_block_bytes(uint32_t n) {
  if (*counter_ != 0) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_ByteArrayDstBuffer::src_block_bytes()", kFile, 107);
    return false;
  }
  if (n == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ByteArrayDstBuffer::src_block_bytes()", kFile, 113);
    return false;
  }
  src_block_bytes_ = n;
  return true;
}

const void* VEK_ByteArrayDstBuffer::src_get(uint32_t offset, uint32_t* n) {
  *n = 0;
  if (offset >= size_) {
    if (short_) vek_report(manager_, VEK_ERROR_DATA, "VEK_ByteArrayDstBuffer::src_get()", kFile, 146);
    return nullptr;
  }
  const uint32_t count = std::min(size_ - offset, src_block_bytes_);
  if (count < src_block_bytes_ && short_) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ByteArrayDstBuffer::src_get()", kFile, 159);
    return nullptr;
  }
  *n = count;
  *counter_ = std::max(*counter_, offset + count);
  return array_ + offset;
}

bool VEK_ByteArrayDstBuffer::src_get(void* buffer, uint32_t offset, uint32_t* n) {
  const void* p = src_get(offset, n);
  if (p == nullptr) return false;
  std::memcpy(buffer, p, *n);
  return true;
}
