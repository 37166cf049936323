#pragma once
// Storages over memory: a caller's byte array (not owned), or a shared list of
// fixed-size blocks that one output storage fills and any number of input storages read.

#include <cstdint>

#include "vek_refpointer.h"
#include "vek_storage.h"
#include "vek_vector.h"

class VEK_ByteArrayInputStorage : public VEK_InputStorage {
 public:
  using VEK_InputStorage::VEK_InputStorage;
  bool initiate(const void* data, int32_t size);
  bool initiate(const void* begin, const void* end);
  bool terminate() override;
  bool is_empty() const override { return data_ == nullptr; }
  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t tell() override { return position_; }
  int32_t skip(int32_t n) override;
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t size() override { return size_; }
  bool to_begin() override;
  bool to_end() override;

 private:
  int32_t available(int32_t n) const;

  const uint8_t* data_ = nullptr;
  int32_t position_ = 0;
  int32_t size_ = 0;
};

class VEK_ByteArrayOutputStorage : public VEK_OutputStorage {
 public:
  using VEK_OutputStorage::VEK_OutputStorage;
  static VEK_ByteArrayOutputStorage* create(VEK_Manager* manager, void* data, int32_t capacity);
  bool initiate(void* data, int32_t capacity);
  bool initiate(void* begin, void* end);
  bool terminate() override;
  bool is_empty() const override { return data_ == nullptr; }
  int32_t put(uint8_t byte) override;
  int32_t write(const void* buffer, int32_t n) override;
  int32_t advance(int32_t n) override;
  VEK_InputStorage* create_input_storage() override;
  int32_t skip(int32_t n) override;
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t tell() override { return position_; }
  int32_t size() override { return written_; }
  bool to_begin() override;
  bool to_end() override;

 private:
  int32_t available(int32_t n) const;
  void moved() {
    if (position_ > written_) written_ = position_;
  }

  uint8_t* data_ = nullptr;
  int32_t position_ = 0;
  int32_t capacity_ = 0;
  int32_t written_ = 0;
};

class VEK_MemoryBlockVector : public VEK_Vector<unsigned char*> {
 public:
  VEK_MemoryBlockVector(VEK_Manager* manager, int32_t block_bytes, const void* initial = nullptr);
  ~VEK_MemoryBlockVector() override;
  // A new block at the end; null when full or out of memory.
  unsigned char* add_block();
  int32_t block_bytes() const { return block_bytes_; }
  int32_t written() const { return written_ < 0 ? 0 : written_; }
  void written(int32_t n) { written_ = n; }
  int32_t limit() const { return limit_; }

 private:
  int32_t block_bytes_;
  int32_t written_ = 0;
  int32_t limit_;
};

using VEK_SharedBlocks = VEK_RefPointer<VEK_MemoryBlockVector>;

class VEK_MemoryOutputStorage : public VEK_OutputStorage {
 public:
  using VEK_OutputStorage::VEK_OutputStorage;
  static VEK_MemoryOutputStorage* create(VEK_Manager* manager, int32_t block_bytes);
  bool initiate(int32_t block_bytes);
  bool terminate() override;
  bool is_empty() const override { return !blocks_; }
  int32_t put(uint8_t byte) override;
  int32_t write(const void* buffer, int32_t n) override;
  int32_t advance(int32_t n) override;
  VEK_InputStorage* create_input_storage() override;
  int32_t skip(int32_t n) override;
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t tell() override { return position_; }
  int32_t size() override { return blocks_ ? blocks_->written() : 0; }
  bool to_begin() override;
  bool to_end() override;

  const VEK_SharedBlocks& blocks() const { return blocks_; }

 private:
  // The block that holds position, added when needed; null when none can be had.
  unsigned char* block_at_position();
  void moved() {
    if (position_ > blocks_->written()) blocks_->written(position_);
  }

  int32_t position_ = 0;
  VEK_SharedBlocks blocks_;
};

class VEK_MemoryInputStorage : public VEK_InputStorage {
 public:
  using VEK_InputStorage::VEK_InputStorage;
  bool initiate(const VEK_SharedBlocks& blocks);
  bool terminate() override;
  bool is_empty() const override { return !blocks_; }
  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t tell() override { return position_; }
  int32_t skip(int32_t n) override;
  int32_t size() override { return blocks_ ? blocks_->written() : 0; }
  bool to_begin() override;
  bool to_end() override;

 private:
  int32_t position_ = 0;
  VEK_SharedBlocks blocks_;
};
