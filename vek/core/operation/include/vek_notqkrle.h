#pragma once
// Bitwise NOT of a run-length (qk_rle) image: each line's gaps become its runs.

#include "vek_engine.h"

class VEK_NotQKRLE : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source);
};
