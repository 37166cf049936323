#pragma once
// Pixel operators on 1-bit, one-channel samples, byte by byte: masks only on the first and
// last byte of the overlap, shifts only when it does not start on a byte boundary.

#include <cstdint>
#include <type_traits>

#include "vek_errorhandler.h"
#include "vek_oppixelsengine.h"
#include "vek_oppixelslines.h"
#include "vek_pixeloperator.h"

template <class OPBin>
class VEK_OpPixels1Engine : public VEK_OpPixelsEngine {
  static constexpr const char* kFile = "core/operation/source/vek_oppixels1engine_templ.h";

 public:
  using VEK_OpPixelsEngine::initiate;
  using VEK_OpPixelsEngine::VEK_OpPixelsEngine;
  ~VEK_OpPixels1Engine() override { free_line(); }
  // x, y: the second input's place inside the first.
  virtual bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                        VEK_DstBuffer* destination, uint32_t x, uint32_t y);
  bool terminate() override {
    free_line();
    return VEK_OpPixelsEngine::terminate();
  }

 protected:
  void free_line() {
    if (second_line_ != nullptr) manager_->free(second_line_);
    second_line_ = nullptr;
  }

  uint32_t shift_ = 0;
  uint32_t first_byte_ = 0;
  uint32_t last_byte_ = 0;
  uint8_t first_mask_ = 0;
  uint8_t last_mask_ = 0;
  uint8_t* second_line_ = nullptr;
  uint32_t second_bytes_ = 0;
};

template <class OPBin>
class VEK_OpPixels1UnMaskedEngine : public VEK_OpPixels1Engine<OPBin> {
  static_assert(std::is_same_v<OPBin, VEK_PixelOperator::And>, "only AND has a 1-bit engine");

 public:
  using VEK_OpPixels1Engine<OPBin>::VEK_OpPixels1Engine;
  using VEK_OpPixels1Engine<OPBin>::initiate;
  bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                VEK_DstBuffer* destination, uint32_t x, uint32_t y) override {
    bytes_ = vek_oppixels_and_bytes();
    shifted_ = vek_oppixels_and_shifted();
    return VEK_OpPixels1Engine<OPBin>::initiate(headers, sources, destination, x, y);
  }

 private:
  bool combine(uint8_t* out, VEK_SrcBuffer* second) override;
  void combine_bits(uint8_t* d) const;

  VEK_OpBytesLine bytes_ = nullptr;
  VEK_OpShiftedLine shifted_ = nullptr;
};

template <class OPBin>
bool VEK_OpPixels1Engine<OPBin>::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                          const VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination,
                                          uint32_t x, uint32_t y) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_OpPixels1Engine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_OpPixelsEngine::initiate(headers, sources, destination)) return false;
  const VEK_Header& first = *headers_[0];
  if (first.bits() != 1 || first.channels() != 1) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_OpPixels1Engine::initiate()", kFile, __LINE__);
    return false;
  }
  place(x, y, first.channels());
  if (unit_count_ != 0) {
    // Bit indices stay below width x channels, which a valid line keeps within 32 bits.
    const uint64_t last_bit = first_unit_ + unit_count_ - 1;
    shift_ = uint32_t(first_unit_ % 8);
    first_byte_ = uint32_t(first_unit_ / 8);
    last_byte_ = uint32_t(last_bit / 8);
    first_mask_ = uint8_t(0xFF >> shift_);
    const uint32_t tail = uint32_t((last_bit + 1) % 8);
    last_mask_ = tail == 0 ? 0xFF : uint8_t(~(0xFF >> tail));
    if (first_byte_ == last_byte_) {
      first_mask_ = uint8_t(first_mask_ & last_mask_);
      last_mask_ = uint8_t(~first_mask_);
    }
  }
  second_bytes_ = headers_[1]->line_bytes();
  second_line_ = static_cast<uint8_t*>(manager_->allocate(second_bytes_));
  return second_line_ != nullptr;
}

template <class OPBin>
void VEK_OpPixels1UnMaskedEngine<OPBin>::combine_bits(uint8_t* d) const {
  const uint8_t* b = this->second_line_;
  const uint32_t s = this->shift_, fb = this->first_byte_, lb = this->last_byte_, n = this->second_bytes_;
  const uint8_t m0 = this->first_mask_, m1 = this->last_mask_;
  if (fb == lb) {
    d[fb] &= uint8_t(((b[0] >> s) & m0) | m1);
  } else if (s == 0) {
    bytes_(d + fb, b, lb - fb);
    d[lb] &= uint8_t((b[lb - fb] & m1) | uint8_t(~m1));
  } else {
    d[fb] &= uint8_t(((b[0] >> s) & m0) | uint8_t(~m0));
    // The bytes in between take the tail of one second-input byte and the head of the next.
    if (lb - fb > 1) shifted_(d + fb + 1, b, lb - fb - 1, s);
    const uint32_t k = lb - fb;
    const uint8_t o = d[lb];
    uint8_t t = uint8_t((b[k - 1] << (8 - s)) & uint8_t(~m0) & o);
    t |= k < n ? uint8_t((b[k] >> s) & o & m0) : uint8_t(o & m0);
    d[lb] = uint8_t((o & uint8_t(~m1)) | (t & m1));
  }
}

template <class OPBin>
bool VEK_OpPixels1UnMaskedEngine<OPBin>::combine(uint8_t* out, VEK_SrcBuffer* second) {
  if (!second->get(this->second_line_, nullptr)) return false;
  if (this->unit_count_ != 0) combine_bits(out);
  return second->release();
}
