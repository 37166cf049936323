#include "vek_errorhandler.h"
#include "vek_lut.h"
#include "vek_lutdispatch.h"
#include "vek_lutu8xnbitsengine_templ.h"

namespace {
constexpr const char* kFile = "core/lut/source/vek_lutu8xnbits.cpp";
}

VEK_Engine* VEK_LutU8xNbits::engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type) {
  constexpr const char* kMethod = "VEK_LutU8xNbits::engine()";
  if (!check_source(source, kMethod, kFile, 54)) return nullptr;
  // The choice reads the table's bits and type, so there must be one.
  if (lut == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return nullptr;
  }
  return VEK_LutDispatch<VEK_LutU8xNbitsEngine, uint8_t, uint16_t>(manager_).engine(source, lut, color_type);
}
