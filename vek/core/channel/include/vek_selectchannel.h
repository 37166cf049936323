#pragma once
// Channel selection: one channel, or a run of adjacent channels, of an interleaved raw image as an
// image of its own under a colour type the caller names (two channels are always "unknown").

#include <cstdint>

#include "vek_engine.h"

// Count 1 goes to the single-channel creators, any other count to the several-channel ones.
class VEK_SelectChannel : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t first, uint16_t count, const VEK_ColorType* color_type);
  VEK_Engine* engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type);
};

// 1-bit or whole-byte samples; a one-channel source is handed back.
class VEK_Select1Channel : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type);
};

// A one-channel source, or the selection of all its channels, is handed back.
class VEK_SelectNChannel : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t first, uint16_t count, const VEK_ColorType* color_type);
};

class VEK_Select1Channel1bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type);
};

class VEK_Select1Channel8xNbits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t channel, const VEK_ColorType* color_type);
};

class VEK_SelectNChannel1bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t first, uint16_t count, const VEK_ColorType* color_type);
};

class VEK_SelectNChannel8xNbits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint16_t first, uint16_t count, const VEK_ColorType* color_type);
};
