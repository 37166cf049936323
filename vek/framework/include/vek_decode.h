#pragma once
// Decoders of one encoded stream: given an engine delivering encoded bytes, an engine
// delivering the decoded image.

#include "vek_engine.h"

class VEK_Decode : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  virtual VEK_Engine* engine(VEK_Engine* source) = 0;
  virtual const VEK_EncodeType* encode_type() const = 0;
};
