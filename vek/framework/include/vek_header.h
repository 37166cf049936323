#pragma once
// The image header every engine, buffer, reader and writer describes its image with.

#include <cstdint>

#include "vek_root.h"
#include "vek_types.h"

class VEK_Header : public VEK_Utility {
 public:
  class VEK_Palette : public VEK_Utility {
   public:
    explicit VEK_Palette(VEK_Manager* manager) : VEK_Utility(manager) {}
    VEK_Palette(const VEK_Palette&) = delete;
    ~VEK_Palette() override;
    // Copies geometry and data; false (palette holding the copied geometry without data)
    // when the data cannot be copied.
    bool operator=(const VEK_Palette& other);

    uint16_t bits() const { return bits_; }
    uint16_t channels() const { return channels_; }
    uint32_t entries() const { return entries_; }
    void bits(uint16_t v) { bits_ = v; }
    void channels(uint16_t v) { channels_ = v; }
    void entries(uint32_t v) { entries_ = v; }
    const uint8_t* data() const { return data_; }

    // channels x bits x entries / 8, computed in 64 bits.
    uint64_t byte_size() const { return uint64_t(channels_) * bits_ * entries_ / 8; }

    // Replaces the entry data; size must match the geometry, data and size both set or both empty.
    bool value(const void* data, uint32_t size);
    bool empty() const { return bits_ == 0 && channels_ == 0 && entries_ == 0 && data_ == nullptr; }
    bool is_valid() const;

   private:
    uint16_t bits_ = 0;
    uint16_t channels_ = 0;
    uint32_t entries_ = 0;
    uint8_t* data_ = nullptr;
  };

  explicit VEK_Header(VEK_Manager* manager) : VEK_Utility(manager), palette_(manager) {}
  VEK_Header(const VEK_Header&) = delete;
  // Palette first; on its failure nothing else is copied and the answer is false.
  bool operator=(const VEK_Header& other);

  uint32_t width() const { return width_; }
  uint32_t height() const { return height_; }
  uint16_t bits() const { return bits_; }
  uint16_t channels() const { return channels_; }
  const VEK_DataType* data_type() const { return data_type_; }
  const VEK_EncodeType* encode_type() const { return encode_type_; }
  const VEK_ColorType* color_type() const { return color_type_; }
  const VEK_Palette& palette() const { return palette_; }
  VEK_Palette& palette() { return palette_; }

  void width(uint32_t v) { width_ = v; }
  void height(uint32_t v) { height_ = v; }
  void bits(uint16_t v) { bits_ = v; }
  void channels(uint16_t v) { channels_ = v; }
  void data_type(const VEK_DataType* type);
  void encode_type(const VEK_EncodeType* type);
  void color_type(const VEK_ColorType* type);
  bool palette(const VEK_Palette& other) { return palette_ = other; }

  // (bits x channels x width + 7) / 8, exact in 64 bits.
  static uint64_t line_bytes(uint32_t width, uint16_t bits, uint16_t channels) {
    return (uint64_t(bits) * channels * width + 7) / 8;
  }
  // Bytes of one line; 0 when that does not fit a 32-bit size (such a header is invalid).
  uint32_t line_bytes() const {
    const uint64_t n = line_bytes(width_, bits_, channels_);
    return n > UINT32_MAX ? 0 : static_cast<uint32_t>(n);
  }

  bool is_valid() const;

 private:
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint16_t bits_ = 0;
  uint16_t channels_ = 0;
  const VEK_DataType* data_type_ = VEK_DataType::u_integer;
  const VEK_EncodeType* encode_type_ = VEK_EncodeType_raw::instance();
  const VEK_ColorType* color_type_ = VEK_ColorType_none::instance();
  VEK_Palette palette_;
};
