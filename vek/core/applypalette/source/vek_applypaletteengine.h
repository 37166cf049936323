#pragma once
// What the palette engines share: their own copy of the palette, widened to one entry per
// possible index, and the output header of direct samples.

#include <cstdint>

#include "vek_engine.h"
#include "vek_header.h"

class VEK_ApplyPaletteEngine : public VEK_ProcessLineToLineEngine {
 public:
  explicit VEK_ApplyPaletteEngine(VEK_Manager* manager) : VEK_ProcessLineToLineEngine(manager), palette_(manager) {}
  using VEK_ProcessLineToLineEngine::initiate;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;

 protected:
  // Entry i starts at byte i x channels x bits / 8 of the data.
  VEK_Header::VEK_Palette palette_;
  uint16_t entry_channels_ = 0;
};
