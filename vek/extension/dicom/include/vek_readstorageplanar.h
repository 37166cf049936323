#pragma once
// Colour stored plane by plane, read as interleaved pixels: one reader per plane over a
// shared storage, merged channel by channel.

#include <cstdint>

#include "vek_engine.h"
#include "vek_storage.h"

class VEK_ReadStoragePlanar : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // Plane 0 begins at start; line gap bytes lie between lines; byte order 1 is little-endian.
  VEK_Engine* engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t start, int32_t line_gap,
                     int32_t byte_order);
};
