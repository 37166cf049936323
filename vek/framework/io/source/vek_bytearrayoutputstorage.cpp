#include <cstring>

#include "vek_errorhandler.h"
#include "vek_memorystorage.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_bytearrayoutputstorage.cpp";
}

VEK_ByteArrayOutputStorage* VEK_ByteArrayOutputStorage::create(VEK_Manager* manager, void* data, int32_t capacity) {
  return vek_create<VEK_ByteArrayOutputStorage>(manager, data, capacity);
}

bool VEK_ByteArrayOutputStorage::initiate(void* data, int32_t capacity) {
  if (data == nullptr || capacity <= 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ByteArrayOutputStorage::initiate()", kFile, 177);
    return false;
  }
  data_ = static_cast<uint8_t*>(data);
  capacity_ = capacity;
  position_ = 0;
  return true;
}

bool VEK_ByteArrayOutputStorage::initiate(void* begin, void* end) {
  const int64_t n = static_cast<uint8_t*>(end) - static_cast<uint8_t*>(begin);
  return initiate(begin, n > INT32_MAX || n < 0 ? -1 : int32_t(n));
}

bool VEK_ByteArrayOutputStorage::terminate() {
  data_ = nullptr;
  position_ = capacity_ = 0;
  return true;
}

int32_t VEK_ByteArrayOutputStorage::available(int32_t n) const {
  const int64_t k = int64_t(position_) + n <= capacity_ ? n : int64_t(capacity_) - position_;
  return k < 0 ? 0 : int32_t(k);
}

int32_t VEK_ByteArrayOutputStorage::put(uint8_t byte) {
  if (data_ == nullptr || position_ >= capacity_) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_ByteArrayOutputStorage::put()", kFile, 113);
    return -1;
  }
  data_[position_++] = byte;
  moved();
  return byte;
}

int32_t VEK_ByteArrayOutputStorage::write(const void* buffer, int32_t n) {
  if (n <= 0) return 0;
  const int32_t k = data_ == nullptr ? 0 : available(n);
  if (k == 0) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_ByteArrayOutputStorage::write()", kFile, 156);
    return 0;
  }
  std::memcpy(data_ + position_, buffer, size_t(k));
  position_ += k;
  moved();
  return k;
}

int32_t VEK_ByteArrayOutputStorage::advance(int32_t n) {
  const int32_t k = n <= 0 ? 0 : available(n);
  position_ += k;
  moved();
  return k;
}

VEK_InputStorage* VEK_ByteArrayOutputStorage::create_input_storage() {
  return vek_create<VEK_ByteArrayInputStorage>(manager_, static_cast<const void*>(data_), capacity_);
}

int32_t VEK_ByteArrayOutputStorage::skip(int32_t n) {
  const int32_t old = position_;
  position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, written_));
  return position_ - old;
}

bool VEK_ByteArrayOutputStorage::seek(int32_t n) {
  if (n < 0) return false;
  position_ = n < written_ ? n : written_;
  return true;
}

bool VEK_ByteArrayOutputStorage::seek_end(int32_t n) {
  position_ = int32_t(vek_clamp_position(int64_t(written_) + n, 0, INT32_MAX));
  return true;
}

bool VEK_ByteArrayOutputStorage::to_begin() {
  position_ = 0;
  return true;
}

bool VEK_ByteArrayOutputStorage::to_end() {
  position_ = written_;
  return true;
}
