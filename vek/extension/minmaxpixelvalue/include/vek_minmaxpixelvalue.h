#pragma once
// The smallest and largest sample of a one-channel image. The engine has no output: it
// writes the running extremes into two variables the caller owns, which hold the image's
// minimum and maximum once its execute has answered false. Until then the caller keeps
// them alive.

#include <cstdint>

#include "vek_engine.h"

class VEK_MinMaxPixelValue : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // Each overload takes only its own data type: floating (double and float), s_integer
  // (int) or u_integer (unsigned int).
  VEK_Engine* engine(VEK_Engine* source, double* minimum, double* maximum);
  VEK_Engine* engine(VEK_Engine* source, float* minimum, float* maximum);
  VEK_Engine* engine(VEK_Engine* source, int* minimum, int* maximum);
  VEK_Engine* engine(VEK_Engine* source, unsigned int* minimum, unsigned int* maximum);

 private:
  bool check(VEK_Engine* source, const VEK_DataType* type, uint32_t no_source_line, uint32_t type_line);
};
