#pragma once
// Constant colour for whole-byte samples: T is the sample type the header must describe.

#include <cstring>
#include <type_traits>

#include "vek_constantcolorrawengine_templ.h"

template <class T>
class VEK_ConstantColorRaw8xNBitsEngine : public VEK_ConstantColorRawEngine<T> {
  using Base = VEK_ConstantColorRawEngine<T>;
  static constexpr const char* kFile = "core/constantcolor/source/vek_constantcolorraw8xnbitsengine_templ.h";

 public:
  using Base::Base;
  using Base::initiate;
  bool initiate(VEK_DstBuffer* destination, const VEK_Header* header, const VEK_Vector<T>& color) override;

 private:
  static const VEK_DataType* data_type() {
    if constexpr (std::is_floating_point_v<T>)
      return VEK_DataType::floating;
    else if constexpr (std::is_signed_v<T>)
      return VEK_DataType::s_integer;
    else
      return VEK_DataType::u_integer;
  }
};

template <class T>
bool VEK_ConstantColorRaw8xNBitsEngine<T>::initiate(VEK_DstBuffer* destination, const VEK_Header* header,
                                                    const VEK_Vector<T>& color) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(this->manager_, VEK_ERROR_VERSION, "VEK_ConstantColorRaw8xNBitsEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!Base::initiate(destination, header, color)) return false;
  const VEK_Header& h = this->out_header_;
  const uint16_t bits = h.bits();
  if (bits != 8 && bits != 16 && bits != 32 && bits != 64) {
    vek_report(this->manager_, VEK_ERROR_FORMAT, "VEK_ConstantColorRaw8xNBitsEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (bits != sizeof(T) * 8 || h.data_type() != data_type()) {
    vek_report(this->manager_, VEK_ERROR_ARGUMENT, "VEK_ConstantColorRaw8xNBitsEngine::initiate()", kFile, __LINE__);
    return false;
  }
  uint8_t* out = this->pattern_;
  for (uint32_t x = 0; x < h.width(); ++x)
    for (uint16_t c = 0; c < h.channels(); ++c, out += sizeof(T)) std::memcpy(out, &color[c], sizeof(T));
  return this->dst_->block_bytes(this->pattern_bytes_);
}
