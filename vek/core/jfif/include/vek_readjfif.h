#pragma once
// JFIF streams: JPEG with a JFIF APP0 segment, grey or YCbCr, with the segment's resolution.

#include <cstdint>

#include "vek_readjpeg.h"

class VEK_JFIFInfo : public VEK_JPEGInfo {
 public:
  using VEK_JPEGInfo::VEK_JPEGInfo;
  ~VEK_JFIFInfo() override = default;
  const char* format_name() const override { return "jfif"; }

  uint32_t jfif_resolution_x() const { return resolution_x_; }
  uint32_t jfif_resolution_y() const { return resolution_y_; }

 protected:
  // Fails, leaving the storage where it was, when the stream has no JFIF APP0 segment.
  bool format_load(VEK_InputStorage* storage) override;

 private:
  uint32_t resolution_x_ = 0;
  uint32_t resolution_y_ = 0;
};

class VEK_ReadJFIF : public VEK_ReadJPEG {
 public:
  using VEK_ReadJPEG::engine;
  using VEK_ReadJPEG::VEK_ReadJPEG;
  // Loads a VEK_JFIFInfo first; its failure is reported 0x80100000.
  VEK_Engine* engine(VEK_InputStorage* storage, uint32_t scale) override;
  // 8-bit grey or YCbCr only.
  virtual VEK_Engine* engine(VEK_InputStorage* storage, const VEK_JFIFInfo& info, uint32_t scale);
};
