#include "vek_convertdatatype1bit.h"
#include "vek_constantcolor.h"
#include "vek_errorhandler.h"
#include "vek_not.h"

namespace {
constexpr const char* kOneBitFile = "core/convertdatatype/source/vek_convertdatatype1bit.cpp";
}

VEK_Engine* VEK_ConvertDataType1bit::engine(VEK_Engine* source, double slope, double intercept) {
  if (!check_source(source, "VEK_ConvertDataType1bit::engine()", kOneBitFile, 51)) return nullptr;
  const VEK_Header* header = source->header();
  if (!header->palette().empty()) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ConvertDataType1bit::engine()", kOneBitFile, 57);
    return nullptr;
  }
  const bool b0 = vek_bit_value(intercept);
  const bool b1 = vek_bit_value(slope + intercept);
  if (!b0 && b1) return source;
  if (b0 && !b1) return VEK_Not(manager_).engine(source);
  // Both bits alike: a constant image of the source's shape; the source is not read.
  VEK_Header* copy = vek_new<VEK_Header>(manager_);
  if (copy == nullptr) return nullptr;
  VEK_Engine* result = nullptr;
  if (*copy = *header) {
    VEK_Vector<unsigned int> colour(manager_);
    bool filled = true;
    for (uint16_t c = 0; c < header->channels() && filled; ++c) filled = colour.push_back(b0 ? 1u : 0u);
    if (filled) result = VEK_ConstantColor(manager_).engine(*copy, colour);
  }
  copy->destroy();
  return result;
}
