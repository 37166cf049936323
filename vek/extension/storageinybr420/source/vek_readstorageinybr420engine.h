#pragma once

#include <cstdint>

#include "../../storageinybr422/source/vek_readstorageinybr422engine.h"
#include "vek_readstorageinybr420.h"

template <class T>
bool VEK_ReadStorageInYBR420Engine<T>::initiate(VEK_InputStorage* storage, const VEK_Header* header,
                                                VEK_DstBuffer* destination, int32_t byte_order) {
  constexpr const char* kFile = "extension/storageinybr420/source/vek_readstorageinybr420engine.h";
  if (!check_interface_version(0x01040000u)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ReadStorageInYBR420Engine::initiate()", kFile, 281);
    return false;
  }
  if (!VEK_ReadEngine::initiate(storage, header, destination)) return false;
  const uint64_t pair_line = vek_ybr_pair_line_bytes(header->width(), sizeof(T));
  const uint64_t rows = uint64_t(header->width()) * sizeof(T);
  if (!vek_ybr_header_fit(header, vek_ybr_required_bits<T>()) || pair_line > kVekStorageReadLimit ||
      out_header_.line_bytes() == 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ReadStorageInYBR420Engine::initiate()", kFile, 291);
    return false;
  }
  width_ = header->width();
  pair_line_bytes_ = uint32_t(pair_line);
  luma_line_bytes_ = uint32_t(rows);
  out_line_bytes_ = out_header_.line_bytes();
  byte_order_ = byte_order;
  line_ = static_cast<uint8_t*>(manager_->allocate(pair_line_bytes_));
  if (line_ == nullptr) return false;
  cb_ = static_cast<T*>(manager_->allocate(uint32_t(rows)));
  if (cb_ == nullptr) return false;
  cr_ = static_cast<T*>(manager_->allocate(uint32_t(rows)));
  if (cr_ == nullptr) return false;
  return dst_->block_bytes(out_line_bytes_);
}

template <class T>
bool VEK_ReadStorageInYBR420Engine<T>::execute() {
  if (lines_ >= out_header_.height()) return false;
  void* out = dst_->get();
  if (out == nullptr) return false;
  const uint32_t n = odd_row_ ? luma_line_bytes_ : pair_line_bytes_;
  if (storage_->read(line_, int32_t(n)) != int32_t(n)) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageInYBR420Engine::execute()",
               "extension/storageinybr420/source/vek_readstorageinybr420engine.h", 182);
    dst_->release(0);
    return false;
  }
  if (sizeof(T) > 1 && byte_order_ != 1) VEK_EndianConversion(0).convert_samples(line_, n, sizeof(T));
  const T* in = reinterpret_cast<const T*>(line_);
  T* o = static_cast<T*>(out);
  if (!odd_row_) {
    vek_widen_ybr422(in, o, width_, cb_, cr_);
  } else {
    for (uint32_t x = 0; x < width_; ++x) {
      o[3 * uint64_t(x)] = in[x];
      o[3 * uint64_t(x) + 1] = cb_[x];
      o[3 * uint64_t(x) + 2] = cr_[x];
    }
  }
  odd_row_ = !odd_row_;
  ++lines_;
  return dst_->release(out_line_bytes_);
}

template <class T>
bool VEK_ReadStorageInYBR420Engine<T>::terminate() {
  for (void* p : {static_cast<void*>(line_), static_cast<void*>(cb_), static_cast<void*>(cr_)})
    if (p != nullptr) manager_->free(p);
  line_ = nullptr;
  cb_ = cr_ = nullptr;
  return VEK_ReadEngine::terminate();
}
