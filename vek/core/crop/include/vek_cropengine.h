#pragma once
// The cropping engines. Each output header is the source's with the clipped width or height.

#include <cstdint>

#include "vek_engine.h"

class VEK_QKRLELine;

// Rows: lines above the rectangle are taken and dropped, kept lines are read straight into the
// destination, lines below are never asked for.
class VEK_CropHeightEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t y,
                        uint32_t height);
  bool execute() override;

  uint32_t first_line() const { return first_line_; }
  uint32_t line_count() const { return line_count_; }

 private:
  uint32_t first_line_ = 0;
  uint32_t line_count_ = 0;
  uint32_t end_line_ = 0;  // exclusive
  uint32_t line_bytes_ = 0;
  uint32_t current_ = 0;  // source lines taken so far
  uint8_t mask_ = 0xFF;   // of a line's last byte: 1-bit lines leave the bits after the last pixel clear
};

// Columns: the shared part of the column croppers.
class VEK_CropWidthEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x,
                        uint32_t width);

  uint32_t first_column() const { return first_column_; }
  uint32_t line_bytes() const { return line_bytes_; }
  uint32_t byte_offset() const { return byte_offset_; }

 protected:
  uint32_t first_column_ = 0;
  uint32_t line_bytes_ = 0;   // of an output line
  uint32_t byte_offset_ = 0;  // of column x in a source line
};

// Samples of whole bytes: one copy per line.
class VEK_CropWidth8xNBitsEngine : public VEK_CropWidthEngine {
 public:
  using VEK_CropWidthEngine::initiate;
  using VEK_CropWidthEngine::VEK_CropWidthEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x,
                uint32_t width) override;
  bool process_line(const void* source_line, void* destination_line) override;
};

// 1-bit samples; the bits after the last pixel of an output line are cleared.
class VEK_CropWidth1BitEngine : public VEK_CropWidthEngine {
 public:
  using VEK_CropWidthEngine::initiate;
  using VEK_CropWidthEngine::VEK_CropWidthEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x,
                uint32_t width) override;

  uint8_t mask() const { return mask_; }

 protected:
  uint8_t mask_ = 0xFF;  // of the last output byte
};

// The first column starts a byte: one copy per line.
class VEK_CropWidth1BitBSEngine : public VEK_CropWidth1BitEngine {
 public:
  using VEK_CropWidth1BitEngine::initiate;
  using VEK_CropWidth1BitEngine::VEK_CropWidth1BitEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x,
                uint32_t width) override;
  bool process_line(const void* source_line, void* destination_line) override;
};

// The first column lies inside a byte: every output byte joins two source bytes.
class VEK_CropWidth1BitISEngine : public VEK_CropWidth1BitEngine {
 public:
  using VEK_CropWidth1BitEngine::initiate;
  using VEK_CropWidth1BitEngine::VEK_CropWidth1BitEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x,
                uint32_t width) override;
  bool process_line(const void* source_line, void* destination_line) override;

  uint8_t left_shift() const { return left_shift_; }
  uint8_t right_shift() const { return right_shift_; }

 private:
  uint32_t source_line_bytes_ = 0;
  uint8_t left_shift_ = 0;
  uint8_t right_shift_ = 0;
  bool byte_after_ = false;  // a source byte follows the last one an output line starts in
};

// Run-length lines: lines and runs cut together, the runs moved to the rectangle's columns.
class VEK_CropQKRLEEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t x,
                        uint32_t y, uint32_t width, uint32_t height);
  bool execute() override;
  bool terminate() override;

 private:
  VEK_QKRLELine* reader_ = nullptr;
  uint32_t first_column_ = 0;
  uint32_t last_column_ = 0;
  uint32_t first_line_ = 0;
  uint32_t last_line_ = 0;
  uint32_t current_ = 0;  // source lines read so far
  uint32_t room_ = 0;     // runs a destination block holds before the marker
};
