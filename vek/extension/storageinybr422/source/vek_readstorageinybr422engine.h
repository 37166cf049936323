#pragma once
// The 4:2:2 engine family and the choice of member shared by the 4:2:2 and 4:2:0 creators.

#include <cstdint>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_readstorageinybr422.h"

// The largest read the 31-bit storages can serve at once.
constexpr uint64_t kVekStorageReadLimit = INT32_MAX;

// The fit test shared by both families: what the engines read and deliver.
inline bool vek_ybr_header_fit(const VEK_Header* header, uint16_t bits) {
  return VEK_EncodeType::is_raw(header->encode_type()) && header->palette().empty() &&
         header->color_type() == VEK_ColorType_ycbcr::instance() && header->channels() == 3 && header->bits() == bits;
}

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
bool VEK_ReadStorageInYBR422Engine<T>::initiate(VEK_InputStorage* storage, const VEK_Header* header,
                                                VEK_DstBuffer* destination, int32_t byte_order) {
  constexpr const char* kFile = "extension/storageinybr422/source/vek_readstorageinybr422engine.h";
  if (!check_interface_version(0x01040000u)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ReadStorageInYBR422Engine::initiate()", kFile, 235);
    return false;
  }
  if (!VEK_ReadEngine::initiate(storage, header, destination)) return false;
  const uint64_t pair_line = vek_ybr_pair_line_bytes(header->width(), sizeof(T));
  // A line the storages cannot read at once, or an output line no buffer can hold, is not read.
  if (!vek_ybr_header_fit(header, vek_ybr_required_bits<T>()) || pair_line > kVekStorageReadLimit ||
      out_header_.line_bytes() == 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ReadStorageInYBR422Engine::initiate()", kFile, 245);
    return false;
  }
  width_ = header->width();
  pair_line_bytes_ = uint32_t(pair_line);
  out_line_bytes_ = out_header_.line_bytes();
  byte_order_ = byte_order;
  line_ = static_cast<uint8_t*>(manager_->allocate(pair_line_bytes_));
  if (line_ == nullptr) return false;
  return dst_->block_bytes(out_line_bytes_);
}

template <class T>
bool VEK_ReadStorageInYBR422Engine<T>::execute() {
  if (lines_ >= out_header_.height()) return false;
  void* out = dst_->get();
  if (out == nullptr) return false;
  if (storage_->read(line_, int32_t(pair_line_bytes_)) != int32_t(pair_line_bytes_)) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageInYBR422Engine::execute()",
               "extension/storageinybr422/source/vek_readstorageinybr422engine.h", 159);
    dst_->release(0);
    return false;
  }
  if (sizeof(T) > 1 && byte_order_ != 1) VEK_EndianConversion(0).convert_samples(line_, pair_line_bytes_, sizeof(T));
  vek_widen_ybr422(reinterpret_cast<const T*>(line_), static_cast<T*>(out), width_);
  ++lines_;
  return dst_->release(out_line_bytes_);
}

template <class T>
bool VEK_ReadStorageInYBR422Engine<T>::terminate() {
  if (line_ != nullptr) manager_->free(line_);
  line_ = nullptr;
  return VEK_ReadEngine::terminate();
}
