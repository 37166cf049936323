#pragma once
// The engine chain that turns one frame of a DICOM file into pixels: the input placed on the
// frame's fragments, the reader its layout needs, then palette, header and colour fixes.

#include <cstdint>

#include "vek_dicominfo.h"
#include "vek_engine.h"
#include "vek_storage.h"

class VEK_ReadDICOM : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // Frames count from 0. The chain keeps the storage it reads; the caller may release its own reference.
  virtual VEK_Engine* engine(VEK_InputStorage* storage, const VEK_DICOMInfo& info, uint32_t frame);
  // Loads the information first; its failure is reported 0x80100000.
  virtual VEK_Engine* engine(VEK_InputStorage* storage, uint32_t frame);

  // Compressed pixels decode unsigned and in the codec's colours: restores the file's data type and colour type.
  VEK_Engine* reset_comp_header(VEK_Engine* engine, const VEK_DICOMInfo& info, uint8_t from_jfif);
  // Partial-range YCbCr to RGB.
  VEK_Engine* ybr_partial_to_rgb(VEK_Engine* engine);

 private:
  // The engine under a copy of its header with the colour type, and the palette when given.
  VEK_Engine* relabel(VEK_Engine* engine, const VEK_Header::VEK_Palette* palette, const VEK_ColorType* color);
  // A lossless frame labelled YBR_FULL_422, as YCbCr pixels.
  VEK_Engine* lossless_ybr422(VEK_Engine* engine, const VEK_DICOMInfo& info);
};
