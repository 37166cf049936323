#pragma once
// A logical operator between every sample of a raw image and one constant.

#include <cstdint>

#include "vek_engine.h"
#include "vek_pixeloperator.h"

template <class Op>
class VEK_OpConstLogical : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The source itself when the constant would change nothing.
  VEK_Engine* engine(VEK_Engine* source, uint32_t constant);
};

extern template class VEK_OpConstLogical<VEK_PixelOperator::And>;
