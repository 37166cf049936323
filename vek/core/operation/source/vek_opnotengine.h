#pragma once

#include <cstdint>

#include "vek_engine.h"

class VEK_OpNotEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
  bool process_line(const void* source_line, void* destination_line) override;

 private:
  uint32_t line_bytes_ = 0;
};
