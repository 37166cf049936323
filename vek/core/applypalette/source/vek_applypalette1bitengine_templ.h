#pragma once
// One-bit indices into a two-entry palette of components T, eight pixels per source byte.

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vek_applypaletteengine.h"
#include "vek_errorhandler.h"

template <class T>
class VEK_ApplyPalette1BitEngine : public VEK_ApplyPaletteEngine {
  static_assert(std::is_same_v<T, unsigned char> || std::is_same_v<T, unsigned short>, "8- or 16-bit components");
  static constexpr const char* kFile = "core/applypalette/source/vek_applypalette1bitengine_templ.h";

 public:
  using VEK_ApplyPaletteEngine::VEK_ApplyPaletteEngine;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
  bool process_line(const void* source_line, void* destination_line) override;

 private:
  const uint8_t* table_ = nullptr;
  uint32_t whole_bytes_ = 0;
  uint8_t remaining_ = 0;
};

template <class T>
bool VEK_ApplyPalette1BitEngine<T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                             VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ApplyPalette1BitEngine::initiate()", kFile, 51);
    return false;
  }
  if (!VEK_ApplyPaletteEngine::initiate(header, source, destination)) return false;
  // Components read as T past an 8-bit palette would run beyond the table.
  if (header->bits() != 1 || header->channels() != 1 || palette_.bits() != sizeof(T) * 8) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ApplyPalette1BitEngine::initiate()", kFile, 61);
    return false;
  }
  table_ = palette_.data();
  whole_bytes_ = header->width() / 8;
  remaining_ = uint8_t(header->width() % 8);
  return true;
}

template <class T>
bool VEK_ApplyPalette1BitEngine<T>::process_line(const void* source_line, void* destination_line) {
  const uint8_t* in = static_cast<const uint8_t*>(source_line);
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  const size_t entry_bytes = size_t(entry_channels_) * sizeof(T);
  const uint8_t* const entry[2] = {table_, table_ + entry_bytes};
  for (uint32_t b = 0; b < whole_bytes_; ++b) {
    const uint8_t byte = in[b];
    for (unsigned mask = 0x80; mask != 0; mask >>= 1, out += entry_bytes)
      std::memcpy(out, entry[(byte & mask) != 0], entry_bytes);
  }
  // The last byte's bits past the width are not pixels.
  if (remaining_ != 0) {
    const uint8_t byte = in[whole_bytes_];
    unsigned mask = 0x80;
    for (uint8_t k = 0; k < remaining_; ++k, mask >>= 1, out += entry_bytes)
      std::memcpy(out, entry[(byte & mask) != 0], entry_bytes);
  }
  return true;
}
