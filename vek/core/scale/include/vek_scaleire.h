#pragma once
// Whole-factor enlargement by repeating pixels or lines k times: the nearest-neighbour result
// for whole multiples, without position tables.

#include <cstdint>

#include "vek_engine.h"

// 1-bit images to VEK_ScaleWidthIRE1Bit, others to VEK_ScaleWidthIRE8xNBits.
class VEK_ScaleWidthIRE : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t factor);
};

class VEK_ScaleWidthIRE8xNBits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t factor);
};

class VEK_ScaleWidthIRE1Bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t factor);
};

class VEK_ScaleHeightIRE : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t factor);
};
