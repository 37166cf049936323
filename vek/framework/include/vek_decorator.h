#pragma once
// Decorators wrap one storage and change how it is seen. The wrapped storage is not owned;
// it is recorded as a dependency so that it outlives the decorator.

#include <cstdint>

#include "vek_inputstoragedecorator.h"
#include "vek_mutex.h"
#include "vek_outputstoragedecorator.h"
#include "vek_storage.h"

// Byte order 1 is the machine's own (little-endian); any other value reverses each value.
class VEK_EndianConversion {
 public:
  explicit VEK_EndianConversion(int32_t order = 1) : reverse_(order != 1) {}
  // The previous order: 1 when nothing was being reversed, else 0.
  int32_t byte_order(int32_t order) {
    const int32_t old = reverse_ ? 0 : 1;
    reverse_ = order != 1;
    return old;
  }
  void convert(void* data, uint32_t n) const {
    if (reverse_) reverse(data, n);
  }
  // Reverses the bytes of each sample of sample_bytes in place.
  void convert_samples(void* data, uint32_t n, uint32_t sample_bytes) const;
  static void reverse(void* data, uint32_t n);

 private:
  bool reverse_;
};

class VEK_DataInput : public VEK_InputStorageDecorator, private VEK_EndianConversion {
 public:
  using VEK_InputStorageDecorator::VEK_InputStorageDecorator;
  static VEK_DataInput* create(VEK_Manager* manager, VEK_InputStorage* storage, int32_t byte_order);
  using VEK_InputStorageDecorator::initiate;
  bool initiate(VEK_InputStorage* storage, int32_t byte_order);
  // Exactly n bytes as one value in the chosen byte order; false on a short read.
  bool read_binary(void* buffer, int32_t n);
};

class VEK_DataOutput : public VEK_OutputStorageDecorator, private VEK_EndianConversion {
 public:
  using VEK_OutputStorageDecorator::VEK_OutputStorageDecorator;
  static VEK_DataOutput* create(VEK_Manager* manager, VEK_OutputStorage* storage, int32_t byte_order);
  using VEK_OutputStorageDecorator::initiate;
  bool initiate(VEK_OutputStorage* storage, int32_t byte_order);
  // Writes n bytes as one value; the caller's bytes stay converted.
  bool write_binary(void* buffer, int32_t n);
};

// A window onto part of a storage; positions are relative to the window's begin.
class VEK_InputStorageBound : public VEK_InputStorageDecorator {
 public:
  using VEK_InputStorageDecorator::VEK_InputStorageDecorator;
  static VEK_InputStorageBound* create(VEK_Manager* manager, VEK_InputStorage* storage, int32_t n);
  // The rest of the storage.
  bool initiate(VEK_InputStorage* storage) override;
  // The next n bytes.
  bool initiate(VEK_InputStorage* storage, int32_t n);
  bool initiate(VEK_InputStorage* storage, int32_t begin, int32_t end);

  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t advance(int32_t n) override;
  int32_t tell() override { return position(); }
  int32_t skip(int32_t n) override;
  bool is_end() override { return end_ == begin_ || remain_ == 0; }
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t size() override { return end_ - begin_; }
  bool to_begin() override;
  bool to_end() override;
  bool unget() override;

  void remain(int32_t n) { remain_ = n; }
  int32_t remain() const { return remain_; }
  bool set_bound(int32_t n);
  bool set_remain(int32_t begin, int32_t end);

 private:
  int32_t position() const { return end_ - begin_ - remain_; }
  // Moves the decorated storage, keeping remain in step.
  int32_t move(int32_t n);

  int32_t remain_ = 0;
  int32_t begin_ = 0;
  int32_t end_ = 0;
};

// A reader with its own position over a shared storage.
class VEK_MoveInMoveOutInputStorage : public VEK_InputStorageDecorator {
 public:
  using VEK_InputStorageDecorator::VEK_InputStorageDecorator;
  static VEK_MoveInMoveOutInputStorage* create(VEK_Manager* manager, VEK_InputStorage* storage);
  bool initiate(VEK_InputStorage* storage) override;
  bool initiate(VEK_InputStorage* storage, int32_t position);

  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t advance(int32_t n) override { return skip(n); }
  int32_t tell() override { return position_; }
  int32_t skip(int32_t n) override;
  bool is_end() override { return storage_ == nullptr || position_ == storage_->size(); }
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t size() override { return storage_ != nullptr ? storage_->size() : 0; }
  bool to_begin() override;
  bool to_end() override;
  bool unget() override { return skip(-1) == -1; }

 private:
  bool attach(VEK_InputStorage* storage);
  // Moves the shared storage to the own position; false when it falls short.
  bool move_in(int32_t& saved);
  void move_out(int32_t saved);

  int32_t position_ = 0;
  VEK_Lockable* lock_ = &dummy_;
  VEK_DummyLock dummy_;
};

// Serialises every call on the wrapped storage; readers stacked on it lock it for their
// whole move-in, read, move-out sequence.
class VEK_MutexInputStorage : public VEK_InputStorageDecorator, public VEK_Lockable {
 public:
  using VEK_InputStorageDecorator::VEK_InputStorageDecorator;
  static VEK_MutexInputStorage* create(VEK_Manager* manager, VEK_InputStorage* storage);

  bool terminate() override { return true; }
  bool is_empty() const override { return false; }
  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t tell() override;
  int32_t skip(int32_t n) override;
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t size() override;
  bool to_begin() override;
  bool to_end() override;

  void lock() override { mutex_.lock(); }
  void unlock() override { mutex_.unlock(); }
  bool try_lock() override { return mutex_.try_lock(); }

 private:
  VEK_Mutex mutex_;
};
