#pragma once
// Shifts without limits: copy, shift left, or shift right rounding halves away from zero;
// results that do not fit the output are cut to its width.

#include <cstdint>
#include <type_traits>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_sampletype.h"
#include "vek_shiftdata.h"

// The fields and the typed initiate, the same for all 36 pairs; a pair adds its line body.
class VEK_ShiftDataNLFields : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;

  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_DataType* data_type, uint16_t bits, int16_t shift_count);

 protected:
  uint16_t amount_ = 0;
  bool left_ = true;
  int32_t negative_addend_ = 0;
  uint32_t samples_ = 0;
};

template <class S, class D>
class VEK_ShiftDataNLEngine : public VEK_ShiftDataNLFields {
 public:
  using VEK_ShiftDataNLFields::initiate;
  using VEK_ShiftDataNLFields::VEK_ShiftDataNLFields;

  bool process_line(const void* source_line, void* destination_line) override;
};

inline bool VEK_ShiftDataNLFields::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            const VEK_DataType* data_type, uint16_t bits, int16_t shift_count) {
  constexpr const char* kMethod = "VEK_ShiftDataNLEngine::initiate()";
  constexpr const char* kFile = "core/shiftdata/source/vek_shiftdatanlengine.h";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kMethod, kFile, 174);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (!is_shiftable_source(header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 184);
    return false;
  }
  if (bits != 8 && bits != 16 && bits != 32) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 192);
    return false;
  }
  if (data_type != VEK_DataType::u_integer && data_type != VEK_DataType::s_integer) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 199);
    return false;
  }
  if (shift_count < -31 || shift_count > 31) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, 206);
    return false;
  }
  amount_ = uint16_t(shift_count < 0 ? -shift_count : shift_count);
  samples_ = uint32_t(header->channels()) * header->width();
  if (shift_count < 0) {
    left_ = false;
    negative_addend_ = int32_t(power(2, amount_ - 1u)) - 1;
  }
  out_header_.data_type(data_type);
  out_header_.bits(bits);
  return dst_->block_bytes(out_header_.line_bytes());
}

// Outputs of one width write the same bytes, so they share one body per source type: W is
// the unsigned type of the output's width.
template <class S, class W>
[[gnu::noinline]] void vek_shift_nl_line(const S* __restrict in, W* __restrict out, uint32_t n, uint32_t a, bool left,
                                         uint32_t negative_addend) {
  // Samples are taken as 32-bit values, zero- or sign-extended; results keep their low bits.
  if (a == 0) {
    for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<W>(in[i]);
  } else if (left) {
    for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<W>(static_cast<uint32_t>(int32_t(in[i])) << a);
  } else if constexpr (std::is_unsigned_v<S>) {
    // Rounding by bit a - 1, added after the shift so that nothing needs more than 32 bits.
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t v = in[i];
      out[i] = static_cast<W>((v >> a) + ((v >> (a - 1)) & 1u));
    }
  } else {
    for (uint32_t i = 0; i < n; ++i) {
      const int32_t v = in[i];
      const int32_t positive = (v >> a) + ((v >> (a - 1)) & 1);
      // Unsigned addition: the lane of a positive sample may wrap, and is not used.
      const int32_t negative = int32_t(uint32_t(v) + negative_addend) >> a;
      out[i] = static_cast<W>(v >= 0 ? positive : negative);
    }
  }
}

template <class S, class D>
bool VEK_ShiftDataNLEngine<S, D>::process_line(const void* source_line, void* destination_line) {
  using W = std::make_unsigned_t<D>;
  vek_shift_nl_line<S, W>(static_cast<const S*>(source_line), static_cast<W*>(destination_line), samples_, amount_,
                          left_, uint32_t(negative_addend_));
  return true;
}

// The creator's per-type layers live here: the limited creator falls back to them.
template <class S>
struct VEK_ShiftDataNL::SourcePick {
  static constexpr Target get() { return &VEK_ShiftDataNL::dispatch_target<S>; }
};

template <class S>
struct VEK_ShiftDataNL::TargetPick {
  template <class D>
  struct Of {
    static constexpr Target get() { return &VEK_ShiftDataNL::create_engine<S, D>; }
  };
};

template <class S>
VEK_Engine* VEK_ShiftDataNL::dispatch_target(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                             int16_t shift_count) {
  static constexpr auto targets = vek_dispatch_table<TargetPick<S>::template Of>(VEK_IntegerSampleTypes{});
  return (this->*targets[vek_integer_sample_index(data_type, bits)])(source, data_type, bits, shift_count);
}

template <class S, class D>
VEK_Engine* VEK_ShiftDataNL::create_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                           int16_t shift_count) {
  return VEK_EngineCreator::create_engine<VEK_ShiftDataNLEngine<S, D>>(source, data_type, bits, shift_count);
}
