#pragma once
// One-bit lines to two values of T.

#include <limits>

#include "vek_clampround.h"
#include "vek_convertdatatype1bit.h"
#include "vek_errorhandler.h"
#include "vek_sampletype.h"

namespace vek_from1bit {
constexpr const char* kEngineFile = "core/convertdatatype/source/vek_convertdatatypefrom1bitengine_templ.h";
}

template <class T>
bool VEK_ConvertDataTypeFrom1bitEngine<T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                                    VEK_DstBuffer* destination, const VEK_DataType* data_type,
                                                    uint16_t bits, double slope, double intercept) {
  const char* method = "VEK_ConvertDataTypeFrom1bitEngine::initiate()";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, method, vek_from1bit::kEngineFile, 94);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (!header->palette().empty() || header->bits() != 1) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, vek_from1bit::kEngineFile, 104);
    return false;
  }
  if (bits == 1) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, vek_from1bit::kEngineFile, 111);
    return false;
  }
  // Values of T are written: a line described narrower would be overrun.
  if (bits != vek_sample_bits<T>) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, vek_from1bit::kEngineFile, __LINE__);
    return false;
  }
  constexpr T high = std::numeric_limits<T>::max(), low = std::numeric_limits<T>::lowest();
  one_ = clamp_round<T>(slope + intercept, high, low);
  zero_ = clamp_round<T>(intercept, high, low);
  line_shape_.of(*header);
  out_header_.data_type(data_type);
  out_header_.bits(bits);
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class T>
bool VEK_ConvertDataTypeFrom1bitEngine<T>::process_line(const void* in, void* out) {
  const auto* s = static_cast<const uint8_t*>(in);
  T* d = static_cast<T*>(out);
  for (uint32_t i = 0; i < line_shape_.whole_bytes; ++i, d += 8)
    for (int k = 0; k < 8; ++k) d[k] = (s[i] & (0x80 >> k)) ? one_ : zero_;
  for (int k = 0; k < line_shape_.rest; ++k) d[k] = (s[line_shape_.whole_bytes] & (0x80 >> k)) ? one_ : zero_;
  return true;
}
