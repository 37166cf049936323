#pragma once
// The end of a painting chain: the image as a packed device-independent bitmap (info header,
// colour table, bottom-up rows padded to 4 bytes, no file header) in an output storage.
// The bitmap starts at the storage's position when the engine is made.

#include <cstdint>

#include "vek_engine.h"

struct VEK_WriteDIBOption {
  // Resolutions from dots per inch; the info header is the 40-byte one.
  VEK_WriteDIBOption(uint32_t compression, int32_t x_dpi, int32_t y_dpi, uint32_t bit_count);
  virtual ~VEK_WriteDIBOption() {}

  // dpi x 39.37007874015748, truncated toward zero and held inside 32 bits.
  static int32_t pels_per_meter(int32_t dpi);

  uint32_t compression;
  int32_t x_pels_per_meter;
  int32_t y_pels_per_meter;
  uint32_t bit_count;  // 0: chosen from the image
  uint32_t info_size;  // 40 or 12
};

// Sizes shared by the engine and the creator's size queries.
// The bit count the writer picks when the option leaves it open; 0 when none fits.
uint32_t vek_dib_auto_bit_count(const VEK_Header& header);
// Colour-table entries actually written; 0 for bit counts without a table.
uint32_t vek_dib_color_entries(const VEK_Header& header, uint32_t bit_count);
inline uint32_t vek_dib_entry_bytes(uint32_t info_size) { return info_size == 12 ? 3 : 4; }
inline uint64_t vek_dib_stride(uint32_t bit_count, uint32_t width) {
  return ((uint64_t(bit_count) * width + 7) / 8 + 3) & ~uint64_t(3);
}

// Whether info + stride x height bytes fit in room, without overflowing.
inline bool vek_dib_fits(uint64_t info, uint64_t stride, uint32_t height, uint64_t room) {
  return info <= room && (stride == 0 || height <= (room - info) / stride);
}

class VEK_WriteDIB : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, VEK_OutputStorage* storage, const VEK_WriteDIBOption& option);

  // Info header plus colour table; 0 for a null header or when no bitmap can be written.
  static uint32_t info_bytes(const VEK_Header* header, const VEK_WriteDIBOption& option);
  // The whole bitmap; 0 when info_bytes is 0 or the bitmap would not fit a storage.
  static uint32_t dib_bytes(const VEK_Header* header, const VEK_WriteDIBOption& option);
};

class VEK_WriteDIBRaw : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage,
                     const VEK_WriteDIBOption& option);
};

class VEK_BitmapInfoHeader : public VEK_Utility {
 public:
  VEK_BitmapInfoHeader(VEK_Manager* manager, uint32_t size, uint32_t width, uint32_t height, uint16_t bit_count,
                       uint32_t compression, int32_t x_pels_per_meter, int32_t y_pels_per_meter, uint32_t colors);
  // Little-endian at the storage's position: 40 or 12 bytes.
  bool write(VEK_OutputStorage* storage);

 private:
  uint32_t size_;
  uint32_t width_;
  uint32_t height_;
  uint16_t planes_ = 1;
  uint16_t bit_count_;
  uint32_t compression_;
  uint32_t image_size_;
  uint32_t x_pels_per_meter_;
  uint32_t y_pels_per_meter_;
  uint32_t colors_used_;
  uint32_t colors_important_ = 0;
};

class VEK_WriteDIBRawEngine : public VEK_WriteEngine {
 public:
  explicit VEK_WriteDIBRawEngine(VEK_Manager* manager) : VEK_WriteEngine(manager), header_(manager) {}
  bool terminate() override;
  bool execute() override;
  using VEK_WriteEngine::initiate;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage,
                        const VEK_WriteDIBOption& option);
  virtual bool write_info(VEK_OutputStorage* storage, const VEK_Header* header, const VEK_WriteDIBOption& option);

  bool move_file_position_by_line(uint32_t line);
  bool write_palette(VEK_OutputStorage* storage, const VEK_Header* header, uint32_t info_size);

  uint32_t stride() const { return stride_; }
  uint32_t pixel_offset() const { return pixel_offset_; }
  uint32_t bit_count() const { return bit_count_; }

 private:
  bool is_supported_input(const VEK_Header& header) const;
  bool is_supported_option(const VEK_Header& header, const VEK_WriteDIBOption& option);
  bool write_row(const uint8_t* in);
  bool write_entries(VEK_OutputStorage* storage, const uint8_t* entries, uint32_t count, uint32_t entry_bytes,
                     uint32_t line);

  uint32_t stride_ = 0;
  uint32_t pixel_offset_ = 0;
  uint32_t bit_count_ = 0;
  VEK_Header header_;
  uint32_t line_ = 0;
  uint8_t* row_ = nullptr;
  uint8_t mask_ = 0xFF;
  int32_t base_ = 0;  // storage position of the info header
};
