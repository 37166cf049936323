#pragma once
// Run-length scaling engines: the whole source is loaded into a run buffer, lines are taken
// from it by index and scaled on their runs.

#include <cstdint>

#include "vek_engine.h"
#include "vek_qkrlebuffer.h"

// What the width and height engines share: the format and size checks, the destination block
// of the source's longest line and the run buffer, destroyed in terminate.
class VEK_ScaleQKRLEEngineBase : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool terminate() override;

 protected:
  // After VEK_ProcessEngine::initiate: refuses a zero size or source size (0x80800000) and a
  // format other than 1-bit qk_rle whose longest line fits a 32-bit block (0x81000000), reported
  // under method; then sets the block and makes the run buffer.
  bool start(const VEK_Header* header, uint32_t size, uint32_t src_size, const char* method);

  VEK_QKRLEBuffer* buffer_ = nullptr;
};

class VEK_ScaleWidthQKRLEEngine : public VEK_ScaleQKRLEEngineBase {
 public:
  explicit VEK_ScaleWidthQKRLEEngine(VEK_Manager* manager) : VEK_ScaleQKRLEEngineBase(manager), out_(manager) {}
  using VEK_ScaleQKRLEEngineBase::initiate;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width);

 protected:
  double ratio_ = 0;  // output width / source width
  uint32_t width_ = 0;
  uint32_t next_line_ = 0;
  uint32_t line_count_ = 0;
  VEK_QKRLERunArray out_;  // reused line by line
};

class VEK_ScaleWidthNNQKRLEEngine : public VEK_ScaleWidthQKRLEEngine {
 public:
  using VEK_ScaleWidthQKRLEEngine::VEK_ScaleWidthQKRLEEngine;
  bool execute() override;
};

class VEK_ScaleHeightQKRLEEngine : public VEK_ScaleQKRLEEngineBase {
 public:
  using VEK_ScaleQKRLEEngineBase::initiate;
  using VEK_ScaleQKRLEEngineBase::VEK_ScaleQKRLEEngineBase;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height);

 protected:
  uint32_t next_line_ = 0;
  uint32_t lines_made_ = 0;
  double ratio_ = 0;  // source height / output height
  double position_ = 0;
  uint32_t height_ = 0;
  uint32_t src_height_ = 0;
};

class VEK_ScaleHeightNNQKRLEEngine : public VEK_ScaleHeightQKRLEEngine {
 public:
  using VEK_ScaleHeightQKRLEEngine::initiate;
  using VEK_ScaleHeightQKRLEEngine::VEK_ScaleHeightQKRLEEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override;
  bool execute() override;
};
