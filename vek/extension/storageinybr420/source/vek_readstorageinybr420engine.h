#pragma once

#include <cstdint>

#include "../../storageinybr422/source/vek_readstorageinybr422engine.h"
#include "vek_readstorageinybr420.h"

namespace vek_ybr420 {
constexpr VEK_YBRReportSites kWhere{"VEK_ReadStorageInYBR420Engine::initiate()",
                                    "VEK_ReadStorageInYBR420Engine::execute()",
                                    "extension/storageinybr420/source/vek_readstorageinybr420engine.h",
                                    281,
                                    291,
                                    182};
}  // namespace vek_ybr420

template <class T>
bool VEK_ReadStorageInYBR420Engine<T>::initiate(VEK_InputStorage* storage, const VEK_Header* header,
                                                VEK_DstBuffer* destination, int32_t byte_order) {
  if (!this->prepare(storage, header, destination, byte_order, vek_ybr420::kWhere)) return false;
  // The chroma of the even row, kept for the odd row below it.
  const uint32_t row = this->width_ * uint32_t(sizeof(T));
  luma_line_bytes_ = row;
  cb_ = static_cast<T*>(this->manager_->allocate(row));
  cr_ = cb_ != nullptr ? static_cast<T*>(this->manager_->allocate(row)) : nullptr;
  return cr_ != nullptr;
}

template <class T>
bool VEK_ReadStorageInYBR420Engine<T>::execute() {
  if (this->lines_ >= this->out_header_.height()) return false;
  void* out = this->dst_->get();
  if (out == nullptr) return false;
  if (!this->read_line(odd_row_ ? luma_line_bytes_ : this->pair_line_bytes_, vek_ybr420::kWhere)) {
    this->dst_->release(0);
    return false;
  }
  const T* in = reinterpret_cast<const T*>(this->line_);
  T* o = static_cast<T*>(out);
  if (!odd_row_) {
    vek_widen_ybr422(in, o, this->width_, cb_, cr_);
  } else {
    for (uint32_t x = 0; x < this->width_; ++x) {
      o[3 * uint64_t(x)] = in[x];
      o[3 * uint64_t(x) + 1] = cb_[x];
      o[3 * uint64_t(x) + 2] = cr_[x];
    }
  }
  odd_row_ = !odd_row_;
  ++this->lines_;
  return this->dst_->release(this->out_line_bytes_);
}

template <class T>
bool VEK_ReadStorageInYBR420Engine<T>::terminate() {
  for (T* p : {cb_, cr_})
    if (p != nullptr) this->manager_->free(p);
  cb_ = cr_ = nullptr;
  return VEK_ReadStorageInYBREngine<T>::terminate();
}
