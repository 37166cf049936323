#include "vek_errorhandler.h"
#include "vek_scaleireengine.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scalewidthire1bitengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleWidthIRE1BitEngine::initiate()";
}  // namespace

bool VEK_ScaleWidthIRE1BitEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                           uint32_t factor) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  if (!VEK_EncodeType::is_raw(header->encode_type()) || header->bits() != 1 || header->channels() != 1 ||
      (header->data_type() != VEK_DataType::u_integer && header->data_type() != VEK_DataType::s_integer)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  // The table's 256 x k bytes and the output width in 64 bits: both wrap for large factors.
  const uint64_t width = uint64_t(header->width()) * factor;
  if (factor == 0 || width == 0 || width > UINT32_MAX || uint64_t(factor) * 256 > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  factor_ = factor;
  src_width_ = header->width();
  src_line_bytes_ = header->line_bytes();
  out_header_.width(uint32_t(width));
  line_bytes_ = out_header_.line_bytes();
  table_ = static_cast<uint8_t*>(manager_->allocate(256 * factor));
  if (table_ == nullptr) return false;
  for (uint32_t v = 0; v < 256; ++v) {
    uint8_t* entry = table_ + v * factor;
    for (uint32_t i = 0; i < factor; ++i) entry[i] = 0;
    for (uint32_t bit = 0; bit < 8; ++bit) {
      if ((v & (0x80u >> bit)) == 0) continue;
      for (uint64_t o = uint64_t(bit) * factor, e = o + factor; o < e; ++o) entry[o >> 3] |= uint8_t(0x80u >> (o & 7));
    }
  }
  return src_->block_bytes(src_line_bytes_) && dst_->block_bytes(line_bytes_);
}

bool VEK_ScaleWidthIRE1BitEngine::terminate() {
  manager_->free(table_);
  table_ = nullptr;
  return VEK_ProcessEngine::terminate();
}

bool VEK_ScaleWidthIRE1BitEngine::execute() {
  uint8_t* line = static_cast<uint8_t*>(dst_->get());
  if (line == nullptr) return false;
  uint32_t got = 0;
  if (!src_->get(line, &got)) {
    dst_->release(0);
    return false;
  }
  const bool released = src_->release();
  // From the end backwards: byte i lands at i x k >= i, past every byte still to be read.
  const uint32_t k = factor_;
  const uint32_t full = src_width_ / 8, rest = src_width_ % 8;
  if (rest != 0) {
    const uint8_t v = uint8_t(line[full] & (0xFF00u >> rest));
    std::memcpy(line + uint64_t(full) * k, table_ + uint32_t(v) * k, (uint64_t(k) * rest + 7) / 8);
  }
  for (uint32_t i = full; i-- > 0;) {
    const uint8_t v = line[i];
    std::memcpy(line + uint64_t(i) * k, table_ + uint32_t(v) * k, k);
  }
  return dst_->release(line_bytes_) && released;
}
