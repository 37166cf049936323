#include <cstring>

#include "vek_dib.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/dib/source/vek_writedibrawengine.cpp";
constexpr const char* kInitiate = "VEK_WriteDIBRawEngine::initiate()";
constexpr const char* kOption = "VEK_WriteDIBRawEngine::is_supported_option()";
constexpr const char* kWriteInfo = "VEK_WriteDIBRawEngine::write_info()";
constexpr const char* kPalette = "VEK_WriteDIBRawEngine::write_palette()";
constexpr const char* kMove = "VEK_WriteDIBRawEngine::move_file_position_by_line()";
constexpr const char* kExecute = "VEK_WriteDIBRawEngine::execute()";

// Keeps the leading width mod 8 bits of a 1-bit row's last byte.
constexpr uint8_t kLastByteMasks[8] = {0xFF, 0x80, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC, 0xFE};

// Bytes that bring n up to a multiple of 4.
uint32_t padding(uint32_t n) { return (4 - n % 4) % 4; }
}  // namespace

bool VEK_WriteDIBRawEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage,
                                     const VEK_WriteDIBOption& option) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, 52);
    return false;
  }
  if (!VEK_WriteEngine::initiate(header, source, storage)) return false;
  if (!is_supported_input(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, 61);
    return false;
  }
  // The bitmap starts where the storage stands; all row positions are relative to it.
  base_ = storage_->tell();
  if (!is_supported_option(*header, option)) return false;
  if (!write_info(storage_, header, option)) return false;

  row_ = static_cast<uint8_t*>(manager_->allocate(stride_));
  if (row_ == nullptr) return false;
  std::memset(row_, 0, stride_);
  // Zero the whole pixel area once, so that execute never writes padding.
  for (uint32_t y = 0; y < header->height(); ++y) {
    if (storage_->write(row_, int32_t(stride_)) != int32_t(stride_)) {
      vek_report(manager_, VEK_ERROR_IO, kInitiate, kFile, 86);
      return false;
    }
  }
  mask_ = bit_count_ == 1 ? kLastByteMasks[header->width() % 8] : 0xFF;
  if (!(header_ = *header)) return false;
  if (!src_->block_bytes(header->line_bytes())) {
    vek_report(manager_, VEK_ERROR_IO, kInitiate, kFile, 102);
    return false;
  }
  return true;
}

bool VEK_WriteDIBRawEngine::is_supported_input(const VEK_Header& header) const {
  if (!VEK_EncodeType::is_raw(header.encode_type()) || header.data_type() != VEK_DataType::u_integer) return false;
  const VEK_Header::VEK_Palette& palette = header.palette();
  if (!palette.empty() && palette.bits() != 8) return false;
  const VEK_ColorType* color = header.color_type();
  // A grey palette would be replaced by the fixed grey table: only colour palettes are written.
  if (header.bits() == 1)
    return ((VEK_ColorType::is_gray(color) || VEK_ColorType::is_gray_reverse(color)) && palette.empty()) ||
           (VEK_ColorType::is_s_rgb(color) && !palette.empty());
  if (header.bits() == 8) return VEK_ColorType::is_s_rgb(color) || (VEK_ColorType::is_gray(color) && palette.empty());
  return false;
}

bool VEK_WriteDIBRawEngine::is_supported_option(const VEK_Header& header, const VEK_WriteDIBOption& option) {
  const uint16_t bits = header.bits();
  const uint16_t channels = header.channels();
  uint32_t line = 0;
  switch (option.bit_count) {
    case 0:
      break;
    case 1:
      line = bits == 1 ? 0 : 165;
      break;
    case 4:
      line = 170;
      break;
    case 8:
      line = bits == 8 && channels == 1 ? 0 : 175;
      break;
    case 16:
      line = bits == 8 && channels == 3 ? 0 : 181;
      break;
    case 24:
      line = bits == 8 && channels == 3 ? 0 : 187;
      break;
    case 32:
      line = bits == 8 && channels == 3 ? 0 : 193;
      break;
    default:
      vek_report(manager_, VEK_ERROR_ARGUMENT, kOption, kFile, 198);
      return false;
  }
  if (line != 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, kOption, kFile, line);
    return false;
  }
  if (option.info_size == 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, kOption, kFile, 203);
    return false;
  }
  // Any other header size would leave the header short of the pixel offset it announces.
  if (option.info_size != 12 && option.info_size != 40) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kOption, kFile, __LINE__);
    return false;
  }
  const uint32_t limit = option.info_size == 12 ? 32768u : 0x80000000u;
  const uint32_t limit_line = option.info_size == 12 ? 213 : 222;
  if (header.width() >= limit || header.height() >= limit) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kOption, kFile, limit_line);
    return false;
  }
  // Storage positions are signed 32-bit: the whole bitmap has to fit behind the start.
  const uint32_t bit_count = option.bit_count != 0 ? option.bit_count : vek_dib_auto_bit_count(header);
  const uint64_t info =
      option.info_size + uint64_t(vek_dib_color_entries(header, bit_count)) * vek_dib_entry_bytes(option.info_size);
  if (!vek_dib_fits(info, vek_dib_stride(bit_count, header.width()), header.height(),
                    uint64_t(INT32_MAX) - uint64_t(base_ < 0 ? 0 : base_))) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kOption, kFile, limit_line);
    return false;
  }
  // The raw writer writes uncompressed rows only; another code would mislabel them.
  if (option.compression != 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, kOption, kFile, __LINE__);
    return false;
  }
  return true;
}

bool VEK_WriteDIBRawEngine::write_info(VEK_OutputStorage* storage, const VEK_Header* header,
                                       const VEK_WriteDIBOption& option) {
  bit_count_ = option.bit_count != 0 ? option.bit_count : vek_dib_auto_bit_count(*header);
  if (bit_count_ == 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, kWriteInfo, kFile, 412);
    return false;
  }
  const uint32_t entries = vek_dib_color_entries(*header, bit_count_);
  pixel_offset_ = option.info_size + entries * vek_dib_entry_bytes(option.info_size);
  stride_ = uint32_t(vek_dib_stride(bit_count_, header->width()));
  VEK_BitmapInfoHeader info(manager_, option.info_size, header->width(), header->height(), uint16_t(bit_count_),
                            option.compression, option.x_pels_per_meter, option.y_pels_per_meter, entries);
  return info.write(storage) && write_palette(storage, header, option.info_size);
}

bool VEK_WriteDIBRawEngine::write_entries(VEK_OutputStorage* storage, const uint8_t* entries, uint32_t count,
                                          uint32_t entry_bytes, uint32_t line) {
  const int32_t n = int32_t(count * entry_bytes);
  if (storage->write(entries, n) == n) return true;
  vek_report(manager_, VEK_ERROR_IO, kPalette, kFile, line);
  return false;
}

bool VEK_WriteDIBRawEngine::write_palette(VEK_OutputStorage* storage, const VEK_Header* header, uint32_t info_size) {
  const uint32_t entry_bytes = vek_dib_entry_bytes(info_size);
  const uint32_t entries = vek_dib_color_entries(*header, bit_count_);
  if (entries == 0) return true;
  const VEK_ColorType* color = header->color_type();
  if (VEK_ColorType::is_rgb(color)) {
    // Red, green, blue in; blue, green, red (, 0) out.
    uint8_t table[256 * 4] = {};
    const uint8_t* rgb = header->palette().data();
    if (rgb == nullptr || entries > 256 || header->palette().channels() != 3 || header->palette().bits() != 8) {
      vek_report(manager_, VEK_ERROR_FORMAT, kPalette, kFile, __LINE__);
      return false;
    }
    for (uint32_t i = 0; i < entries; ++i) {
      table[i * entry_bytes] = rgb[i * 3 + 2];
      table[i * entry_bytes + 1] = rgb[i * 3 + 1];
      table[i * entry_bytes + 2] = rgb[i * 3];
    }
    return write_entries(storage, table, entries, entry_bytes, entry_bytes == 3 ? 521 : 534);
  }
  const uint32_t grey_line = entry_bytes == 3 ? 581 : 594;
  if (entries == 2) {
    const uint8_t first = VEK_ColorType::is_gray_reverse(color) ? 255 : 0;
    uint8_t table[8] = {};
    std::memset(table, first, 3);
    std::memset(table + entry_bytes, 255 - first, 3);
    return write_entries(storage, table, 2, entry_bytes, grey_line);
  }
  uint8_t* ramp = static_cast<uint8_t*>(manager_->allocate(256 * entry_bytes));
  if (ramp == nullptr) return false;
  std::memset(ramp, 0, 256 * entry_bytes);
  for (uint32_t v = 0; v < 256; ++v) std::memset(ramp + v * entry_bytes, int(v), 3);
  const bool written = write_entries(storage, ramp, 256, entry_bytes, grey_line);
  manager_->free(ramp);
  return written;
}

bool VEK_WriteDIBRawEngine::move_file_position_by_line(uint32_t line) {
  if (line >= header_.height()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMove, kFile, 246);
    return false;
  }
  // Input line 0, the top, is the last row of the bitmap. Fits: checked against the storage at initiate.
  const uint64_t position = uint64_t(base_) + pixel_offset_ + uint64_t(header_.height() - 1 - line) * stride_;
  if (storage_->seek(int32_t(position)) && storage_->tell() == int32_t(position)) return true;
  vek_report(manager_, VEK_ERROR_IO, kMove, kFile, __LINE__);
  return false;
}

bool VEK_WriteDIBRawEngine::execute() {
  const uint32_t height = header_.height();
  if (line_ >= height) return false;
  const uint8_t* in = static_cast<const uint8_t*>(src_->get(nullptr));
  // A missing line is an incomplete bitmap, the last one included.
  bool ok = in != nullptr;
  if (!ok) vek_report(manager_, VEK_ERROR_DATA, kExecute, kFile, 271);
  ok = ok && move_file_position_by_line(line_) && write_row(in);
  if (!ok) {
    line_ = height;  // nothing more is written after a failure
    return false;
  }
  ++line_;
  return src_->release();
}

bool VEK_WriteDIBRawEngine::write_row(const uint8_t* in) {
  const uint32_t width = header_.width();
  auto put = [&](const void* bytes, uint32_t n, uint32_t line) {
    if (n == 0 || storage_->write(bytes, int32_t(n)) == int32_t(n)) return true;
    vek_report(manager_, VEK_ERROR_IO, kExecute, kFile, line);
    return false;
  };
  auto skip = [&](uint32_t n, uint32_t line) {
    if (n == 0 || storage_->skip(int32_t(n)) == int32_t(n)) return true;
    vek_report(manager_, VEK_ERROR_IO, kExecute, kFile, line);
    return false;
  };
  switch (bit_count_) {
    case 1: {
      // Straight from the input line; only the partial last byte is masked.
      if (!put(in, width / 8, 288)) return false;
      if (width % 8 != 0) {
        const uint8_t last = in[width / 8] & mask_;
        if (!put(&last, 1, 295)) return false;
      }
      return skip(padding((width + 7) / 8), 303);
    }
    case 8:
      return put(in, width, 318) && skip(padding(width), 325);
    case 16:
      for (uint32_t x = 0; x < width; ++x, in += 3) {
        const uint32_t word = uint32_t(in[0] >> 3) << 10 | uint32_t(in[1] >> 3) << 5 | uint32_t(in[2] >> 3);
        row_[2 * x] = uint8_t(word);
        row_[2 * x + 1] = uint8_t(word >> 8);
      }
      return put(row_, stride_, 342);
    case 24:
      for (uint32_t x = 0; x < width; ++x, in += 3) {
        row_[3 * x] = in[2];
        row_[3 * x + 1] = in[1];
        row_[3 * x + 2] = in[0];
      }
      return put(row_, stride_, 358);
    case 32:
      for (uint32_t x = 0; x < width; ++x, in += 3) {
        row_[4 * x] = in[2];
        row_[4 * x + 1] = in[1];
        row_[4 * x + 2] = in[0];
        row_[4 * x + 3] = 0;
      }
      return put(row_, stride_, 375);
    default:
      vek_report(manager_, VEK_ERROR_FORMAT, kExecute, kFile, 311);
      return false;
  }
}

bool VEK_WriteDIBRawEngine::terminate() {
  if (row_ != nullptr) manager_->free(row_);
  row_ = nullptr;
  return VEK_WriteEngine::terminate();
}
