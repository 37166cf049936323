#pragma once
// The one entry for mapping sample values, out = in x slope + intercept: it hands the source
// back when nothing changes, or appends the cheapest engine that gives the same result.

#include <cstdint>

#include "vek_engine.h"
#include "vek_lut.h"

class VEK_ConvertDataType : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

  // The source itself when nothing changes, else the new last engine; null on failure.
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope, double intercept);

  // Fills table (lut's bits and data type) with the values for source values i + offset.
  static void fill_linear_lut(void* table, int32_t offset, const VEK_LutData& lut, double slope, double intercept);

  // A power-of-two slope without intercept between integer types; sets the shift count and
  // whether the result needs clamping.
  bool is_pure_shift(const VEK_Header& source, const VEK_DataType* data_type, uint16_t bits, double slope,
                     double intercept);
  // A one-bit source that becomes two whole values inside the output range; sets them.
  bool is_two_value_conversion(const VEK_Header& source, const VEK_DataType* data_type, uint16_t bits, double slope,
                               double intercept);

  int16_t shift_count() const { return shift_count_; }
  bool with_limit() const { return with_limit_; }
  int32_t value0() const { return value0_; }
  int32_t value1() const { return value1_; }

 private:
  VEK_Engine* lut_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope,
                         double intercept);

  int16_t shift_count_ = 0;
  int32_t value0_ = 0;
  int32_t value1_ = 0;
  bool with_limit_ = false;
};
