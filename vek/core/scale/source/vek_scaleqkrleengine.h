#pragma once
// Run-length scaling engines: the whole source is loaded into a run buffer, lines are taken
// from it by index and scaled on their runs.

#include <cstdint>

#include "vek_engine.h"
#include "vek_qkrlebuffer.h"

class VEK_ScaleWidthQKRLEEngine : public VEK_ProcessEngine {
 public:
  explicit VEK_ScaleWidthQKRLEEngine(VEK_Manager* manager) : VEK_ProcessEngine(manager), out_(manager) {}
  using VEK_ProcessEngine::initiate;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width);
  bool terminate() override;

 protected:
  double ratio_ = 0;  // output width / source width
  uint32_t width_ = 0;
  uint32_t next_line_ = 0;
  uint32_t line_count_ = 0;
  VEK_QKRLEBuffer* buffer_ = nullptr;
  VEK_QKRLERunArray out_;  // reused line by line
};

class VEK_ScaleWidthNNQKRLEEngine : public VEK_ScaleWidthQKRLEEngine {
 public:
  using VEK_ScaleWidthQKRLEEngine::VEK_ScaleWidthQKRLEEngine;
  bool execute() override;
};

class VEK_ScaleHeightQKRLEEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::VEK_ProcessEngine;
  using VEK_ProcessEngine::initiate;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height);
  bool terminate() override;

 protected:
  uint32_t next_line_ = 0;
  uint32_t lines_made_ = 0;
  double ratio_ = 0;  // source height / output height
  double position_ = 0;
  uint32_t height_ = 0;
  uint32_t src_height_ = 0;
  VEK_QKRLEBuffer* buffer_ = nullptr;
};

class VEK_ScaleHeightNNQKRLEEngine : public VEK_ScaleHeightQKRLEEngine {
 public:
  using VEK_ScaleHeightQKRLEEngine::VEK_ScaleHeightQKRLEEngine;
  using VEK_ScaleHeightQKRLEEngine::initiate;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override;
  bool execute() override;
};
