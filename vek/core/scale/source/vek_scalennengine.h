#pragma once

#include <cstdint>

#include "vek_scaleengine.h"

class VEK_ScaleWidthNNEngine : public VEK_ScaleWidthEngine {
 public:
  using VEK_ScaleWidthEngine::initiate;
  using VEK_ScaleWidthEngine::VEK_ScaleWidthEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) override;
  bool execute() override;
  bool terminate() override;

 private:
  uint32_t* table_ = nullptr;  // byte offset of each output pixel, bit offset at 1 bit
  uint16_t bits_ = 0;
  uint32_t pixel_bytes_ = 0;
};

class VEK_ScaleHeightNNEngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::initiate;
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override;
  bool execute() override;
  bool terminate() override;

 private:
  bool skip_to(uint32_t line);

  const uint8_t* held_ = nullptr;  // source line lines_taken_ - 1, kept while it repeats
};
