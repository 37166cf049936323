#pragma once
// Pixel operators on samples of 8 to 64 bits.

#include <cstdint>
#include <type_traits>

#include "vek_errorhandler.h"
#include "vek_oppixelsengine.h"
#include "vek_oppixelslines.h"
#include "vek_pixeloperator.h"

template <class OPBin, class T>
class VEK_OpPixels8xNBitsEngine : public VEK_OpPixelsEngine {
  static constexpr const char* kFile = "core/operation/source/vek_oppixels8xnbitsengine_templ.h";

 public:
  using VEK_OpPixelsEngine::initiate;
  using VEK_OpPixelsEngine::VEK_OpPixelsEngine;
  // x, y: the second input's place inside the first.
  virtual bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                        VEK_DstBuffer* destination, uint32_t x, uint32_t y);
};

template <class OPBin, class T>
class VEK_OpPixels8xNBitsUnMaskedEngine : public VEK_OpPixels8xNBitsEngine<OPBin, T> {
 public:
  using VEK_OpPixels8xNBitsEngine<OPBin, T>::VEK_OpPixels8xNBitsEngine;
  using VEK_OpPixels8xNBitsEngine<OPBin, T>::initiate;
  bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                VEK_DstBuffer* destination, uint32_t x, uint32_t y) override {
    line_op_ = vek_oppixels_line<OPBin, T>();
    return VEK_OpPixels8xNBitsEngine<OPBin, T>::initiate(headers, sources, destination, x, y);
  }

 private:
  bool combine(uint8_t* out, VEK_SrcBuffer* second) override;

  VEK_OpPixelsLine line_op_ = nullptr;
};

template <class OPBin, class T>
bool VEK_OpPixels8xNBitsEngine<OPBin, T>::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                                   const VEK_Vector<VEK_SrcBuffer*>& sources,
                                                   VEK_DstBuffer* destination, uint32_t x, uint32_t y) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_OpPixels8xNBitsEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_OpPixelsEngine::initiate(headers, sources, destination)) return false;
  constexpr bool kUnsignedOnly = std::is_same_v<OPBin, VEK_PixelOperator::And> ||
                                 std::is_same_v<OPBin, VEK_PixelOperator::MultiplyWithNormalization>;
  const VEK_Header& first = *headers_[0];
  if (first.bits() != sizeof(T) * 8 || (kUnsignedOnly && first.data_type() != VEK_DataType::u_integer)) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_OpPixels8xNBitsEngine::initiate()", kFile, __LINE__);
    return false;
  }
  place(x, y, headers_[1]->channels());
  return true;
}

template <class OPBin, class T>
bool VEK_OpPixels8xNBitsUnMaskedEngine<OPBin, T>::combine(uint8_t* out, VEK_SrcBuffer* second) {
  // Used in place; only the overlapped samples of either line are touched.
  const void* p = second->get(nullptr);
  if (p == nullptr) return false;
  line_op_(out + this->first_unit_ * sizeof(T), p, uint32_t(this->unit_count_));
  return second->release();
}
