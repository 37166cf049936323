#pragma once
// A whole run-length image loaded from a source buffer into one run list per line, for engines
// that need lines in any order or more than once.

#include <cstdint>
#include <utility>

#include "vek_buffer.h"
#include "vek_header.h"
#include "vek_object.h"
#include "vek_qkrle.h"
#include "vek_vector.h"

class VEK_QKRLEBufferBase : public VEK_Object {
 public:
  // Keeps the source buffer alive until every line has been read from it.
  class SrcBufHolder : public VEK_Object {
   public:
    using VEK_Object::VEK_Object;
    bool terminate() override { return true; }
    bool initiate() { return true; }
  };

  using VEK_Object::VEK_Object;
  // Frees the data block and the holder.
  bool terminate() override;
  virtual bool initiate(VEK_SrcBuffer* source, const VEK_Header* header);

  // 1 channel, 1 bit, unsigned, qk_rle.
  static bool is_qkrle(const VEK_Header& header);

 protected:
  bool drop_holder();

  uint8_t* data_ = nullptr;
  VEK_SrcBuffer* source_ = nullptr;
  const VEK_Header* header_ = nullptr;
  SrcBufHolder* holder_ = nullptr;
};

class VEK_QKRLEBuffer : public VEK_QKRLEBufferBase {
 public:
  using Line = VEK_QKRLERunArray::Line;

  explicit VEK_QKRLEBuffer(VEK_Manager* manager) : VEK_QKRLEBufferBase(manager), lines_(manager) {}
  // Made, initiated and marked created; null after a reported failure. Reads nothing yet.
  static VEK_QKRLEBuffer* create(VEK_Manager* manager, VEK_SrcBuffer* source, const VEK_Header* header);

  bool initiate(VEK_SrcBuffer* source, const VEK_Header* header) override;
  uint32_t line_count() const { return line_count_; }

  // Reads header->height() lines from source into the run lists.
  bool regist_runarray(VEK_SrcBuffer* source, const VEK_Header* header);
  // Line i, positioned at its first run or past its last. The first call of either loads the
  // image; when that fails, or i is past the last line, the array is empty.
  VEK_QKRLERunArray runarray(uint32_t i);
  VEK_QKRLERunArray runarray_at_end(uint32_t i);
  // The load was tried and failed: every array is empty, which is not the image.
  bool regist_failed() const { return registered_ && !loaded_; }

 private:
  bool load();

  VEK_Vector<Line> lines_;
  uint32_t line_count_ = 0;
  bool registered_ = false;
  bool loaded_ = false;
};
