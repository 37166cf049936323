#include "vek_convert1to8xnbits.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/convert1to8xnbits/source/vek_convert1to8xnbits.cpp";
}

VEK_Engine* VEK_Convert1To8xNBits::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                          int32_t value0, int32_t value1) {
  const char* method = "VEK_Convert1To8xNBits::engine()";
  if (source == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, method, kFile, 50);
    return nullptr;
  }
  uint32_t line = 0;
  if (data_type == VEK_DataType::u_integer) {
    if (bits == 8) return create_engine<VEK_Convert1To8xNBitsEngine<uint8_t>>(source, data_type, bits, value0, value1);
    if (bits == 16)
      return create_engine<VEK_Convert1To8xNBitsEngine<uint16_t>>(source, data_type, bits, value0, value1);
    line = 68;
  } else if (data_type == VEK_DataType::s_integer) {
    if (bits == 8) return create_engine<VEK_Convert1To8xNBitsEngine<int8_t>>(source, data_type, bits, value0, value1);
    if (bits == 16) return create_engine<VEK_Convert1To8xNBitsEngine<int16_t>>(source, data_type, bits, value0, value1);
    line = 78;
  } else {
    line = 81;
  }
  vek_report(manager_, VEK_ERROR_ARGUMENT, method, kFile, line);
  return nullptr;
}
