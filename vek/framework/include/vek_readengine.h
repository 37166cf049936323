#pragma once
// Engines that produce an image from bytes in an input storage, and the ring of lines that
// neighbourhood operations look through.

#include <cstdint>

#include "vek_engine.h"
#include "vek_storage.h"

class VEK_ReadEngine : public VEK_BufferOutputEngine {
 public:
  using VEK_BufferOutputEngine::initiate;
  using VEK_BufferOutputEngine::VEK_BufferOutputEngine;
  // The storage outlives the engine: it is recorded as a dependency.
  virtual bool initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination);

 protected:
  VEK_InputStorage* storage_ = nullptr;
};

// The shape of a neighbourhood: width x height pixels with the anchor at (x, y).
class VEK_KernelAttr {
 public:
  VEK_KernelAttr(uint32_t width = 1, uint32_t height = 1, uint32_t x = 0, uint32_t y = 0)
      : width(width), height(height), x(x), y(y) {}
  virtual ~VEK_KernelAttr() = default;
  uint32_t width, height, x, y;
};

// A sliding window of kernel-height source lines, each widened by copies of its edge
// pixels: x on the left, width - 1 - x on the right. Entry y is the current source line.
class VEK_RingBuffer : public VEK_Object {
 public:
  using VEK_Object::VEK_Object;
  static VEK_RingBuffer* create(VEK_Manager* manager, VEK_SrcBuffer* source, const VEK_Header* header,
                                const VEK_KernelAttr& kernel);
  bool terminate() override;
  // Moves the window one source line down; the first call fills it.
  virtual bool advance() = 0;
  virtual bool initiate(VEK_SrcBuffer* source, const VEK_Header* header, const VEK_KernelAttr& kernel);

  uint8_t* const* lines() const { return lines_; }
  uint32_t line_stride() const { return line_stride_; }

 protected:
  bool read_line(uint8_t* line);
  void fill_margins(uint8_t* line) const;

  uint8_t** lines_ = nullptr;
  uint32_t lines_read_ = 0;
  VEK_SrcBuffer* source_ = nullptr;
  uint8_t* memory_ = nullptr;
  uint32_t image_width_ = 0;
  uint32_t image_height_ = 0;
  uint32_t pixel_bytes_ = 0;
  VEK_KernelAttr kernel_;
  uint32_t left_margin_bytes_ = 0;
  uint32_t last_pixel_offset_ = 0;
  uint32_t line_stride_ = 0;
  uint32_t line_count_ = 0;
  uint32_t top_margin_ = 0;
};

class VEK_RingBufferOutlineCopy : public VEK_RingBuffer {
 public:
  using VEK_RingBuffer::VEK_RingBuffer;
  bool advance() override;
};
