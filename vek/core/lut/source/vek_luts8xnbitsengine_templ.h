#pragma once
// Look-up tables for signed 8- and 16-bit sources: each channel's position points at the
// entry of the value 0, so negative samples index below it.

#include "vek_lut8xnbitsengine_templ.h"

template <class S, class D>
class VEK_LutS8xNbitsEngine : public VEK_Lut8xNbitsEngine<S, D> {
 public:
  using VEK_Lut8xNbitsEngine<S, D>::VEK_Lut8xNbitsEngine;
  using VEK_Lut8xNbitsEngine<S, D>::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, const VEK_LutData* lut,
                const VEK_ColorType* color_type) override {
    constexpr const char* kMethod = "VEK_LutS8xNbitsEngine::initiate()";
    constexpr const char* kFile = "core/lut/source/vek_luts8xnbitsengine_templ.h";
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(this->manager_, VEK_ERROR_VERSION, kMethod, kFile, 49);
      return false;
    }
    this->index_offset_ = uint32_t(1) << (vek_sample_bits<S> - 1);
    if (!VEK_Lut8xNbitsEngine<S, D>::initiate(header, source, destination, lut, color_type)) return false;
    if (header->data_type() != VEK_DataType::s_integer) {
      vek_report(this->manager_, VEK_ERROR_FORMAT, kMethod, kFile, 65);
      return false;
    }
    return true;
  }
};
