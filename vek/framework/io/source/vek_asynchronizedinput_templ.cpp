#include <mutex>

#include "vek_decorator.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_asynchronizedinput_templ.cpp";
}  // namespace

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
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MoveInMoveOutMovableInputStream::initiate()", kFile, 88);
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

VEK_MutexInputStorage* VEK_MutexInputStorage::create(VEK_Manager* manager, VEK_InputStorage* storage) {
  return vek_create<VEK_MutexInputStorage>(manager, storage);
}

#define VEK_UNDER_MUTEX(expr, none)        \
  if (storage_ == nullptr) return none;    \
  std::lock_guard<VEK_Mutex> hold(mutex_); \
  return expr

int32_t VEK_MutexInputStorage::get() { VEK_UNDER_MUTEX(storage_->get(), -1); }
int32_t VEK_MutexInputStorage::read(void* buffer, int32_t n) { VEK_UNDER_MUTEX(storage_->read(buffer, n), 0); }
int32_t VEK_MutexInputStorage::tell() { VEK_UNDER_MUTEX(storage_->tell(), 0); }
int32_t VEK_MutexInputStorage::skip(int32_t n) { VEK_UNDER_MUTEX(storage_->skip(n), 0); }
bool VEK_MutexInputStorage::seek(int32_t n) { VEK_UNDER_MUTEX(storage_->seek(n), false); }
bool VEK_MutexInputStorage::seek_end(int32_t n) { VEK_UNDER_MUTEX(storage_->seek_end(n), false); }
int32_t VEK_MutexInputStorage::size() { VEK_UNDER_MUTEX(storage_->size(), 0); }
bool VEK_MutexInputStorage::to_begin() { VEK_UNDER_MUTEX(storage_->to_begin(), false); }
bool VEK_MutexInputStorage::to_end() { VEK_UNDER_MUTEX(storage_->to_end(), false); }
