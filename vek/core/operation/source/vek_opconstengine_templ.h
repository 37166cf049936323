#pragma once
// The line engine of a logical operator with a constant, for unsigned samples of type T.

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_pixeloperator.h"

template <class Op, class T>
class VEK_OpConstEngine : public VEK_ProcessLineToLineEngine {
  static_assert(std::is_same_v<Op, VEK_PixelOperator::And>, "only AND has engines");
  static constexpr const char* kFile = "core/operation/source/vek_opconstengine_templ.h";

 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  bool process_line(const void* source_line, void* destination_line) override;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, T constant);

 private:
  T constant_ = 0;
  uint32_t samples_ = 0;
};

template <class Op, class T>
bool VEK_OpConstEngine<Op, T>::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                        T constant) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_OpConstEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  // The depth must be T's own: a line is read as channels x width samples of T.
  if (!out_header_.palette().empty() || out_header_.bits() != sizeof(T) * 8 ||
      out_header_.data_type() != VEK_DataType::u_integer) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_OpConstEngine::initiate()", kFile, __LINE__);
    return false;
  }
  constant_ = constant;
  samples_ = uint32_t(out_header_.channels()) * out_header_.width();
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class Op, class T>
bool VEK_OpConstEngine<Op, T>::process_line(const void* source_line, void* destination_line) {
  // Byte copies: lines handed on by other engines need not be aligned for T.
  const uint8_t* in = static_cast<const uint8_t*>(source_line);
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  for (uint32_t i = 0; i < samples_; ++i, in += sizeof(T), out += sizeof(T)) {
    T sample;
    std::memcpy(&sample, in, sizeof(T));
    sample = T(sample & constant_);
    std::memcpy(out, &sample, sizeof(T));
  }
  return true;
}
