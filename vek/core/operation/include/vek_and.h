#pragma once
// Bitwise AND of every sample of an unsigned 8- or 16-bit raw image with a constant.

#include <cstdint>

#include "vek_engine.h"

class VEK_And : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t constant);
};
