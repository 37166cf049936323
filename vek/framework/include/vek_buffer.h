#pragma once
// Buffers between engines. A writer fills one destination buffer in write blocks; each
// reader holds its own source buffer on it and reads in read blocks. Missing bytes are
// pulled: the destination has the manager run its writer one step at a time.

#include <cstdint>
#include <utility>

#include "vek_list.h"
#include "vek_object.h"
#include "vek_vector.h"

class VEK_DstBuffer;

class VEK_SrcBuffer : public VEK_Object {
 public:
  using VEK_Object::VEK_Object;
  virtual uint32_t block_bytes() const = 0;
  virtual bool block_bytes(uint32_t n) = 0;
  // Copies the next read block into buffer. Without got, a short block is a failure.
  virtual bool get(void* buffer, uint32_t* got) = 0;
  // The next read block inside the destination buffer; null at the end or on failure.
  virtual const void* get(uint32_t* got) = 0;
  // Done with the oldest block not yet released.
  virtual bool release() = 0;
  virtual bool initiate(VEK_DstBuffer* destination) = 0;
};

class VEK_SrcBufferImpl : public VEK_SrcBuffer {
 public:
  using VEK_SrcBuffer::VEK_SrcBuffer;
  bool terminate() override;
  uint32_t block_bytes() const override;
  bool block_bytes(uint32_t n) override;
  bool get(void* buffer, uint32_t* got) override;
  const void* get(uint32_t* got) override;
  bool release() override;
  bool initiate(VEK_DstBuffer* destination) override;

  uint32_t position() const { return position_; }

 private:
  bool delivered(uint32_t n, uint32_t* got);

  VEK_DstBuffer* destination_ = nullptr;
  uint32_t position_ = 0;
  uint32_t gets_ = 0;
  uint32_t releases_ = 0;
};

class VEK_DstBuffer : public VEK_Object {
 public:
  using VEK_Object::VEK_Object;
  // Writer side.
  virtual uint32_t block_bytes() const = 0;
  virtual bool block_bytes(uint32_t n) = 0;
  virtual void* get() = 0;
  virtual bool release(uint32_t n) = 0;
  // Reader side.
  virtual uint32_t src_block_bytes() const = 0;
  virtual bool src_block_bytes(uint32_t n) = 0;
  virtual bool src_get(void* buffer, uint32_t offset, uint32_t* n) = 0;
  virtual const void* src_get(uint32_t offset, uint32_t* n) = 0;
  virtual bool src_release(VEK_SrcBuffer* reader, uint32_t offset) = 0;
  virtual bool src_end(VEK_SrcBuffer* reader) = 0;
  virtual VEK_Vector<VEK_SrcBuffer*> create_src_buffer(VEK_DstBuffer* front, uint32_t n) = 0;
  virtual VEK_SrcBuffer* create_src_buffer(VEK_DstBuffer* front) = 0;
  virtual void notify_destroy() = 0;
  // Readers for this buffer as the front.
  virtual VEK_Vector<VEK_SrcBuffer*> src_buffers(uint32_t n) = 0;
  virtual VEK_SrcBuffer* src_buffer() = 0;
  // No more writing.
  virtual bool close() = 0;
  // The buffer that stands for this one towards readers and the relation table.
  virtual bool front(VEK_DstBuffer* front) = 0;
};

class VEK_DstBufferImpl : public VEK_DstBuffer {
 public:
  using VEK_DstBuffer::VEK_DstBuffer;
  VEK_Vector<VEK_SrcBuffer*> create_src_buffer(VEK_DstBuffer* front, uint32_t n) override;
  VEK_SrcBuffer* create_src_buffer(VEK_DstBuffer* front) override;
  void notify_destroy() override {}

 protected:
  bool readers_made_ = false;
};

class VEK_DstBufferBase : public VEK_DstBufferImpl {
 public:
  enum State : uint32_t { kNew = 0, kClosed = 1, kStarted = 2, kBlockOut = 3, kSpillOut = 4 };

  using VEK_DstBufferImpl::VEK_DstBufferImpl;
  bool terminate() override { return true; }
  uint32_t block_bytes() const override { return block_bytes_; }
  bool block_bytes(uint32_t n) override;
  uint32_t src_block_bytes() const override { return src_block_bytes_; }
  bool src_block_bytes(uint32_t n) override;
  bool close() override;
  VEK_Vector<VEK_SrcBuffer*> src_buffers(uint32_t) override { return VEK_Vector<VEK_SrcBuffer*>(manager_); }
  VEK_SrcBuffer* src_buffer() override { return nullptr; }
  bool front(VEK_DstBuffer* front) override;
  virtual bool initiate(uint32_t total);

  State state() const { return state_; }
  uint32_t written() const { return written_; }
  uint32_t total() const { return total_; }

 protected:
  State state_ = kNew;
  uint32_t written_ = 0;
  VEK_DstBuffer* front_ = nullptr;
  uint32_t total_ = 0;
  uint32_t block_bytes_ = 0;
  uint32_t src_block_bytes_ = 0;
};

// The single-thread block buffer: memory blocks of M bytes, M a multiple of the read block
// size holding at least one write block; a write crossing two memory blocks goes through
// a spill block; one spare block is cached for reuse.
class VEK_STBlockDstBuffer : public VEK_DstBufferBase {
 public:
  struct Block {
    uint8_t* data = nullptr;
    bool owned = false;
  };
  class BlockCache : public VEK_Utility {
   public:
    using VEK_Utility::VEK_Utility;
    ~BlockCache() override { drop(); }
    void drop() {
      if (block.owned && block.data != nullptr) manager_->free(block.data);
      block = Block();
    }
    bool empty() const { return block.data == nullptr; }
    Block block;
  };

  explicit VEK_STBlockDstBuffer(VEK_Manager* manager)
      : VEK_DstBufferBase(manager), cache_(manager), blocks_(manager), readers_(manager) {}
  ~VEK_STBlockDstBuffer() override;
  bool terminate() override;

  void* get() override;
  bool release(uint32_t n) override;
  bool src_get(void* buffer, uint32_t offset, uint32_t* n) override;
  const void* src_get(uint32_t offset, uint32_t* n) override;
  bool src_release(VEK_SrcBuffer* reader, uint32_t offset) override;
  bool src_end(VEK_SrcBuffer* reader) override;
  VEK_Vector<VEK_SrcBuffer*> create_src_buffer(VEK_DstBuffer* front, uint32_t n) override;
  VEK_SrcBuffer* create_src_buffer(VEK_DstBuffer* front) override;
  virtual bool add_block();
  virtual bool drop_first_block();

  // For tests and accounting.
  uint32_t memory_block_bytes() const { return memory_block_bytes_; }
  uint32_t base() const { return base_; }
  uint32_t block_count() const { return blocks_.size(); }
  const Block* block(uint32_t i) const { return i < blocks_.size() ? &blocks_.data()[i] : nullptr; }
  bool cache_empty() const { return cache_.empty(); }

 private:
  bool compute_memory_block_bytes();
  bool add_reader(VEK_SrcBuffer* reader);

  uint32_t memory_block_bytes_ = 0;
  uint32_t base_ = 0;
  uint8_t* spill_ = nullptr;
  BlockCache cache_;
  VEK_Vector<Block> blocks_;
  VEK_List<std::pair<VEK_SrcBuffer*, uint32_t>> readers_;
};

// What a creator hands to the engine before the real buffer exists; the buffer's identity
// towards its readers and the relation table.
class VEK_DstBufferProxy : public VEK_DstBufferImpl {
 public:
  using VEK_DstBufferImpl::VEK_DstBufferImpl;
  bool destroy() override;
  bool terminate() override;
  uint32_t block_bytes() const override;
  bool block_bytes(uint32_t n) override;
  void* get() override;
  bool release(uint32_t n) override;
  uint32_t src_block_bytes() const override;
  bool src_block_bytes(uint32_t n) override;
  bool src_get(void* buffer, uint32_t offset, uint32_t* n) override;
  const void* src_get(uint32_t offset, uint32_t* n) override;
  bool src_release(VEK_SrcBuffer* reader, uint32_t offset) override;
  bool src_end(VEK_SrcBuffer* reader) override;
  void notify_destroy() override {
    if (real_ != nullptr) real_->notify_destroy();
  }
  VEK_Vector<VEK_SrcBuffer*> src_buffers(uint32_t n) override;
  VEK_SrcBuffer* src_buffer() override;
  bool close() override { return true; }
  bool front(VEK_DstBuffer*) override { return false; }

  // Puts the real buffer behind the proxy; false leaves the proxy without one.
  bool attach(VEK_DstBuffer* real);
  VEK_DstBuffer* real() const { return real_; }

 private:
  VEK_DstBuffer* real_ = nullptr;
  uint32_t pending_block_bytes_ = 0;
};
