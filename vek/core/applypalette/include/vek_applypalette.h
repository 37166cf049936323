#pragma once
// Indexed images: replaces every index by the components of the palette entry it names,
// so that the engines after it see direct samples. A chain without a palette is handed
// back unchanged.

#include "vek_engine.h"

// Chooses by the index depth: one bit, or whole bytes.
class VEK_ApplyPalette : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source);
};

class VEK_ApplyPalette1Bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source);
};

// 8- and 16-bit indices; other depths are refused.
class VEK_ApplyPalette8xNBits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source);
};
