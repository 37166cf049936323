#pragma once
// Shifts with limits: like the unlimited shifts, but every result is clamped into the output
// range. Comparisons with high are unsigned, those with low signed.

#include <cstdint>
#include <limits>
#include <type_traits>

#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_numeric.h"
#include "vek_sampletype.h"
#include "vek_shiftdata.h"

// The fields and the checks that all 36 pairs share; a pair adds its bounds and line body.
class VEK_ShiftDataWLFields : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;

 protected:
  bool initiate_pair(bool unsigned_source, uint32_t high, int32_t low, const VEK_Header* header, VEK_SrcBuffer* source,
                     VEK_DstBuffer* destination, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                     uint8_t limit_mode);

  uint16_t amount_ = 0;
  uint32_t mode_ = 0;
  uint32_t positive_addend_ = 0;
  int32_t negative_addend_ = 0;
  uint32_t high_ = 0;
  int32_t low_ = 0;
  uint32_t overflow_mask_ = 0x80000000u;
  uint32_t samples_ = 0;
};

template <class S, class D>
class VEK_ShiftDataWLEngine : public VEK_ShiftDataWLFields {
 public:
  using VEK_ShiftDataWLFields::initiate;
  using VEK_ShiftDataWLFields::VEK_ShiftDataWLFields;

  bool process_line(const void* source_line, void* destination_line) override;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_DataType* data_type, uint16_t bits, int16_t shift_count, uint8_t limit_mode) {
    return initiate_pair(std::is_unsigned_v<S>, uint32_t(std::numeric_limits<D>::max()),
                         int32_t(std::numeric_limits<D>::min()), header, source, destination, data_type, bits,
                         shift_count, limit_mode);
  }
};

[[gnu::noinline]] inline bool VEK_ShiftDataWLFields::initiate_pair(bool unsigned_source, uint32_t high, int32_t low,
                                                                   const VEK_Header* header, VEK_SrcBuffer* source,
                                                                   VEK_DstBuffer* destination,
                                                                   const VEK_DataType* data_type, uint16_t bits,
                                                                   int16_t shift_count, uint8_t limit_mode) {
  constexpr const char* kMethod = "VEK_ShiftDataWLEngine::initiate()";
  constexpr const char* kFile = "core/shiftdata/source/vek_shiftdatawlengine.h";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kMethod, kFile, 379);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (!is_shiftable_source(header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 389);
    return false;
  }
  if (bits != 8 && bits != 16 && bits != 32) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 397);
    return false;
  }
  if (data_type != VEK_DataType::u_integer && data_type != VEK_DataType::s_integer) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 404);
    return false;
  }
  if (shift_count < -31 || shift_count > 31) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, 411);
    return false;
  }
  // The limit mode follows the source's signedness (see needs_limit): each source type's line
  // body holds only the modes that can reach it.
  if (unsigned_source)
    limit_mode = 0;
  else if (limit_mode == 0)
    limit_mode = data_type == VEK_DataType::u_integer ? 1 : 2;
  amount_ = uint16_t(shift_count < 0 ? -shift_count : shift_count);
  high_ = high;
  low_ = low;
  samples_ = uint32_t(header->channels()) * header->width();
  if (shift_count < 0) {
    mode_ = limit_mode + 6u;
    positive_addend_ = power(2, amount_ - 1u);
    negative_addend_ = int32_t(positive_addend_) - 1;
  } else if (shift_count > 0) {
    mode_ = limit_mode + 3u;
    // Top a bits for an unsigned output, top a + 1 for a signed one: the bits that must
    // equal the sign for the shifted value to fit.
    const uint32_t spread = data_type == VEK_DataType::u_integer ? amount_ - 1u : amount_;
    overflow_mask_ = uint32_t(int32_t(0x80000000u) >> spread);
  } else {
    mode_ = limit_mode;
  }
  out_header_.data_type(data_type);
  out_header_.bits(bits);
  return dst_->block_bytes(out_header_.line_bytes());
}

// What one line needs, copied out of the engine.
struct VEK_ShiftLimits {
  uint32_t mode;
  uint32_t amount;
  uint32_t positive_addend;
  uint32_t negative_addend;
  uint32_t high;
  int32_t low;
  uint32_t overflow_mask;
};

// Outputs of one width share one body per source type, since high and low come in as values:
// W is the unsigned type of the output's width, and every result lies between low and high.
template <class S, class W>
[[gnu::noinline]] void vek_shift_wl_line(const S* __restrict in, W* __restrict out, uint32_t n,
                                         const VEK_ShiftLimits& limits) {
  // Everything the loops need in locals, and each result picked by selects rather than
  // branches: which samples clamp is data-dependent, and the loops vectorise this way.
  const uint32_t a = limits.amount;
  const uint32_t b = a == 0 ? 0 : a - 1;
  const uint32_t high = limits.high;
  const int32_t low = limits.low;
  const uint32_t mask = limits.overflow_mask;
  const uint32_t up = limits.positive_addend;
  const uint32_t down = limits.negative_addend;
  // The sample as a 32-bit value: zero-extended for unsigned S, sign-extended for signed S.
  auto sample = [](S s) { return static_cast<int32_t>(s); };
  auto usample = [](S s) { return static_cast<uint32_t>(static_cast<int32_t>(s)); };
  auto cap = [high](uint32_t t) { return t >= high ? high : t; };
  auto floor_at_low = [low](int32_t t) { return uint32_t(t <= low ? low : t); };
  auto left = [=](uint32_t v) { return (v & mask) != 0 ? high : cap(v << a); };
  auto right_positive = [=](uint32_t v) { return cap((v + up) >> a); };
  // v + addend for a non-positive v, in unsigned arithmetic: the unused lanes may wrap.
  auto right_negative = [=](int32_t v) { return floor_at_low(int32_t(uint32_t(v) + down) >> a); };
  // Unsigned sources come with limit mode 0 only, signed ones with 1 or 2.
  if constexpr (std::is_unsigned_v<S>) {
    switch (limits.mode) {
      case 0:
        for (uint32_t i = 0; i < n; ++i) out[i] = W(cap(usample(in[i])));
        break;
      case 3:
        for (uint32_t i = 0; i < n; ++i) out[i] = W(left(usample(in[i])));
        break;
      case 6:
        for (uint32_t i = 0; i < n; ++i) {
          const uint32_t v = usample(in[i]);
          out[i] = W(cap((v >> a) + ((v >> b) & 1u)));
        }
        break;
      default:
        break;
    }
  } else {
    switch (limits.mode) {
      case 1:
        for (uint32_t i = 0; i < n; ++i) {
          const int32_t v = sample(in[i]);
          out[i] = W(v <= 0 ? 0u : cap(uint32_t(v)));
        }
        break;
      case 2:
        for (uint32_t i = 0; i < n; ++i) {
          const int32_t v = sample(in[i]);
          out[i] = W(v <= 0 ? floor_at_low(v) : cap(uint32_t(v)));
        }
        break;
      case 4:
        for (uint32_t i = 0; i < n; ++i) {
          const int32_t v = sample(in[i]);
          out[i] = W(v <= 0 ? 0u : left(uint32_t(v)));
        }
        break;
      case 5:
        for (uint32_t i = 0; i < n; ++i) {
          const int32_t v = sample(in[i]);
          const uint32_t negative =
              (uint32_t(v) & mask) != mask ? uint32_t(low) : floor_at_low(int32_t(uint32_t(v) << a));
          out[i] = W(v >= 0 ? left(uint32_t(v)) : negative);
        }
        break;
      case 7:
        for (uint32_t i = 0; i < n; ++i) {
          const int32_t v = sample(in[i]);
          out[i] = W(v <= 0 ? 0u : right_positive(uint32_t(v)));
        }
        break;
      case 8:
        for (uint32_t i = 0; i < n; ++i) {
          const int32_t v = sample(in[i]);
          out[i] = W(v > 0 ? right_positive(uint32_t(v)) : right_negative(v));
        }
        break;
      default:
        break;
    }
  }
}

template <class S, class D>
bool VEK_ShiftDataWLEngine<S, D>::process_line(const void* source_line, void* destination_line) {
  using W = std::make_unsigned_t<D>;
  const VEK_ShiftLimits limits{mode_, amount_, positive_addend_, uint32_t(negative_addend_),
                               high_, low_,    overflow_mask_};
  vek_shift_wl_line<S, W>(static_cast<const S*>(source_line), static_cast<W*>(destination_line), samples_, limits);
  return true;
}
