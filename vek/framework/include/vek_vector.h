#pragma once
// The library's vector. Its memory comes from its manager; no operation throws to the
// caller: a failure is reported to the manager and answered through the result.

#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "vek_allocator.h"
#include "vek_root.h"
#include "vek_status.h"

template <class T>
class VEK_Vector : public VEK_Utility {
  static constexpr const char* kFile = "framework/include/vek_vector.h";

 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  explicit VEK_Vector(VEK_Manager* manager) : VEK_Utility(manager) {}

  VEK_Vector(VEK_Manager* manager, uint32_t n, const T& value) : VEK_Utility(manager) {
    try {
      grow_to(n);
      last_ = std::uninitialized_fill_n(first_, n, value);
    } catch (...) {
      release_storage();
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::VEK_Vector()", kFile, __LINE__);
    }
  }

  // Takes the source's manager. A failed copy leaves the vector empty and reported.
  VEK_Vector(const VEK_Vector& other) : VEK_Utility(other.manager_) {
    try {
      grow_to(other.size());
      last_ = std::uninitialized_copy(other.first_, other.last_, first_);
    } catch (...) {
      release_storage();
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::VEK_Vector()", kFile, __LINE__);
    }
  }

  // Keeps its own manager. A failed copy leaves the vector as it was and reported.
  VEK_Vector& operator=(const VEK_Vector& other) {
    if (this == &other) return *this;
    try {
      VEK_Vector copy(manager_);
      copy.grow_to(other.size());
      copy.last_ = std::uninitialized_copy(other.first_, other.last_, copy.first_);
      swap_storage(copy);
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::operator=()", kFile, __LINE__);
    }
    return *this;
  }

  ~VEK_Vector() override {
    release_storage();
    delete placeholder_;
  }

  uint32_t size() const { return static_cast<uint32_t>(last_ - first_); }
  bool empty() const { return first_ == last_; }
  uint32_t capacity() const { return static_cast<uint32_t>(end_ - first_); }
  T* data() { return first_; }
  const T* data() const { return first_; }
  T* begin() { return first_; }
  T* end() { return last_; }
  const T* begin() const { return first_; }
  const T* end() const { return last_; }

  T& at(uint32_t i) {
    if (i < size()) return first_[i];
    vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::at() --- out of range", kFile, 318);
    return placeholder();
  }
  T& operator[](uint32_t i) {
    if (i < size()) return first_[i];
    vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::operator[]()", kFile, 204);
    return placeholder();
  }
  const T& operator[](uint32_t i) const {
    if (i < size()) return first_[i];
    vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::operator[]()", kFile, 223);
    return const_cast<VEK_Vector*>(this)->placeholder();
  }

  bool push_back(const T& value) {
    const uint32_t before = size();
    try {
      insert_at(before, value);
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::push_back()", kFile, 913);
      return false;
    }
    return size() == before + 1;
  }

  bool resize(uint32_t n, const T& value = T()) {
    try {
      if (n < size()) {
        erase_from(n);
      } else if (n > size()) {
        reserve_for(n);
        last_ = std::uninitialized_fill_n(last_, n - size(), value);
      }
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::resize()", kFile, 969);
      return false;
    }
    return size() == n;
  }

  // Room for n elements, so that filling up to n copies nothing again.
  bool reserve(uint32_t n) {
    try {
      reserve_for(n);
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::reserve()", kFile, __LINE__);
      return false;
    }
    return true;
  }

  bool clear() {
    erase_from(0);
    return true;
  }

  // Inserts before pos; the new element's position, or end() after a reported failure.
  T* insert(T* pos, const T& value) {
    const uint32_t index = pos <= first_ ? 0 : pos >= last_ ? size() : static_cast<uint32_t>(pos - first_);
    try {
      insert_at(index, value);
      return first_ + index;
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_Vector<T>::insert()", kFile, __LINE__);
      return last_;
    }
  }

 private:
  // New capacity: the old plus half of it, at least what is needed, at most what fits.
  void reserve_for(uint64_t needed) {
    if (needed <= capacity()) return;
    if (needed > VEK_Allocator<T>::max_count()) throw std::length_error("VEK_Vector");
    uint64_t cap = uint64_t(capacity()) + capacity() / 2;
    if (cap < needed) cap = needed;
    if (cap > VEK_Allocator<T>::max_count()) cap = VEK_Allocator<T>::max_count();
    grow_to(cap);
  }

  // Moves the elements into new storage of cap elements; the vector is unchanged on failure.
  void grow_to(uint64_t cap) {
    if (cap <= capacity()) return;
    T* fresh = alloc().allocate(cap);
    T* fresh_last = fresh;
    try {
      fresh_last = std::uninitialized_copy(first_, last_, fresh);
    } catch (...) {
      alloc().deallocate(fresh, cap);
      throw;
    }
    std::destroy(first_, last_);
    alloc().deallocate(first_, capacity());
    first_ = fresh;
    last_ = fresh_last;
    end_ = fresh + cap;
  }

  void insert_at(uint32_t index, const T& value) {
    if (size() == capacity()) {
      // value may live inside this vector: copy it before the storage moves.
      T copy(value);
      reserve_for(uint64_t(size()) + 1);
      insert_room(index, copy);
    } else {
      insert_room(index, value);
    }
  }

  void insert_room(uint32_t index, const T& value) {
    if (index == size()) {
      ::new (static_cast<void*>(last_)) T(value);
      ++last_;
      return;
    }
    T copy(value);
    ::new (static_cast<void*>(last_)) T(last_[-1]);
    ++last_;
    for (T* p = last_ - 2; p > first_ + index; --p) *p = p[-1];
    first_[index] = copy;
  }

  void erase_from(uint32_t n) {
    std::destroy(first_ + n, last_);
    last_ = first_ + n;
  }

  void release_storage() {
    std::destroy(first_, last_);
    alloc().deallocate(first_, capacity());
    first_ = last_ = end_ = nullptr;
  }

  void swap_storage(VEK_Vector& other) {
    std::swap(first_, other.first_);
    std::swap(last_, other.last_);
    std::swap(end_, other.end_);
  }

  // What a failed access hands back instead of a reference through null. Made only when
  // needed: held inline, it made every vector as large as its element, and a record with a
  // list of records nested inside it several times over.
  T& placeholder() {
    if (placeholder_ == nullptr) {
      if constexpr (std::is_default_constructible_v<T>)
        placeholder_ = new T();
      else
        placeholder_ = new T(manager_);
    }
    return *placeholder_;
  }

  // From the manager each time: a copy of it in every string and list cost 8 bytes apiece.
  VEK_Allocator<T> alloc() const { return VEK_Allocator<T>(manager_); }
  T* first_ = nullptr;
  T* last_ = nullptr;
  T* end_ = nullptr;
  T* placeholder_ = nullptr;
};
