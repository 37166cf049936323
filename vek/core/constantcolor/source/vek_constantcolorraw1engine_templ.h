#pragma once
// Constant colour for 1-bit images: any non-zero value is a set bit.

#include <cstring>

#include "vek_constantcolorrawengine_templ.h"

template <class T>
class VEK_ConstantColorRaw1Engine : public VEK_ConstantColorRawEngine<T> {
  using Base = VEK_ConstantColorRawEngine<T>;
  static constexpr const char* kFile = "core/constantcolor/source/vek_constantcolorraw1engine_templ.h";

 public:
  using Base::Base;
  using Base::initiate;
  bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, const VEK_Vector<T>& color) override;
};

template <class T>
bool VEK_ConstantColorRaw1Engine<T>::initiate(VEK_DstBuffer* destination, const VEK_Header* header,
                                              const VEK_Vector<T>& color) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(this->manager_, VEK_ERROR_VERSION, "VEK_ConstantColorRaw1Engine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!Base::initiate(destination, header, color)) return false;
  const VEK_Header& h = this->out_header_;
  if (h.bits() != 1 || h.data_type() != VEK_DataType::u_integer) {
    vek_report(this->manager_, VEK_ERROR_FORMAT, "VEK_ConstantColorRaw1Engine::initiate()", kFile, __LINE__);
    return false;
  }
  const uint16_t channels = h.channels();
  if (channels == 1) {
    // One channel fills whole bytes, the bits past the last pixel included.
    std::memset(this->pattern_, color[0] != 0 ? 0xFF : 0x00, this->pattern_bytes_);
  } else {
    std::memset(this->pattern_, 0, this->pattern_bytes_);
    for (uint32_t x = 0; x < h.width(); ++x)
      for (uint16_t c = 0; c < channels; ++c) {
        if (color[c] == 0) continue;
        const uint64_t bit = uint64_t(x) * channels + c;
        this->pattern_[bit / 8] |= uint8_t(0x80u >> (bit % 8));
      }
  }
  return this->dst_->block_bytes(this->pattern_bytes_);
}
