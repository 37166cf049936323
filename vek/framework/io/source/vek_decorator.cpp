#include <algorithm>

#include "vek_decorator.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kInFile = "framework/include/vek_inputstoragedecorator.h";
constexpr const char* kOutFile = "framework/include/vek_outputstoragedecorator.h";
constexpr const char* kBoundFile = "framework/io/source/vek_boundedinput_templ.cpp";
constexpr const char* kMoveFile = "framework/io/source/vek_asynchronizedinput_templ.cpp";
constexpr const char* kDataOutFile = "framework/io/source/vek_dataoutput_templ.cpp";
}  // namespace

void VEK_EndianConversion::reverse(void* data, uint32_t n) {
  auto* p = static_cast<uint8_t*>(data);
  std::reverse(p, p + n);
}

void VEK_EndianConversion::convert_samples(void* data, uint32_t n, uint32_t sample_bytes) const {
  if (!reverse_ || sample_bytes < 2) return;
  auto* p = static_cast<uint8_t*>(data);
  for (uint32_t i = 0; i + sample_bytes <= n; i += sample_bytes) std::reverse(p + i, p + i + sample_bytes);
}

bool VEK_InputStorageDecorator::initiate(VEK_InputStorage* storage) {
  if (storage == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_InputStorageDecorator::initiate()", kInFile, 277);
    return false;
  }
  storage_ = storage;
  return depend(storage);
}

bool VEK_InputStorageDecorator::terminate() {
  storage_ = nullptr;
  return true;
}

bool VEK_OutputStorageDecorator::initiate(VEK_OutputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_OutputStorageDecorator::initiate()", kOutFile, 265);
    return false;
  }
  storage_ = storage;
  return depend(storage);
}

bool VEK_OutputStorageDecorator::terminate() {
  storage_ = nullptr;
  return true;
}

VEK_DataInput* VEK_DataInput::create(VEK_Manager* manager, VEK_InputStorage* storage, int32_t byte_order) {
  return vek_create<VEK_DataInput>(manager, storage, byte_order);
}

bool VEK_DataInput::initiate(VEK_InputStorage* storage, int32_t byte_order) {
  VEK_EndianConversion::byte_order(byte_order);
  return VEK_InputStorageDecorator::initiate(storage);
}

bool VEK_DataInput::read_binary(void* buffer, int32_t n) {
  if (read(buffer, n) != n) return false;
  convert(buffer, uint32_t(n));
  return true;
}

VEK_DataOutput* VEK_DataOutput::create(VEK_Manager* manager, VEK_OutputStorage* storage, int32_t byte_order) {
  return vek_create<VEK_DataOutput>(manager, storage, byte_order);
}

bool VEK_DataOutput::initiate(VEK_OutputStorage* storage, int32_t byte_order) {
  VEK_EndianConversion::byte_order(byte_order);
  return VEK_OutputStorageDecorator::initiate(storage);
}

bool VEK_DataOutput::write_binary(void* buffer, int32_t n) {
  if (n == 0) return true;
  convert(buffer, uint32_t(n));
  if (write(buffer, n) != n) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_DataOutput::write_binary()", kDataOutFile, 83);
    return false;
  }
  return true;
}

// ---- bounded input

VEK_InputStorageBound* VEK_InputStorageBound::create(VEK_Manager* manager, VEK_InputStorage* storage, int32_t n) {
  return vek_create<VEK_InputStorageBound>(manager, storage, n);
}

bool VEK_InputStorageBound::initiate(VEK_InputStorage* storage) {
  if (storage == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_InputStorageBound::initiate()", kBoundFile, 283);
    return false;
  }
  return initiate(storage, storage->size() - storage->tell());
}

bool VEK_InputStorageBound::initiate(VEK_InputStorage* storage, int32_t n) {
  if (!VEK_InputStorageDecorator::initiate(storage)) return false;
  if (n < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_InputStreamBound::initiate()", kBoundFile, 53);
    return false;
  }
  remain_ = n;
  begin_ = storage->tell();
  end_ = int32_t(std::min<int64_t>(int64_t(begin_) + n, INT32_MAX));
  remain_ = end_ - begin_;
  return true;
}

bool VEK_InputStorageBound::initiate(VEK_InputStorage* storage, int32_t begin, int32_t end) {
  if (!VEK_InputStorageDecorator::initiate(storage)) return false;
  const int64_t distance = int64_t(begin) - storage->tell();
  if (distance < INT32_MIN || distance > INT32_MAX || storage->skip(int32_t(distance)) != distance) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::initiate()", kBoundFile, 176);
    return false;
  }
  begin_ = begin;
  end_ = end < begin ? begin : end;
  remain_ = end_ - begin_;
  return true;
}

int32_t VEK_InputStorageBound::move(int32_t n) {
  const int32_t moved = storage_->skip(n);
  remain_ -= moved;
  return moved;
}

int32_t VEK_InputStorageBound::get() {
  if (storage_ == nullptr || remain_ < 1) return -1;
  const int32_t byte = storage_->get();
  if (byte != -1) --remain_;
  return byte;
}

int32_t VEK_InputStorageBound::read(void* buffer, int32_t n) {
  if (storage_ == nullptr) return 0;
  const int32_t k = storage_->read(buffer, std::min(n, remain_));
  if (k > 0) remain_ -= k;
  return k;
}

int32_t VEK_InputStorageBound::advance(int32_t n) {
  if (storage_ == nullptr) return 0;
  const int32_t k = storage_->advance(std::min(n, remain_));
  remain_ -= k;
  return k;
}

int32_t VEK_InputStorageBound::skip(int32_t n) {
  if (storage_ == nullptr) return 0;
  const int32_t p = position();
  return move(n > remain_ ? remain_ : n < -p ? -p : n);
}

bool VEK_InputStorageBound::to_begin() {
  if (storage_ == nullptr) return false;
  move(-position());
  if (remain_ != end_ - begin_) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_InputStorageBound::to_begin()", kBoundFile, 335);
    return false;
  }
  return true;
}

bool VEK_InputStorageBound::to_end() {
  if (storage_ == nullptr) return false;
  const int32_t want = remain_;
  if (move(want) != want) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_InputStorageBound::to_end()", kBoundFile, 350);
    return false;
  }
  return true;
}

bool VEK_InputStorageBound::seek(int32_t n) {
  if (!to_begin()) return false;
  skip(n);
  return true;
}

bool VEK_InputStorageBound::seek_end(int32_t n) {
  if (!to_end()) return false;
  skip(n);
  return true;
}

bool VEK_InputStorageBound::unget() {
  if (storage_ == nullptr) return false;
  return move(position() == 0 ? 0 : -1) == -1;
}

bool VEK_InputStorageBound::set_bound(int32_t n) {
  if (storage_ == nullptr || n < 0) return false;
  const int32_t p = position();
  const int32_t want = n - p;
  const int32_t moved = storage_->skip(want);
  if (moved != want) {
    storage_->skip(-moved);
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::set_bound()", kBoundFile, 207);
    return false;
  }
  if (n <= p) {
    end_ = begin_ + n;
    remain_ = 0;
    return true;
  }
  if (storage_->skip(-want) != -want) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::set_bound()", kBoundFile, 207);
    return false;
  }
  end_ = begin_ + n;
  remain_ = n - p;
  return true;
}

bool VEK_InputStorageBound::set_remain(int32_t begin, int32_t end) {
  if (storage_ == nullptr || end < begin) return false;
  const int32_t remembered = storage_->tell();
  const int64_t distance = int64_t(begin) - remembered;
  if (distance < INT32_MIN || distance > INT32_MAX || storage_->skip(int32_t(distance)) != distance) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::set_remain()", kBoundFile, 237);
    return false;
  }
  const int32_t old_end = end_;
  begin_ = begin;
  end_ = old_end;
  remain_ = old_end - begin;
  if (!set_bound(end - begin)) return false;
  if (remembered <= begin) return true;
  const int32_t forward = std::min(remembered, end) - begin;
  return skip(forward) == forward;
}

// ---- move-in move-out

VEK_MoveInMoveOutInputStorage* VEK_MoveInMoveOutInputStorage::create(VEK_Manager* manager, VEK_InputStorage* storage) {
  return vek_create<VEK_MoveInMoveOutInputStorage>(manager, storage);
}

bool VEK_MoveInMoveOutInputStorage::attach(VEK_InputStorage* storage) {
  if (!VEK_InputStorageDecorator::initiate(storage)) return false;
  auto* lockable = dynamic_cast<VEK_Lockable*>(storage);
  lock_ = lockable != nullptr ? lockable : &dummy_;
  return true;
}

bool VEK_MoveInMoveOutInputStorage::initiate(VEK_InputStorage* storage) {
  if (!attach(storage)) return false;
  std::lock_guard<VEK_Lockable> hold(*lock_);
  position_ = storage->tell();
  return true;
}

bool VEK_MoveInMoveOutInputStorage::initiate(VEK_InputStorage* storage, int32_t position) {
  if (!attach(storage)) return false;
  if (position < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MoveInMoveOutMovableInputStream::initiate()", kMoveFile, 88);
    return false;
  }
  position_ = position;
  return true;
}

bool VEK_MoveInMoveOutInputStorage::move_in(int32_t& saved) {
  saved = storage_->tell();
  const int64_t distance = int64_t(position_) - saved;
  return distance >= INT32_MIN && distance <= INT32_MAX && storage_->skip(int32_t(distance)) == distance;
}

void VEK_MoveInMoveOutInputStorage::move_out(int32_t saved) { storage_->skip(saved - storage_->tell()); }

int32_t VEK_MoveInMoveOutInputStorage::get() {
  if (storage_ == nullptr) return -1;
  std::lock_guard<VEK_Lockable> hold(*lock_);
  int32_t saved = 0;
  int32_t byte = -1;
  if (move_in(saved)) {
    byte = storage_->get();
    if (byte != -1) ++position_;
  }
  move_out(saved);
  return byte;
}

int32_t VEK_MoveInMoveOutInputStorage::read(void* buffer, int32_t n) {
  if (n == 0 || storage_ == nullptr) return 0;
  std::lock_guard<VEK_Lockable> hold(*lock_);
  int32_t saved = 0;
  int32_t k = 0;
  if (move_in(saved)) {
    k = storage_->read(buffer, n);
    if (k > 0) position_ += k;
  }
  move_out(saved);
  return k;
}

int32_t VEK_MoveInMoveOutInputStorage::skip(int32_t n) {
  if (storage_ == nullptr) return 0;
  const int32_t old = position_;
  position_ = int32_t(vek_clamp_position(int64_t(position_) + n, 0, storage_->size()));
  return position_ - old;
}

bool VEK_MoveInMoveOutInputStorage::seek(int32_t n) {
  if (storage_ == nullptr) return false;
  std::lock_guard<VEK_Lockable> hold(*lock_);
  return VEK_InputStorage::seek(n);
}

bool VEK_MoveInMoveOutInputStorage::seek_end(int32_t n) {
  if (storage_ == nullptr) return false;
  std::lock_guard<VEK_Lockable> hold(*lock_);
  return VEK_InputStorage::seek_end(n);
}

bool VEK_MoveInMoveOutInputStorage::to_begin() {
  position_ = 0;
  return storage_ != nullptr;
}

bool VEK_MoveInMoveOutInputStorage::to_end() {
  if (storage_ == nullptr) return false;
  position_ = storage_->size();
  return true;
}

// ---- mutex

VEK_MutexInputStorage* VEK_MutexInputStorage::create(VEK_Manager* manager, VEK_InputStorage* storage) {
  return vek_create<VEK_MutexInputStorage>(manager, storage);
}

#define VEK_UNDER_MUTEX(expr, none)            \
  if (storage_ == nullptr) return none;       \
  std::lock_guard<VEK_Mutex> hold(mutex_);    \
  return expr;

int32_t VEK_MutexInputStorage::get() { VEK_UNDER_MUTEX(storage_->get(), -1) }
int32_t VEK_MutexInputStorage::read(void* buffer, int32_t n) { VEK_UNDER_MUTEX(storage_->read(buffer, n), 0) }
int32_t VEK_MutexInputStorage::tell() { VEK_UNDER_MUTEX(storage_->tell(), 0) }
int32_t VEK_MutexInputStorage::skip(int32_t n) { VEK_UNDER_MUTEX(storage_->skip(n), 0) }
bool VEK_MutexInputStorage::seek(int32_t n) { VEK_UNDER_MUTEX(storage_->seek(n), false) }
bool VEK_MutexInputStorage::seek_end(int32_t n) { VEK_UNDER_MUTEX(storage_->seek_end(n), false) }
int32_t VEK_MutexInputStorage::size() { VEK_UNDER_MUTEX(storage_->size(), 0) }
bool VEK_MutexInputStorage::to_begin() { VEK_UNDER_MUTEX(storage_->to_begin(), false) }
bool VEK_MutexInputStorage::to_end() { VEK_UNDER_MUTEX(storage_->to_end(), false) }
