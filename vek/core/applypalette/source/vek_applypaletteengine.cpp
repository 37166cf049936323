#include "vek_applypaletteengine.h"

#include <cstring>

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/applypalette/source/vek_applypaletteengine.cpp";
constexpr const char* kMethod = "VEK_ApplyPaletteEngine::initiate()";
}  // namespace

bool VEK_ApplyPaletteEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) {
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (header->palette().empty()) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 53);
    return false;
  }
  if (!(palette_ = header->palette())) return false;
  entry_channels_ = palette_.channels();

  // Every index the depth can hold gets an entry, so no sample is ever compared with the
  // entry count. A valid paletted header has at most 16 bits and at most that many entries:
  // widening only appends entries of zeros.
  const uint64_t entries = uint64_t(1) << header->bits();
  if (palette_.entries() != entries) {
    const uint64_t size = uint64_t(palette_.bits()) * palette_.channels() * entries / 8;
    if (size > UINT32_MAX) {
      vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
      return false;
    }
    uint8_t* block = static_cast<uint8_t*>(manager_->allocate(static_cast<uint32_t>(size)));
    if (block == nullptr) return false;
    std::memset(block, 0, size);
    std::memcpy(block, palette_.data(), palette_.byte_size());
    palette_.entries(static_cast<uint32_t>(entries));
    const bool kept = palette_.value(block, static_cast<uint32_t>(size));
    manager_->free(block);
    if (!kept) return false;
  }

  // The colour type described the entries; now it describes the pixels.
  out_header_.channels(entry_channels_);
  out_header_.bits(palette_.bits());
  if (!out_header_.palette(VEK_Header::VEK_Palette(manager_))) return false;
  // An output line beyond 32 bits gives 0 here, which the buffer refuses.
  return dst_->block_bytes(out_header_.line_bytes());
}
