#pragma once
// Runs a point converter over every pixel of a line; the converter is shared with nobody once
// the creator has dropped its reference.

#include <cstdint>

#include "vek_cspointconverter.h"
#include "vek_engine.h"
#include "vek_refpointer.h"

template <class T>
class VEK_ColorSpaceConverterPtoPEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  // Keeps a share of converter only when it succeeds.
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                const VEK_RefPointer<VEK_CsPointConverter<T>>& converter, const VEK_ColorType* target);
  bool process_line(const void* source_line, void* destination_line) override;

 private:
  uint16_t in_channels_ = 0;
  uint16_t out_channels_ = 0;
  uint32_t width_ = 0;
  VEK_RefPointer<VEK_CsPointConverter<T>> shared_;
  VEK_CsPointConverter<T>* converter_ = nullptr;
};

extern template class VEK_ColorSpaceConverterPtoPEngine<unsigned char>;
extern template class VEK_ColorSpaceConverterPtoPEngine<unsigned short>;
