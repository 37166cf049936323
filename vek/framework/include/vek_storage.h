#pragma once
// Byte sources and sinks with a position. Positions, sizes and counts are signed 32-bit;
// a storage holds at most 2^31 - 1 bytes.

#include <cstdint>

#include "vek_object.h"

class VEK_InputStorage : public VEK_Object {
 public:
  explicit VEK_InputStorage(VEK_Manager* manager);

  bool terminate() override { return true; }
  virtual bool is_empty() const = 0;
  // The next byte (0..255) and one step forward; -1 at the end or on failure.
  virtual int32_t get() = 0;
  // Up to n bytes; fewer only at the end or on failure.
  virtual int32_t read(void* buffer, int32_t n) = 0;
  virtual int32_t advance(int32_t n) { return skip(n); }
  virtual int32_t tell() = 0;
  // Moves by n, clamped to [0, size]; the distance actually moved.
  virtual int32_t skip(int32_t n) = 0;
  virtual bool is_end();
  virtual bool seek(int32_t n);
  virtual bool seek_end(int32_t n);
  virtual int32_t size() = 0;
  virtual bool to_begin() = 0;
  virtual bool to_end() = 0;

  uint32_t stamp_count() const { return stamp_count_; }
  uint32_t stamp_time() const { return stamp_time_; }

 protected:
  void renew_stamp();

  uint32_t stamp_count_ = 1;
  uint32_t stamp_time_ = 0;
};

class VEK_OutputStorage : public VEK_Object {
 public:
  using VEK_Object::VEK_Object;

  bool terminate() override { return true; }
  virtual bool is_empty() const = 0;
  // Writes one byte; the byte, or -1 when it cannot be written.
  virtual int32_t put(uint8_t byte) = 0;
  virtual int32_t write(const void* buffer, int32_t n) = 0;
  virtual int32_t advance(int32_t n) = 0;
  // A new input storage over the bytes of this one.
  virtual VEK_InputStorage* create_input_storage() = 0;
  virtual int32_t skip(int32_t n) = 0;
  virtual bool seek(int32_t n) = 0;
  virtual bool seek_end(int32_t n) = 0;
  virtual int32_t tell() = 0;
  // The highest position ever reached by writing.
  virtual int32_t size() = 0;
  virtual bool to_begin() = 0;
  virtual bool to_end() = 0;
};

// Clamps a 64-bit position into [low, high].
inline int64_t vek_clamp_position(int64_t value, int64_t low, int64_t high) {
  return value < low ? low : value > high ? high : value;
}

class VEK_Lockable {
 public:
  virtual ~VEK_Lockable() = default;
  virtual void lock() = 0;
  virtual void unlock() = 0;
  virtual bool try_lock() = 0;
};

class VEK_DummyLock : public VEK_Lockable {
 public:
  void lock() override {}
  void unlock() override {}
  bool try_lock() override { return true; }
};
