#pragma once
// Bitwise NOT of every byte of an unsigned 1-, 8- or 16-bit raw image, or of a run-length image.

#include "vek_engine.h"

class VEK_Not : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source);
};
