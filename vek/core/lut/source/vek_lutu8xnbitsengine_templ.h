#pragma once
// Look-up tables for unsigned 8- and 16-bit sources.

#include "vek_lut8xnbitsengine_templ.h"

template <class S, class D>
class VEK_LutU8xNbitsEngine : public VEK_Lut8xNbitsEngine<S, D> {
 public:
  using VEK_Lut8xNbitsEngine<S, D>::VEK_Lut8xNbitsEngine;
  using VEK_Lut8xNbitsEngine<S, D>::initiate;

  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, const VEK_LutData* lut,
                const VEK_ColorType* color_type) override {
    constexpr const char* kMethod = "VEK_LutU8xNbitsEngine::initiate()";
    constexpr const char* kFile = "core/lut/source/vek_lutu8xnbitsengine_templ.h";
    if (!check_interface_version(VEK_INTERFACE_VERSION)) {
      vek_report(this->manager_, VEK_ERROR_VERSION, kMethod, kFile, 48);
      return false;
    }
    if (!VEK_Lut8xNbitsEngine<S, D>::initiate(header, source, destination, lut, color_type)) return false;
    if (header->data_type() != VEK_DataType::u_integer) {
      vek_report(this->manager_, VEK_ERROR_FORMAT, kMethod, kFile, 59);
      return false;
    }
    return true;
  }
};
