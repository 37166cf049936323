#pragma once
// The engines of the pixel operators between images: one output line per step, the first
// input's line read straight into it and combined in place over the overlap.

#include <cstdint>

#include "vek_engine.h"

class VEK_OpPixelsEngine : public VEK_MultiInputProcessEngine {
 public:
  using VEK_MultiInputProcessEngine::initiate;
  using VEK_MultiInputProcessEngine::VEK_MultiInputProcessEngine;
  // Two inputs (a third, a mask, only passes the format test): same kind of raw samples,
  // no palette; their sizes may differ.
  bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                VEK_DstBuffer* destination) override;
  // One output line. Both inputs are read whole lines at a time, so a source cut short fails
  // the step instead of being read past.
  bool execute() override;

 protected:
  // Takes the second input's next line and combines it into out, the first input's line.
  virtual bool combine(uint8_t* out, VEK_SrcBuffer* second) = 0;
  // The overlap in a line of the first input, in units (samples or bits) of c per pixel, and
  // in lines; computed in 64 bits so that any placement is safe. Empty when they miss.
  void place(uint32_t x, uint32_t y, uint32_t c);

  uint32_t line_bytes_ = 0;  // of an output line
  uint32_t line_ = 0;        // current output line
  uint64_t first_unit_ = 0;
  uint64_t unit_count_ = 0;  // 0: no column overlaps
  uint32_t first_line_ = 0;
  uint32_t end_line_ = 0;  // exclusive
};
