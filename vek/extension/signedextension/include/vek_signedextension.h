#pragma once
// Signed samples stored in fewer bits than their container: copies the stored sign bit into
// every bit above it, so each sample becomes a proper value of its 8- or 16-bit type.

#include <cstdint>

#include "vek_engine.h"

class VEK_SignedExtension : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // sign_bit counts from 0 at the least significant bit. The source itself when the sign
  // bit is already the container's top bit.
  VEK_Engine* engine(VEK_Engine* source, uint8_t sign_bit);
};
