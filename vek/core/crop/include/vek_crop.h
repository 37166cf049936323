#pragma once
// Cutting a rectangle out of an image chain. The rectangle is in source pixels and is clipped
// at the right and bottom edges; one that starts outside the image or is empty is refused.
// Raw images are cut rows first, then columns; run-length (qk_rle) images in one engine.

#include <cstdint>

#include "vek_engine.h"

class VEK_Crop : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The source itself when the rectangle covers the whole image.
  VEK_Engine* engine(VEK_Engine* source, uint32_t x, uint32_t y, uint32_t width, uint32_t height);
};

// Lines y .. y + height - 1; the source itself for y = 0 and height >= the source's.
class VEK_CropHeight : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t y, uint32_t height);
};

// Columns x .. x + width - 1; the source itself for x = 0 and width >= the source's.
class VEK_CropWidth : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x, uint32_t width);
};

// The column croppers VEK_CropWidth picks from; each always builds its engine.
class VEK_CropWidth8xNBits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x, uint32_t width);
};

// 1-bit samples, the first column on a byte boundary.
class VEK_CropWidth1BitBS : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x, uint32_t width);
};

// 1-bit samples, the first column inside a byte.
class VEK_CropWidth1BitIS : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x, uint32_t width);
};

class VEK_CropQKRLE : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t x, uint32_t y, uint32_t width, uint32_t height);
};
