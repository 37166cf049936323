#pragma once
// 8- or 16-bit indices I into a palette of components O, one entry per possible index.

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vek_applypaletteengine.h"
#include "vek_errorhandler.h"

template <class I, class O>
class VEK_ApplyPalette8xNBitsEngine : public VEK_ApplyPaletteEngine {
  static_assert(std::is_same_v<I, unsigned char> || std::is_same_v<I, unsigned short>, "8- or 16-bit indices");
  static_assert(std::is_same_v<O, unsigned char> || std::is_same_v<O, unsigned short>, "8- or 16-bit components");
  static constexpr const char* kFile = "core/applypalette/source/vek_applypalette8xnbitsengine_templ.h";

 public:
  using VEK_ApplyPaletteEngine::VEK_ApplyPaletteEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
  bool process_line(const void* source_line, void* destination_line) override;

 private:
  const uint8_t* table_ = nullptr;
  uint32_t samples_ = 0;
};

template <class I, class O>
bool VEK_ApplyPalette8xNBitsEngine<I, O>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                                   VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ApplyPalette8xNBitsEngine::initiate()", kFile, 50);
    return false;
  }
  if (!VEK_ApplyPaletteEngine::initiate(header, source, destination)) return false;
  // The table has 2^bits entries only for indices of I's own width; components read as O
  // past an 8-bit palette would run beyond it.
  if (header->data_type() != VEK_DataType::u_integer || header->bits() != sizeof(I) * 8 ||
      palette_.bits() != sizeof(O) * 8) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ApplyPalette8xNBitsEngine::initiate()", kFile, 60);
    return false;
  }
  table_ = palette_.data();
  samples_ = header->width();
  return true;
}

template <class I, class O>
bool VEK_ApplyPalette8xNBitsEngine<I, O>::process_line(const void* source_line, void* destination_line) {
  // Byte copies: lines need not be aligned for I or O.
  const uint8_t* in = static_cast<const uint8_t*>(source_line);
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  const uint16_t channels = entry_channels_;
  const size_t entry_bytes = size_t(channels) * sizeof(O);
  for (uint32_t i = 0; i < samples_; ++i, in += sizeof(I)) {
    I index;
    std::memcpy(&index, in, sizeof(I));
    const uint8_t* entry = table_ + index * entry_bytes;
    for (uint16_t c = 0; c < channels; ++c, entry += sizeof(O), out += sizeof(O)) std::memcpy(out, entry, sizeof(O));
  }
  return true;
}
