#pragma once
// Reduction of 8 and 16-bit unsigned images by whole factors, each output sample the rounded
// mean of the samples it covers.

#include <cstdint>

#include "vek_engine.h"

// The height pass, then the width pass.
class VEK_ScaleIAR : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x_factor, uint32_t y_factor);
};

// The steps both passes share.
class VEK_ScaleIARPass : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

 protected:
  template <template <class> class E>
  VEK_Engine* pass(VEK_Engine* source, uint32_t factor, bool width, const char* method);
};

// Output width = source width / factor, at least 1; source pixels past a whole group are unused.
class VEK_ScaleWidthIAR : public VEK_ScaleIARPass {
 public:
  using VEK_ScaleIARPass::VEK_ScaleIARPass;
  VEK_Engine* engine(VEK_Engine* source, uint32_t factor);
};

class VEK_ScaleHeightIAR : public VEK_ScaleIARPass {
 public:
  using VEK_ScaleIARPass::VEK_ScaleIARPass;
  VEK_Engine* engine(VEK_Engine* source, uint32_t factor);
};
