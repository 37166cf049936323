#include "vek_dlutengine.h"

#include <cstring>

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/dlut/source/vek_dlutengine.cpp";
constexpr const char* kMethod = "VEK_DLutEngine::initiate()";

// base^exponent x factor, or 0 once it passes 32 bits.
uint64_t fitting_product(uint32_t base, uint32_t exponent, uint64_t factor) {
  uint64_t n = factor;
  for (uint32_t k = 0; k < exponent && n <= UINT32_MAX; ++k) n *= base;
  return n <= UINT32_MAX ? n : 0;
}

template <class T>
T entry(const void* table, uint64_t i) {
  T v;
  std::memcpy(&v, static_cast<const uint8_t*>(table) + i * sizeof(T), sizeof(T));
  return v;
}
}  // namespace

bool VEK_DLutEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                              uint16_t table_bits, uint16_t out_channels, uint16_t grid, bool slowest_first,
                              const void* table, const VEK_ColorType* color_type) {
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  const uint16_t bits = header->bits();
  if (header->data_type() != VEK_DataType::u_integer || !header->palette().empty() || (bits != 8 && bits != 16) ||
      header->channels() < 1 || header->channels() > kMaxChannels) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
    return false;
  }
  if ((table_bits != 8 && table_bits != 16) || out_channels < 1 || out_channels > kMaxChannels || table == nullptr ||
      grid < 2 || grid > kMaxGrid) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return false;
  }
  out_header_.channels(out_channels);
  if (color_type != nullptr) out_header_.color_type(color_type);
  if (!out_header_.is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return false;
  }
  in_channels_ = header->channels();
  out_channels_ = out_channels;
  grid_ = grid;
  // The copy's bytes (and with them every stride) must fit the memory manager's 32-bit sizes.
  const uint64_t bytes = fitting_product(grid, in_channels_, uint64_t(out_channels) * (bits / 8));
  if (bytes == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return false;
  }
  const uint64_t entries = bytes / (bits / 8);
  table_ = manager_->allocate(uint32_t(bytes));
  if (table_ == nullptr) return false;
  if (bits == 8) {
    uint8_t* out = static_cast<uint8_t*>(table_);
    if (table_bits == 8)
      std::memcpy(out, table, entries);
    else
      for (uint64_t i = 0; i < entries; ++i) out[i] = uint8_t(entry<uint16_t>(table, i) / 257);
  } else {
    uint16_t* out = static_cast<uint16_t*>(table_);
    if (table_bits == 16)
      std::memcpy(out, table, bytes);
    else
      for (uint64_t i = 0; i < entries; ++i) out[i] = uint16_t(entry<uint8_t>(table, i) * 257);
  }
  max_ = (1u << bits) - 1;
  scale_ = double(grid - 1) / max_;
  index_ = static_cast<uint32_t*>(manager_->allocate((max_ + 1) * sizeof(uint32_t)));
  if (index_ == nullptr) {
    release();
    return false;
  }
  uint32_t stride = out_channels_;
  for (uint16_t k = 0; k < in_channels_; ++k) {
    strides_[slowest_first ? in_channels_ - 1 - k : k] = stride;
    stride *= grid_;
  }
  strides_[in_channels_] = stride;
  return src_->block_bytes(header->line_bytes()) && dst_->block_bytes(out_header_.line_bytes());
}

bool VEK_DLutEngine::terminate() {
  release();
  return VEK_ProcessLineToLineEngine::terminate();
}

void VEK_DLutEngine::release() {
  manager_->free(table_);
  manager_->free(index_);
  table_ = nullptr;
  index_ = nullptr;
}
