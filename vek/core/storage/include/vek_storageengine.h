#pragma once
// Engines between storages and chains: read image lines from an input storage, write a
// chain into an output storage, and a storage fed by a chain on demand.

#include <cstdint>

#include "vek_decorator.h"
#include "vek_memorystorage.h"
#include "vek_readengine.h"

class VEK_ReadStorageEngine : public VEK_ReadEngine {
 public:
  using VEK_ReadEngine::initiate;
  using VEK_ReadEngine::VEK_ReadEngine;
  bool initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination, int32_t offset,
                int32_t line_gap, int32_t byte_order);
  bool execute() override;

 private:
  int32_t line_gap_ = 0;
  uint32_t lines_ = 0;
  uint32_t sample_bytes_ = 0;
  int32_t byte_order_ = 1;
  VEK_EndianConversion reverse_{0};
};

class VEK_WriteStorageEngine : public VEK_WriteEngine {
 public:
  using VEK_WriteEngine::initiate;
  using VEK_WriteEngine::VEK_WriteEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage, int32_t offset,
                int32_t pad, int32_t gap, int32_t byte_order);
  bool execute() override;
  bool terminate() override;

 private:
  int32_t pad_ = 0;
  int32_t gap_ = 0;
  uint32_t lines_ = 0;
  uint32_t height_ = 0;
  bool raw_ = false;
  uint8_t mask_ = 0xFF;
  uint16_t sample_bytes_ = 0;
  uint8_t* line_ = nullptr;
  int32_t byte_order_ = 1;
  VEK_EndianConversion reverse_{0};
};

class VEK_ReadStorage : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t offset = 0, int32_t line_gap = 0,
                     int32_t byte_order = 1);
};

class VEK_WriteStorage : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, VEK_OutputStorage* storage, int32_t offset = 0, int32_t pad = 0,
                     int32_t gap = 0, int32_t byte_order = 1);
};

// Runs a chain into memory as far as its reader needs, and reads the result back.
class VEK_DstEngineInputStorage : public VEK_InputStorage {
 public:
  using VEK_InputStorage::VEK_InputStorage;
  static VEK_DstEngineInputStorage* create(VEK_Manager* manager, VEK_Engine* source);
  bool initiate(VEK_Engine* source);

  bool terminate() override;
  bool is_empty() const override { return readback_ == nullptr || readback_->is_empty(); }
  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t advance(int32_t n) override;
  int32_t tell() override { return readback_ != nullptr ? readback_->tell() : 0; }
  int32_t skip(int32_t n) override;
  bool is_end() override;
  bool seek(int32_t n) override;
  bool seek_end(int32_t n) override;
  int32_t size() override;
  bool to_begin() override { return readback_ != nullptr && readback_->to_begin(); }
  bool to_end() override;

 private:
  // Runs the chain until n bytes are readable from the current position, or it ends.
  void fill(int32_t n);
  void finish();

  VEK_Engine* writer_ = nullptr;
  VEK_MemoryOutputStorage* memory_ = nullptr;
  VEK_InputStorage* readback_ = nullptr;
  bool finished_ = false;
};
