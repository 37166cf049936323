#include "vek_minmaxpixelvalue.h"

#include "vek_errorhandler.h"
#include "vek_minmaxpixelvalueengine.h"

namespace {
constexpr const char* kFile = "extension/minmaxpixelvalue/source/vek_minmaxpixelvalue.cpp";
constexpr const char* kMethod = "VEK_MinMaxPixelValue::engine()";
}  // namespace

// The data type is checked before a reader is taken from the source, so a refusal leaves
// nothing to clean up. A wrong type is the caller's choice of overload: a bad argument.
bool VEK_MinMaxPixelValue::check(VEK_Engine* source, const VEK_DataType* type, uint32_t no_source_line,
                                 uint32_t type_line) {
  if (!check_source(source, kMethod, kFile, no_source_line)) return false;
  if (source->header()->data_type() == type) return true;
  vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, type_line);
  return false;
}

VEK_Engine* VEK_MinMaxPixelValue::engine(VEK_Engine* source, double* minimum, double* maximum) {
  if (!check(source, VEK_DataType::floating, 199, 218)) return nullptr;
  return create_sink<VEK_MinMaxPixelValueEngine<double, double>>(source, minimum, maximum);
}

VEK_Engine* VEK_MinMaxPixelValue::engine(VEK_Engine* source, float* minimum, float* maximum) {
  if (!check(source, VEK_DataType::floating, 163, 182)) return nullptr;
  return create_sink<VEK_MinMaxPixelValueEngine<float, float>>(source, minimum, maximum);
}

// Integer depths other than 8 and 16 go to the 32-bit engine, which refuses what is not 32 bits.
VEK_Engine* VEK_MinMaxPixelValue::engine(VEK_Engine* source, int* minimum, int* maximum) {
  if (!check(source, VEK_DataType::s_integer, 116, 146)) return nullptr;
  switch (source->header()->bits()) {
    case 8:
      return create_sink<VEK_MinMaxPixelValueEngine<signed char, int>>(source, minimum, maximum);
    case 16:
      return create_sink<VEK_MinMaxPixelValueEngine<short, int>>(source, minimum, maximum);
    default:
      return create_sink<VEK_MinMaxPixelValueEngine<int, int>>(source, minimum, maximum);
  }
}

VEK_Engine* VEK_MinMaxPixelValue::engine(VEK_Engine* source, unsigned int* minimum, unsigned int* maximum) {
  if (!check(source, VEK_DataType::u_integer, 69, 99)) return nullptr;
  switch (source->header()->bits()) {
    case 8:
      return create_sink<VEK_MinMaxPixelValueEngine<unsigned char, unsigned int>>(source, minimum, maximum);
    case 16:
      return create_sink<VEK_MinMaxPixelValueEngine<unsigned short, unsigned int>>(source, minimum, maximum);
    default:
      return create_sink<VEK_MinMaxPixelValueEngine<unsigned int, unsigned int>>(source, minimum, maximum);
  }
}
