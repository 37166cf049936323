#pragma once
// Nearest-neighbour scaling of run-length (qk_rle) images on their runs, never expanded.

#include <cstdint>

#include "vek_scale.h"

class VEK_ScaleNNQKRLE : public VEK_Scale {
 public:
  using VEK_Scale::VEK_Scale;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) override;
};

class VEK_ScaleWidthNNQKRLE : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};

class VEK_ScaleHeightNNQKRLE : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};
