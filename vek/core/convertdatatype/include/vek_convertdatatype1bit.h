#pragma once
// Conversions from or to one-bit images. A one-bit sample is 0 or 1, so from one bit there are
// only two output values; to one bit, the converted value is thresholded at 0.5.

#include <cstdint>

#include "vek_engine.h"

// The bit a converted value becomes: 1 from 0.5 up; NaN gives 0.
inline bool vek_bit_value(double v) { return v >= 0.5; }

// One bit to one bit: the source itself, its NOT, or a constant image.
class VEK_ConvertDataType1bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, double slope, double intercept);
};

class VEK_ConvertDataTypeFrom1bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope, double intercept);
};

class VEK_ConvertDataTypeTo1bit : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, double slope, double intercept);
};

// Samples packed eight to a byte, first sample in the most significant bit.
struct VEK_PackedLine {
  uint32_t whole_bytes = 0;
  uint8_t rest = 0;  // samples in the last, partial byte
  void of(const VEK_Header& h) {
    const uint64_t n = uint64_t(h.channels()) * h.width();
    whole_bytes = uint32_t(n / 8);
    rest = uint8_t(n % 8);
  }
};

template <class T>
class VEK_ConvertDataTypeFrom1bitEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                const VEK_DataType* data_type, uint16_t bits, double slope, double intercept);
  bool process_line(const void* in, void* out) override;

 private:
  T one_{};
  T zero_{};
  VEK_PackedLine line_shape_;
};

template <class T>
class VEK_ConvertDataTypeTo1bitEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                const VEK_DataType* data_type, double slope, double intercept);
  bool process_line(const void* in, void* out) override;

 private:
  double slope_ = 0;
  double threshold_ = 0;
  VEK_PackedLine line_shape_;
};
