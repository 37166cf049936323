#pragma once
// JPEG streams: their header as an image header, tables-only streams, and the creators of
// the decode chain for lossy and lossless images.

#include <cstdint>

#include "vek_engine.h"
#include "vek_formatinfo.h"
#include "vek_jpeginfointernal.h"
#include "vek_refpointer.h"
#include "vek_storage.h"

// The quantisation and Huffman tables of a tables-only stream.
class VEK_JPEGTableInfo : public VEK_Utility {
 public:
  using VEK_Utility::VEK_Utility;
  VEK_JPEGTableInfo(const VEK_JPEGTableInfo&) = default;
  VEK_JPEGTableInfo& operator=(const VEK_JPEGTableInfo& other) {
    internal_ = other.internal_;
    return *this;
  }
  ~VEK_JPEGTableInfo() override = default;

  // On failure the storage is put back where it was.
  virtual bool load(VEK_InputStorage* storage);
  const VEK_RefPointer<VEK_JPEGTableInfoInternal>& internal() const { return internal_; }

 private:
  VEK_RefPointer<VEK_JPEGTableInfoInternal> internal_;
};

class VEK_JPEGInfo : public VEK_FormatInfo {
 public:
  explicit VEK_JPEGInfo(VEK_Manager* manager) : VEK_FormatInfo(manager), tables_(manager) {}
  ~VEK_JPEGInfo() override = default;

  const char* format_name() const override { return "jpeg"; }
  using VEK_FormatInfo::load;
  // Reads the header with the codec, which stays open after it for decoding. color asks the
  // codec for an output colour (unknown: the stream's own); tables, when given, supply tables
  // the stream leaves out; option is the codec's line count. On failure the storage is put back.
  virtual bool load(VEK_InputStorage* storage, const VEK_ColorType* color, const VEK_JPEGTableInfo* tables,
                    uint8_t option);
  // Fills the header from the codec.
  bool update();

  const VEK_RefPointer<VEK_JPEGInfoInternal>& internal() const { return internal_; }
  uint32_t sampling_code() const;
  bool is_progressive() const;
  bool is_lossless() const;
  bool is_separate_scan() const;
  bool has_jfif() const { return has_jfif_ != 0; }
  bool has_exif() const { return has_exif_ != 0; }
  bool has_g3fax() const { return has_g3fax_ != 0; }
  bool has_adobe() const { return has_adobe_ != 0; }

 protected:
  bool format_load(VEK_InputStorage* storage) override;

 private:
  VEK_RefPointer<VEK_JPEGInfoInternal> internal_;
  uint32_t start_ = 0;
  VEK_JPEGTableInfo tables_;
  uint8_t has_jfif_ = 0;
  uint8_t has_exif_ = 0;
  uint8_t has_g3fax_ = 0;
  uint8_t has_adobe_ = 0;
  // What the next loading asks the codec for; load() sets it around the framework's load.
  const VEK_ColorType* load_color_ = nullptr;
  const VEK_JPEGTableInfo* load_tables_ = nullptr;
  uint8_t load_option_ = 0;
};

// Lossy JPEG (baseline, extended, progressive). Scale is the output size in 256ths: 256 full,
// 128 half, 64 a quarter, 32 an eighth; reduced sizes only for plain baseline images.
class VEK_ReadJPEG : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // info: loaded on this storage. The chain keeps what it needs of it.
  virtual VEK_Engine* engine(VEK_InputStorage* storage, const VEK_JPEGInfo& info, uint32_t scale);
  // Loads the information first; its failure is reported 0x80100000.
  virtual VEK_Engine* engine(VEK_InputStorage* storage, uint32_t scale);
};

// Lossless JPEG, always at full size; 8-bit samples up to 8 bits of precision, else 16-bit.
class VEK_ReadLosslessJPEG : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  virtual VEK_Engine* engine(VEK_InputStorage* storage, const VEK_JPEGInfo& info);
  virtual VEK_Engine* engine(VEK_InputStorage* storage);
};
