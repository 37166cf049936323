#pragma once
// The general per-sample conversion out = in x slope + intercept, clamped and rounded to the
// output type, for every pair of the eight sample types.

#include <array>
#include <cstdint>

#include "vek_engine.h"
#include "vek_sampletype.h"

class VEK_ConvertDataType8xNbits : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

  // The new engine reading source's output, or null.
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope, double intercept);

 private:
  using Target = VEK_Engine* (VEK_ConvertDataType8xNbits::*)(VEK_Engine*, const VEK_DataType*, uint16_t, double,
                                                             double);
  template <class S>
  struct SourcePick;
  template <class S>
  struct TargetPick;

  // Picks D for the requested output.
  template <class S>
  VEK_Engine* dispatch_target(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope,
                              double intercept);
  // Allocates, initiates and registers the engine of one pair.
  template <class S, class D>
  VEK_Engine* create_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, double slope,
                            double intercept);
};
