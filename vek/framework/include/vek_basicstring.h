#pragma once
// The library's string on the manager's allocator. Short texts live in an inline buffer
// of 16 bytes (7 UTF-16 units or 15 chars plus the terminator).

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "vek_allocator.h"
#include "vek_root.h"
#include "vek_status.h"

template <class Ch>
class VEK_BasicString : public VEK_Utility {
  static constexpr const char* kFile = "framework/include/vek_basicstring.h";
  static constexpr uint32_t kInline = 16 / sizeof(Ch);

 public:
  static constexpr uint32_t npos = UINT32_MAX;

  explicit VEK_BasicString(VEK_Manager* manager) : VEK_Utility(manager) { buf_.units[0] = 0; }
  VEK_BasicString(VEK_Manager* manager, const Ch* text) : VEK_BasicString(manager) { assign(text); }
  // Takes the source's manager.
  VEK_BasicString(const VEK_BasicString& other) : VEK_BasicString(other.manager_) { assign(other); }
  VEK_BasicString& operator=(const VEK_BasicString& other) { return assign(other); }
  ~VEK_BasicString() override {
    if (!is_inline()) alloc().deallocate(buf_.heap, uint64_t(capacity_) + 1);
    capacity_ = kInline - 1;
    size_ = 0;
    buf_.units[0] = 0;
  }

  const Ch* c_str() const { return is_inline() ? buf_.units : buf_.heap; }
  uint32_t size() const { return size_; }
  uint32_t length() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t capacity() const { return capacity_; }

  VEK_BasicString& assign(const VEK_BasicString& other) {
    if (this == &other) return *this;
    try {
      set(other.c_str(), other.size_);
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_BasicString<Ch>::assign()", kFile, 677);
    }
    return *this;
  }

  // A null text empties the string.
  VEK_BasicString& assign(const Ch* text) {
    if (text == nullptr) return erase(0, npos);
    try {
      set(text, length_of(text));
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_BasicString<Ch>::assign()", kFile, 739);
    }
    return *this;
  }

  // Removes n units from pos on; a count past the end stops at the end.
  VEK_BasicString& erase(uint32_t pos = 0, uint32_t n = npos) {
    try {
      if (pos > size_) throw std::out_of_range("VEK_BasicString::erase");
      const uint32_t count = n > size_ - pos ? size_ - pos : n;
      Ch* p = data();
      std::memmove(p + pos, p + pos + count, (size_ - pos - count) * sizeof(Ch));
      size_ -= count;
      p[size_] = 0;
    } catch (...) {
      vek_report(manager_, VEK_ERROR, "VEK_BasicString<Ch>::erase()", kFile, 1006);
    }
    return *this;
  }

  // -1, 0 or 1; units compare as unsigned values, a shorter prefix sorts first.
  int compare(const Ch* text) const {
    using U = std::make_unsigned_t<Ch>;
    const uint32_t other = text == nullptr ? 0 : length_of(text);
    const uint32_t n = size_ < other ? size_ : other;
    const Ch* mine = c_str();
    for (uint32_t i = 0; i < n; ++i) {
      const U a = static_cast<U>(mine[i]), b = static_cast<U>(text[i]);
      if (a != b) return a < b ? -1 : 1;
    }
    return size_ < other ? -1 : size_ == other ? 0 : 1;
  }

 private:
  bool is_inline() const { return capacity_ < kInline; }
  Ch* data() { return is_inline() ? buf_.units : buf_.heap; }

  static uint32_t length_of(const Ch* text) {
    uint64_t n = 0;
    while (text[n] != 0) ++n;
    if (n >= VEK_Allocator<Ch>::max_count()) throw std::length_error("VEK_BasicString");
    return static_cast<uint32_t>(n);
  }

  // Replaces the text; on failure the string is unchanged. Never shrinks back inline.
  void set(const Ch* text, uint32_t n) {
    if (n > capacity_) {
      if (uint64_t(n) + 1 > VEK_Allocator<Ch>::max_count()) throw std::length_error("VEK_BasicString");
      uint64_t cap = uint64_t(capacity_) + capacity_ / 2;
      if (cap < n) cap = n;
      if (cap + 1 > VEK_Allocator<Ch>::max_count()) cap = VEK_Allocator<Ch>::max_count() - 1;
      Ch* fresh = alloc().allocate(cap + 1);
      std::memcpy(fresh, text, n * sizeof(Ch));
      fresh[n] = 0;
      if (!is_inline()) alloc().deallocate(buf_.heap, uint64_t(capacity_) + 1);
      buf_.heap = fresh;
      capacity_ = static_cast<uint32_t>(cap);
      size_ = n;
      return;
    }
    Ch* p = data();
    std::memmove(p, text, n * sizeof(Ch));
    p[n] = 0;
    size_ = n;
  }

  // From the manager each time: a copy of it in every string and list cost 8 bytes apiece.
  VEK_Allocator<Ch> alloc() const { return VEK_Allocator<Ch>(manager_); }
  union {
    Ch units[kInline];
    Ch* heap;
  } buf_;
  uint32_t size_ = 0;
  uint32_t capacity_ = kInline - 1;
};
