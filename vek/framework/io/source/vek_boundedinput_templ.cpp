#include <algorithm>

#include "vek_decorator.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_boundedinput_templ.cpp";
}  // namespace

VEK_InputStorageBound* VEK_InputStorageBound::create(VEK_Manager* manager, VEK_InputStorage* storage, int32_t n) {
  return vek_create<VEK_InputStorageBound>(manager, storage, n);
}

bool VEK_InputStorageBound::initiate(VEK_InputStorage* storage) {
  if (storage == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_InputStorageBound::initiate()", kFile, 283);
    return false;
  }
  return initiate(storage, storage->size() - storage->tell());
}

bool VEK_InputStorageBound::initiate(VEK_InputStorage* storage, int32_t n) {
  if (!VEK_InputStorageDecorator::initiate(storage)) return false;
  if (n < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_InputStreamBound::initiate()", kFile, 53);
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
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::initiate()", kFile, 176);
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
    vek_report(manager_, VEK_ERROR_IO, "VEK_InputStorageBound::to_begin()", kFile, 335);
    return false;
  }
  return true;
}

bool VEK_InputStorageBound::to_end() {
  if (storage_ == nullptr) return false;
  const int32_t want = remain_;
  if (move(want) != want) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_InputStorageBound::to_end()", kFile, 350);
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
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::set_bound()", kFile, 207);
    return false;
  }
  if (n <= p) {
    end_ = begin_ + n;
    remain_ = 0;
    return true;
  }
  if (storage_->skip(-want) != -want) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::set_bound()", kFile, 207);
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
    vek_report(manager_, VEK_ERROR_IO, "VEK_MovableInputStreamBound::set_remain()", kFile, 237);
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
