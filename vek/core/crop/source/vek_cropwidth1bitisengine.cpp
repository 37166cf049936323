#include <bit>
#include <cstring>

#include "vek_cropengine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/crop/source/vek_cropwidth1bitisengine.cpp";
constexpr const char* kInitiate = "VEK_CropWidth1BitISEngine::initiate()";
}  // namespace

bool VEK_CropWidth1BitISEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                         uint32_t x, uint32_t width) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_CropWidth1BitEngine::initiate(header, source, destination, x, width)) return false;
  const uint32_t shift = uint32_t(uint64_t(out_header_.channels()) * x % 8);
  if (shift == 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  source_line_bytes_ = header->line_bytes();
  left_shift_ = uint8_t(shift);
  right_shift_ = uint8_t(8 - shift);
  // The last output byte takes bits from the next source byte only when the line has one.
  byte_after_ = uint64_t(byte_offset_) + line_bytes_ < source_line_bytes_;
  return true;
}

bool VEK_CropWidth1BitISEngine::process_line(const void* source_line, void* destination_line) {
  const uint8_t* in = static_cast<const uint8_t*>(source_line) + byte_offset_;
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  const uint32_t last = line_bytes_ - 1;
  const unsigned left = left_shift_, right = right_shift_;
  uint32_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    // Eight output bytes at a time from nine source bytes, the ninth never past in[last].
    for (; i + 8 <= last; i += 8) {
      uint64_t word;
      std::memcpy(&word, in + i, 8);
      word = (__builtin_bswap64(word) << left) | (in[i + 8] >> right);
      word = __builtin_bswap64(word);
      std::memcpy(out + i, &word, 8);
    }
  }
  for (; i < last; ++i) out[i] = uint8_t((in[i] << left) | (in[i + 1] >> right));
  uint8_t tail = uint8_t(in[last] << left);
  if (byte_after_) tail = uint8_t(tail | (in[last + 1] >> right));
  out[last] = uint8_t(tail & mask_);
  return true;
}
