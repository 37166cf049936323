#pragma once
// Bitwise AND of every sample of an unsigned 8- or 16-bit raw image with a constant, or of
// two images laid over each other.

#include <cstdint>

#include "vek_engine.h"

class VEK_And : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t constant);
  // The second image's pixel (0, 0) lies on the first's (x, y); the overlap is ANDed, the
  // rest of the first passes unchanged. The first itself when they do not overlap.
  VEK_Engine* engine(VEK_Engine* first, VEK_Engine* second, int32_t x, int32_t y);
};
