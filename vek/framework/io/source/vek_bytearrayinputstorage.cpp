#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memorystorage.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_bytearrayinputstorage.cpp";
}

bool VEK_ByteArrayInputStorage::initiate(const void* data, int32_t size) {
  if (data == nullptr || size <= 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ByteArrayInputStorage::initiate()", kFile, 153);
    return false;
  }
  data_ = static_cast<const uint8_t*>(data);
  size_ = size;
  position_ = 0;
  return true;
}

bool VEK_ByteArrayInputStorage::initiate(const void* begin, const void* end) {
  const int64_t n = static_cast<const uint8_t*>(end) - static_cast<const uint8_t*>(begin);
  return initiate(begin, n > INT32_MAX || n < 0 ? -1 : int32_t(n));
}

bool VEK_ByteArrayInputStorage::terminate() {
  data_ = nullptr;
  position_ = size_ = 0;
  return true;
}

int32_t VEK_ByteArrayInputStorage::available(int32_t n) const {
  const int64_t k = int64_t(position_) + n <= size_ ? n : int64_t(size_) - position_;
  return k < 0 ? 0 : int32_t(k);
}

int32_t VEK_ByteArrayInputStorage::get() {
  if (data_ == nullptr || position_ >= size_) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_ByteArrayInputStorage::get()", kFile, 64);
    return -1;
  }
  return data_[position_++];
}

int32_t VEK_ByteArrayInputStorage::read(void* buffer, int32_t n) {
  if (n <= 0 || data_ == nullptr) return 0;
  const int32_t k = available(n);
  if (k > 0) std::memcpy(buffer, data_ + position_, size_t(k));
  position_ += k;
  return k;
}

int32_t VEK_ByteArrayInputStorage::skip(int32_t n) {
  const int32_t old = position_;
  position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, size_));
  return position_ - old;
}

bool VEK_ByteArrayInputStorage::seek(int32_t n) {
  if (n < 0) return false;
  position_ = n < size_ ? n : size_;
  return true;
}

bool VEK_ByteArrayInputStorage::seek_end(int32_t n) {
  position_ = int32_t(vek_clamp_position(int64_t(size_) + n, 0, INT32_MAX));
  return true;
}

bool VEK_ByteArrayInputStorage::to_begin() {
  position_ = 0;
  return true;
}

bool VEK_ByteArrayInputStorage::to_end() {
  position_ = size_;
  return true;
}
