#pragma once
// The 4:2:2 engine family, the base it shares with the 4:2:0 family, and the choice of member.

#include <cstdint>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_readstorageinybr422.h"

// The largest read the 31-bit storages can serve at once.
constexpr uint64_t kVekStorageReadLimit = INT32_MAX;

// Pair-line bytes, ceil(width / 2) x 4 samples, in 64 bits.
inline uint64_t vek_ybr_pair_line_bytes(uint32_t width, uint16_t sample_bytes) {
  return (uint64_t(width) + 1) / 2 * 4 * sample_bytes;
}

// The member for the header's bits and data type, made and initiated by make(typed tag).
template <class Make>
VEK_Engine* vek_ybr_member(const VEK_Header& header, Make make) {
  const VEK_DataType* type = header.data_type();
  switch (header.bits()) {
    case 8:
      return type == VEK_DataType::u_integer ? make((unsigned char*)nullptr) : make((char*)nullptr);
    case 16:
      return type == VEK_DataType::u_integer ? make((unsigned short*)nullptr) : make((short*)nullptr);
    case 32:
      if (type == VEK_DataType::u_integer) return make((unsigned int*)nullptr);
      if (type == VEK_DataType::s_integer) return make((int*)nullptr);
      return make((float*)nullptr);
    default:
      return make((double*)nullptr);
  }
}

template <class T>
bool VEK_ReadStorageInYBREngine<T>::prepare(VEK_InputStorage* storage, const VEK_Header* header,
                                            VEK_DstBuffer* destination, int32_t byte_order, const Where& where) {
  if (!check_interface_version(0x01040000u)) {
    vek_report(this->manager_, VEK_ERROR_VERSION, where.initiate, where.file, where.version_line);
    return false;
  }
  if (!VEK_ReadEngine::initiate(storage, header, destination)) return false;
  const uint64_t pair_line = vek_ybr_pair_line_bytes(header->width(), sizeof(T));
  // A line the storages cannot read at once, or an output line no buffer can hold, is not read.
  const bool fit = VEK_EncodeType::is_raw(header->encode_type()) && header->palette().empty() &&
                   header->color_type() == VEK_ColorType_ycbcr::instance() && header->channels() == 3 &&
                   header->bits() == vek_ybr_required_bits<T>();
  if (!fit || pair_line > kVekStorageReadLimit || this->out_header_.line_bytes() == 0) {
    vek_report(this->manager_, VEK_ERROR_FORMAT, where.initiate, where.file, where.format_line);
    return false;
  }
  width_ = header->width();
  pair_line_bytes_ = uint32_t(pair_line);
  out_line_bytes_ = this->out_header_.line_bytes();
  byte_order_ = byte_order;
  line_ = static_cast<uint8_t*>(this->manager_->allocate(pair_line_bytes_));
  return line_ != nullptr && this->dst_->block_bytes(out_line_bytes_);
}

template <class T>
bool VEK_ReadStorageInYBREngine<T>::read_line(uint32_t n, const Where& where) {
  if (this->storage_->read(line_, int32_t(n)) != int32_t(n)) {
    vek_report(this->manager_, VEK_ERROR_DATA, where.execute, where.file, where.short_line);
    return false;
  }
  if (sizeof(T) > 1 && byte_order_ != 1) VEK_EndianConversion(0).convert_samples(line_, n, sizeof(T));
  return true;
}

template <class T>
bool VEK_ReadStorageInYBREngine<T>::terminate() {
  if (line_ != nullptr) this->manager_->free(line_);
  line_ = nullptr;
  return VEK_ReadEngine::terminate();
}

namespace vek_ybr422 {
constexpr VEK_YBRReportSites kWhere{"VEK_ReadStorageInYBR422Engine::initiate()",
                                    "VEK_ReadStorageInYBR422Engine::execute()",
                                    "extension/storageinybr422/source/vek_readstorageinybr422engine.h",
                                    235,
                                    245,
                                    159};
}  // namespace vek_ybr422

template <class T>
bool VEK_ReadStorageInYBR422Engine<T>::initiate(VEK_InputStorage* storage, const VEK_Header* header,
                                                VEK_DstBuffer* destination, int32_t byte_order) {
  return this->prepare(storage, header, destination, byte_order, vek_ybr422::kWhere);
}

template <class T>
bool VEK_ReadStorageInYBR422Engine<T>::execute() {
  if (this->lines_ >= this->out_header_.height()) return false;
  void* out = this->dst_->get();
  if (out == nullptr) return false;
  if (!this->read_line(this->pair_line_bytes_, vek_ybr422::kWhere)) {
    this->dst_->release(0);
    return false;
  }
  vek_widen_ybr422(reinterpret_cast<const T*>(this->line_), static_cast<T*>(out), this->width_);
  ++this->lines_;
  return this->dst_->release(this->out_line_bytes_);
}
