#pragma once
// The line engine behind VEK_SignedExtension, for signed samples of type T.

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vek_engine.h"
#include "vek_errorhandler.h"

template <class T>
class VEK_SignedExtensionEngine : public VEK_ProcessLineToLineEngine {
  static_assert(std::is_same_v<T, signed char> || std::is_same_v<T, short>, "8- or 16-bit signed samples");
  using U = std::make_unsigned_t<T>;  // bit work on unsigned values: no shifts of negative numbers
  static constexpr const char* kFile = "extension/signedextension/source/vek_signedextensionengine_templ.h";
  static constexpr uint32_t kVersion = 0x01040000u;

 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool process_line(const void* source_line, void* destination_line) override;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint8_t sign_bit);

 private:
  U sign_mask_ = 0;
  U high_mask_ = 0;
  U low_mask_ = 0;
  uint32_t samples_ = 0;
};

template <class T>
bool VEK_SignedExtensionEngine<T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            uint8_t sign_bit) {
  if (!check_interface_version(kVersion)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_SignedExtensionEngine::initiate()", kFile, 161);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  constexpr uint16_t kBits = sizeof(T) * 8;
  if (out_header_.data_type() != VEK_DataType::s_integer || out_header_.bits() != kBits ||
      !out_header_.palette().empty() || !VEK_EncodeType::is_raw(out_header_.encode_type())) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_SignedExtensionEngine::initiate()", kFile, 171);
    return false;
  }
  if (sign_bit >= kBits) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_SignedExtensionEngine::initiate()", kFile, 178);
    return false;
  }
  // In 32 bits, then narrowed: 1 << 16 still fits.
  const uint32_t low = (uint32_t(1) << (sign_bit + 1)) - 1u;
  sign_mask_ = U(uint32_t(1) << sign_bit);
  low_mask_ = U(low);
  high_mask_ = U(~low);
  samples_ = uint32_t(out_header_.channels()) * out_header_.width();
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class T>
bool VEK_SignedExtensionEngine<T>::process_line(const void* source_line, void* destination_line) {
  // Byte copies: lines need not be aligned for T.
  const uint8_t* in = static_cast<const uint8_t*>(source_line);
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  for (uint32_t i = 0; i < samples_; ++i, in += sizeof(U), out += sizeof(U)) {
    U v;
    std::memcpy(&v, in, sizeof(U));
    v = (v & sign_mask_) != 0 ? U(v | high_mask_) : U(v & low_mask_);
    std::memcpy(out, &v, sizeof(U));
  }
  return true;
}
