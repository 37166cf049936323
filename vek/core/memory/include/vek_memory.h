#pragma once
// End points between an engine chain and memory the caller owns. Raw images lie in memory
// as their lines back to back; any other encoding is an opaque stream moved in workflow blocks.

#include <cstdint>

#include "vek_engine.h"

struct VEK_MemoryCallbackInfo {
  virtual ~VEK_MemoryCallbackInfo() = default;
  uint32_t count = 1;  // blocks used so far
  void* pointer = nullptr;
  uint32_t size = 0;
  uintptr_t user = 0;  // the caller's own value, wide enough for a pointer
};
struct VEK_WriteMemoryCallbackInfo : VEK_MemoryCallbackInfo {};
struct VEK_ReadMemoryCallbackInfo : VEK_MemoryCallbackInfo {};

// True: pointer and size now describe the next block. False: no more memory will come.
using VEK_WriteMemoryCallback = bool (*)(VEK_WriteMemoryCallbackInfo*);
using VEK_ReadMemoryCallback = bool (*)(VEK_ReadMemoryCallbackInfo*);

bool no_more_memory(VEK_WriteMemoryCallbackInfo*);
bool no_more_memory(VEK_ReadMemoryCallbackInfo*);

// Last-byte mask of a raw 1-bit line: keeps its r = (channels x width) mod 8 leading bits.
uint8_t vek_last_byte_mask(const VEK_Header& header);

class VEK_WriteMemory : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, void* pointer, uint32_t size, uint32_t* counter = nullptr,
                     VEK_WriteMemoryCallback callback = no_more_memory, uintptr_t user = 0);
};

class VEK_WriteRawByteArray : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, void* pointer, uint32_t size, uint32_t* counter = nullptr);
};

class VEK_ReadMemory : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& header, const void* pointer, uint32_t size, uint32_t* counter = nullptr,
                     VEK_ReadMemoryCallback callback = no_more_memory, uintptr_t user = 0);
};

class VEK_ReadByteArray : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header& header, const void* pointer, uint32_t size, uint32_t* counter = nullptr);
};

class VEK_WriteMemoryEngine : public VEK_AnalyzeEngine {
 public:
  using VEK_AnalyzeEngine::initiate;
  using VEK_AnalyzeEngine::VEK_AnalyzeEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, void* pointer, uint32_t size, uint32_t* counter,
                VEK_WriteMemoryCallback callback, uintptr_t user);
  bool execute() override;

 private:
  uint32_t* counter_ = nullptr;
  uint32_t own_counter_ = 0;
  VEK_WriteMemoryCallback callback_ = nullptr;
  VEK_WriteMemoryCallbackInfo info_;
  bool ok_ = true;
  uint32_t line_ = 0;
  uint8_t* position_ = nullptr;
  uint32_t room_ = 0;
  uint32_t line_count_ = 0;
  bool raw_ = false;
  uint8_t mask_ = 0xFF;
};

class VEK_WriteRawByteArrayEngine : public VEK_AnalyzeEngine {
 public:
  using VEK_AnalyzeEngine::initiate;
  using VEK_AnalyzeEngine::VEK_AnalyzeEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, void* pointer, uint32_t size, uint32_t* counter);
  bool execute() override;

 private:
  uint8_t* position_ = nullptr;
  uint32_t room_ = 0;
  bool too_small_ = false;
  uint32_t calls_ = 0;
  uint32_t line_count_ = 0;
  uint8_t mask_ = 0xFF;
  uint32_t* counter_ = nullptr;
  uint32_t own_counter_ = 0;
};

class VEK_ReadMemoryEngine : public VEK_BufferOutputEngine {
 public:
  using VEK_BufferOutputEngine::initiate;
  using VEK_BufferOutputEngine::VEK_BufferOutputEngine;
  bool initiate(const VEK_Header* header, VEK_DstBuffer* destination, const void* pointer, uint32_t size,
                uint32_t* counter, VEK_ReadMemoryCallback callback, uintptr_t user);
  bool execute() override;

 private:
  uint32_t* counter_ = nullptr;
  uint32_t own_counter_ = 0;
  VEK_ReadMemoryCallback callback_ = nullptr;
  VEK_ReadMemoryCallbackInfo info_;
  uint32_t line_ = 0;
  const uint8_t* position_ = nullptr;
  uint32_t left_ = 0;
  bool ok_ = true;
};

class VEK_ReadByteArrayEngine : public VEK_BufferOutputEngine {
 public:
  using VEK_BufferOutputEngine::initiate;
  using VEK_BufferOutputEngine::VEK_BufferOutputEngine;
  bool initiate(const VEK_Header* header, VEK_DstBuffer* destination) override;
  bool execute() override;
};

// A destination buffer that is the caller's array itself: readers are served from it.
class VEK_ByteArrayDstBuffer : public VEK_DstBufferImpl {
 public:
  using VEK_DstBufferImpl::VEK_DstBufferImpl;
  bool initiate(const VEK_Header* header, const void* pointer, uint32_t size, uint32_t* counter);
  bool terminate() override { return true; }
  uint32_t block_bytes() const override { return block_bytes_; }
  bool block_bytes(uint32_t n) override;
  void* get() override;
  bool release(uint32_t n) override;
  uint32_t src_block_bytes() const override { return src_block_bytes_; }
  bool src_block_bytes(uint32_t n) override;
  bool src_get(void* buffer, uint32_t offset, uint32_t* n) override;
  const void* src_get(uint32_t offset, uint32_t* n) override;
  bool src_release(VEK_SrcBuffer*, uint32_t) override { return true; }
  bool src_end(VEK_SrcBuffer*) override { return true; }
  VEK_Vector<VEK_SrcBuffer*> src_buffers(uint32_t n) override { return create_src_buffer(this, n); }
  VEK_SrcBuffer* src_buffer() override { return create_src_buffer(this); }
  bool close() override { return true; }
  bool front(VEK_DstBuffer*) override { return true; }
  using VEK_DstBufferImpl::create_src_buffer;

 private:
  uint32_t block_bytes_ = 0;
  uint32_t src_block_bytes_ = 0;
  const uint8_t* array_ = nullptr;
  uint32_t size_ = 0;
  bool short_ = false;
  uint32_t* counter_ = nullptr;
  uint32_t own_counter_ = 0;
};
