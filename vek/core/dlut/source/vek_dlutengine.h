#pragma once
// What every interpolating table engine shares: the checked arguments, the table in the source's
// sample width, the strides and the grid cell of every possible sample value.

#include <cstdint>

#include "vek_engine.h"

class VEK_DLutEngine : public VEK_ProcessLineToLineEngine {
 public:
  static constexpr uint16_t kMaxChannels = 16;
  static constexpr uint32_t kMaxGrid = 65;

  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  ~VEK_DLutEngine() override { release(); }
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        uint16_t table_bits, uint16_t out_channels, uint16_t grid, bool slowest_first,
                        const void* table, const VEK_ColorType* color_type);
  bool terminate() override;

 protected:
  uint16_t in_channels_ = 0;
  uint32_t out_channels_ = 0;
  uint32_t grid_ = 0;
  void* table_ = nullptr;  // grid^n x m samples of the source's width
  double scale_ = 0.0;     // (grid - 1) / max
  uint32_t strides_[kMaxChannels + 1] = {};
  uint32_t max_ = 0;
  uint32_t* index_ = nullptr;  // the cell of every value 0 .. max

 private:
  void release();
};
