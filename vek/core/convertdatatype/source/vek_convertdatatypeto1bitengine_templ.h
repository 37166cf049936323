#pragma once
// Samples of T thresholded to packed one-bit lines.

#include "vek_convertdatatype1bit.h"
#include "vek_errorhandler.h"
#include "vek_sampletype.h"

namespace vek_to1bit {
constexpr const char* kEngineFile = "core/convertdatatype/source/vek_convertdatatypeto1bitengine_templ.h";
}

template <class T>
bool VEK_ConvertDataTypeTo1bitEngine<T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                                  VEK_DstBuffer* destination, const VEK_DataType* data_type,
                                                  double slope, double intercept) {
  const char* method = "VEK_ConvertDataTypeTo1bitEngine::initiate()";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, method, vek_to1bit::kEngineFile, 93);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  const uint16_t b = header->bits();
  if ((b != 8 && b != 16 && b != 32 && b != 64) || !header->palette().empty()) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, vek_to1bit::kEngineFile, 103);
    return false;
  }
  // The samples are read as T: the source must be that wide.
  if (b != vek_sample_bits<T>) {
    vek_report(manager_, VEK_ERROR_FORMAT, method, vek_to1bit::kEngineFile, __LINE__);
    return false;
  }
  slope_ = slope;
  threshold_ = 0.5 - intercept;
  line_shape_.of(*header);
  out_header_.data_type(data_type);
  out_header_.bits(1);
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class T>
bool VEK_ConvertDataTypeTo1bitEngine<T>::process_line(const void* in, void* out) {
  const T* s = static_cast<const T*>(in);
  auto* d = static_cast<uint8_t*>(out);
  auto pack = [&](int count) {
    uint8_t byte = 0;
    for (int k = 0; k < count; ++k, ++s)
      if (static_cast<double>(*s) * slope_ >= threshold_) byte |= uint8_t(0x80 >> k);
    return byte;
  };
  for (uint32_t i = 0; i < line_shape_.whole_bytes; ++i) *d++ = pack(8);
  if (line_shape_.rest != 0) *d = pack(line_shape_.rest);
  return true;
}
