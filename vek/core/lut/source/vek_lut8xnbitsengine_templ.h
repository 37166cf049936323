#pragma once
// The common base of the look-up-table engines: checks the table against the image, keeps a
// copy of it and maps every sample through the table of its channel.

#include <cstdint>
#include <cstring>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_lut.h"
#include "vek_numeric.h"
#include "vek_sampletype.h"

template <class S, class D>
class VEK_Lut8xNbitsEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;

  bool terminate() override;
  bool process_line(const void* source_line, void* destination_line) override;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_LutData* lut, const VEK_ColorType* color_type);

 protected:
  uint32_t entries_ = 0;
  uint32_t width_ = 0;
  uint16_t channels_ = 0;
  D* table_ = nullptr;
  uint32_t index_offset_ = 0;
  D** positions_ = nullptr;
};

template <class S, class D>
bool VEK_Lut8xNbitsEngine<S, D>::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                          const VEK_LutData* lut, const VEK_ColorType* color_type) {
  constexpr const char* kMethod = "VEK_Lut8xNbitsEngine::initiate()";
  constexpr const char* kFile = "core/lut/source/vek_lut8xnbitsengine_templ.h";
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (!header->palette().empty() || header->bits() != vek_sample_bits<S>) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 94);
    return false;
  }
  // The copy below reads exactly what the description says, so the bytes held must match it.
  if (lut == nullptr || lut->table() == nullptr || !lut->is_valid() ||
      (lut->channels() != 1 && lut->channels() != header->channels()) || lut->bits() != vek_sample_bits<D> ||
      lut->entries() != power(2, header->bits()) || lut->table_bytes() != lut->expected_bytes()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, 111);
    return false;
  }
  if (color_type != nullptr) {
    // The label must fit the image that comes out, also when one table serves every channel.
    if (!color_type->is_valid_channels(header->channels())) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, 121);
      return false;
    }
    out_header_.color_type(color_type);
  }
  out_header_.bits(lut->bits());
  out_header_.data_type(lut->data_type());
  entries_ = lut->entries();
  width_ = out_header_.width();
  channels_ = out_header_.channels();

  table_ = static_cast<D*>(manager_->allocate(lut->table_bytes()));
  if (table_ == nullptr) return false;
  positions_ = static_cast<D**>(manager_->allocate(uint32_t(sizeof(D*) * channels_)));
  if (positions_ == nullptr) return false;
  for (uint32_t c = 0; c < channels_; ++c)
    positions_[c] = table_ + (lut->channels() > 1 ? c : 0) * uint64_t(entries_) + index_offset_;
  std::memcpy(table_, lut->table(), lut->table_bytes());
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class S, class D>
bool VEK_Lut8xNbitsEngine<S, D>::process_line(const void* source_line, void* destination_line) {
  const S* in = static_cast<const S*>(source_line);
  D* out = static_cast<D*>(destination_line);
  const uint32_t channels = channels_;
  const uint32_t width = width_;
  if (channels == 1) {
    const D* p = positions_[0];
    uint32_t i = 0;
    // Four independent look-ups an iteration keep the loads in flight.
    for (; i + 4 <= width; i += 4) {
      const D a = p[in[i]], b = p[in[i + 1]], c = p[in[i + 2]], d = p[in[i + 3]];
      out[i] = a;
      out[i + 1] = b;
      out[i + 2] = c;
      out[i + 3] = d;
    }
    for (; i < width; ++i) out[i] = p[in[i]];
    return true;
  }
  for (uint32_t c = 0; c < channels; ++c) {
    const D* p = positions_[c];
    for (uint32_t i = 0; i < width; ++i) out[i * channels + c] = p[in[i * channels + c]];
  }
  return true;
}

template <class S, class D>
bool VEK_Lut8xNbitsEngine<S, D>::terminate() {
  if (table_ != nullptr) manager_->free(table_);
  if (positions_ != nullptr) manager_->free(positions_);
  table_ = nullptr;
  positions_ = nullptr;
  return VEK_ProcessEngine::terminate();
}
