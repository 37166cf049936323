#pragma once
// Bases of every width-only and height-only scaling engine: the sizes, line bytes and block
// sizes that all of them need, checked once here.

#include <cstdint>

#include "vek_engine.h"

// One output line per source line, the width changed. Derived engines call initiate first, then
// check their formats and build their tables; execute takes a line, makes one, releases both.
class VEK_ScaleWidthEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  // Output width w. Refuses w = 0, a source of width 0 and lines past 32-bit sizes with
  // 0x80800000; sets the source block to a source line and the destination block to an output line.
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width);

 protected:
  uint32_t src_width_ = 0;
  uint32_t width_ = 0;
  uint16_t channels_ = 0;
  uint32_t src_line_bytes_ = 0;
  uint32_t line_bytes_ = 0;
};

// The width kept, lines picked, repeated or combined. position_ and step_ (source height / output
// height) serve engines that walk the source by a running position; the counters serve all.
class VEK_ScaleHeightEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  // Output height h. Refuses h = 0, a source of height 0 and a line past a 32-bit size with
  // 0x80800000; both block sizes become one line.
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height);

 protected:
  // Source line of a running position, never past the last one.
  uint32_t line_at(double position) const {
    const uint32_t last = src_height_ - 1;
    return position >= double(last) ? last : position > 0 ? uint32_t(position) : 0;
  }

  uint32_t src_height_ = 0;
  uint32_t height_ = 0;
  uint32_t line_bytes_ = 0;
  double position_ = 0;
  double step_ = 0;
  uint32_t lines_taken_ = 0;
  uint32_t lines_made_ = 0;
};
