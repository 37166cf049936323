#pragma once

#include <cstdint>

#include "vek_engine.h"
#include "vek_qkrlebuffer.h"

class VEK_NotQKRLEEngine : public VEK_ProcessEngine {
 public:
  explicit VEK_NotQKRLEEngine(VEK_Manager* manager) : VEK_ProcessEngine(manager), out_(manager) {}
  using VEK_ProcessEngine::initiate;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
  bool execute() override;
  bool terminate() override;

 private:
  VEK_QKRLEBuffer* buffer_ = nullptr;
  uint32_t line_ = 0;
  uint32_t last_column_ = 0;
  VEK_QKRLERunArray out_;  // reused line by line
};
