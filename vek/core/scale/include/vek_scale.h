#pragma once
// Nearest-neighbour scaling of raw images, and the base of the creators that scale both
// dimensions. Every creator gives the source itself back when nothing would change.

#include <cstdint>

#include "vek_engine.h"

// A creator that scales an image to a given width and height.
class VEK_Scale : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  virtual VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) = 0;
};

// Picks subsampling, the one-pass shrink or a width pass and a height pass (whole multiples by
// replication); run-length sources go to VEK_ScaleNNQKRLE. The height pass runs first exactly
// when the height shrinks.
class VEK_ScaleNN : public VEK_Scale {
 public:
  using VEK_Scale::VEK_Scale;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) override;
};

// Output pixel (i, j) = source pixel (x offset + i x step, y offset + j x step); the output
// covers what is left of the source after the offsets, rounded up.
class VEK_ScaleSS : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x_step, uint32_t y_step, uint32_t x_offset, uint32_t y_offset);
};

// Both dimensions in one pass: 8 and 16-bit samples and 1-bit, 1-channel images.
class VEK_ScaleShrinkNN : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height);
};

class VEK_ScaleWidthNN : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};

class VEK_ScaleHeightNN : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};
