#pragma once
// One-bit images to 8- or 16-bit integers with two whole output values: one table look-up
// and one eight-value copy per source byte.

#include <cstdint>

#include "vek_convertdatatype1bit.h"
#include "vek_engine.h"

class VEK_Convert1To8xNBits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int32_t value0, int32_t value1);
};

template <class T>
class VEK_Convert1To8xNBitsEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                const VEK_DataType* data_type, uint16_t bits, int32_t value0, int32_t value1);
  bool process_line(const void* in, void* out) override;
  bool terminate() override;

 private:
  T zero_{};
  T one_{};
  VEK_PackedLine line_shape_;
  T* table_ = nullptr;  // 256 entries of 8 values: entry b is the output of source byte b
};
