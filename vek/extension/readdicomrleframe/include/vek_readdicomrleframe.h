#pragma once
// DICOM RLE frames: a 64-byte header of segment offsets, then one PackBits segment per byte
// plane (most significant byte of each sample first), merged back into pixels.

#include <cstdint>

#include "vek_decode.h"
#include "vek_engine.h"
#include "vek_storage.h"
#include "vek_vector.h"

class VEK_ReadDICOMRLEFrame : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The storage stands at the RLE header; frame length bytes belong to the frame.
  virtual VEK_Engine* engine(VEK_InputStorage* storage, const VEK_Header& header, uint32_t frame_length);
};

// "YBR_FULL_422" frames: chroma planes are half as wide and are widened as native 4:2:2 is.
class VEK_ReadDICOMRLEFrameInYBR422 : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  virtual VEK_Engine* engine(VEK_InputStorage* storage, const VEK_Header& header, uint32_t frame_length);
};

class VEK_ReadDICOMRLESegment : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // One engine per segment, each delivering its decoded byte plane; empty on failure.
  VEK_Vector<VEK_Engine*> engine(VEK_InputStorage* storage, const VEK_Header& header, uint32_t frame_length) {
    return engine(storage, header, frame_length, false);
  }
  VEK_Vector<VEK_Engine*> engine(VEK_InputStorage* storage, const VEK_Header& header, uint32_t frame_length,
                                 bool ybr422);
};

class VEK_DecodePackBitsFast : public VEK_Decode {
 public:
  using VEK_Decode::VEK_Decode;
  // A raw source is answered unchanged.
  VEK_Engine* engine(VEK_Engine* source) override;
  const VEK_EncodeType* encode_type() const override { return VEK_EncodeType_pack_bits::instance(); }
};

class VEK_DecodePackBitsFastEngine : public VEK_ProcessEngine {
 public:
  // Reads the PackBits stream of one engine a block at a time; runs may cross line ends.
  class DecodeStream : public VEK_Object {
   public:
    using VEK_Object::VEK_Object;
    bool terminate() override;
    bool initiate(VEK_SrcBuffer* source, uint32_t line_bytes);
    // Exactly line bytes decoded bytes; false when the stream ends first.
    bool decode_line(uint8_t* out);

   private:
    bool fetch();
    bool read(uint8_t* out, uint32_t n);
    bool read_byte(uint8_t& out) {
      if (position_ == block_bytes_ && !fetch()) return false;
      out = block_[position_++];
      return true;
    }

    VEK_SrcBuffer* source_ = nullptr;
    const uint8_t* block_ = nullptr;
    uint32_t position_ = 0;
    uint32_t block_bytes_ = 0;
    uint32_t line_bytes_ = 0;
    uint8_t carry_[128] = {};
    uint8_t carry_position_ = 0;
    uint8_t carry_count_ = 0;
  };

  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
  bool execute() override;
  bool terminate() override;

 private:
  DecodeStream* stream_ = nullptr;
  uint32_t line_count_ = 0;
  uint32_t line_ = 0;
};
