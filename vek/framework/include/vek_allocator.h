#pragma once
// The allocator of every library container: memory comes from the container's manager.

#include <cstdint>
#include <new>
#include <stdexcept>

#include "vek_manager.h"

// What the allocator throws when the manager gives no memory. It never leaves the
// container operation that called it.
inline const char* const VEK_ALLOCATOR_FAILURE =
    "VEK_Allocator::allocate() - Cannot allocate memory from VEK_Manager\n";

template <class T>
class VEK_Allocator {
 public:
  using value_type = T;

  explicit VEK_Allocator(VEK_Manager* manager) : manager_(manager) {}
  template <class U>
  VEK_Allocator(const VEK_Allocator<U>& other) : manager_(other.manager()) {}
  template <class U>
  bool operator==(const VEK_Allocator<U>& other) const {
    return manager_ == other.manager();
  }

  // Largest count whose byte size fits in 32 bits.
  static constexpr uint32_t max_count() { return static_cast<uint32_t>(UINT32_MAX / sizeof(T)); }

  T* allocate(uint64_t n, const void* /*hint*/ = nullptr) const {
    if (n > max_count()) throw std::length_error("VEK_Allocator::allocate()");
    void* p = manager_ != nullptr ? manager_->allocate(static_cast<uint32_t>(n * sizeof(T))) : nullptr;
    if (p == nullptr) throw VEK_ALLOCATOR_FAILURE;
    return static_cast<T*>(p);
  }
  void deallocate(T* p, uint64_t /*n*/) const {
    if (p != nullptr) manager_->free(p);
  }
  VEK_Manager* manager() const { return manager_; }

 private:
  VEK_Manager* manager_;
};
