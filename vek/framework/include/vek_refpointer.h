#pragma once
// A shared handle on a library object; the count lives in the object's manager.

#include <cstdint>

#include "vek_manager.h"
#include "vek_root.h"

template <class T>
class VEK_RefPointer {
 public:
  VEK_RefPointer() = default;
  // Without memory for the count the handle holds the object uncounted and never destroys it.
  explicit VEK_RefPointer(T* object) : object_(object) {
    if (object_ != nullptr && object_->manager() != nullptr) {
      count_ = static_cast<uint32_t*>(object_->manager()->allocate(sizeof(uint32_t)));
      if (count_ != nullptr) *count_ = 1;
    }
  }
  VEK_RefPointer(const VEK_RefPointer& other) : object_(other.object_), count_(other.count_) {
    if (count_ != nullptr) ++*count_;
  }
  VEK_RefPointer& operator=(const VEK_RefPointer& other) {
    if (this == &other) return *this;
    if (other.count_ != nullptr) ++*other.count_;
    T* old_object = object_;
    uint32_t* old_count = count_;
    object_ = other.object_;
    count_ = other.count_;
    release(old_object, old_count);
    return *this;
  }
  ~VEK_RefPointer() { release(); }

  void release() {
    T* object = object_;
    uint32_t* count = count_;
    object_ = nullptr;
    count_ = nullptr;
    release(object, count);
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  uint32_t use_count() const { return count_ != nullptr ? *count_ : 0; }

 private:
  static void release(T* object, uint32_t* count) {
    if (count == nullptr || --*count != 0) return;
    object->manager()->free(count);
    object->destroy();
  }

  T* object_ = nullptr;
  uint32_t* count_ = nullptr;
};
