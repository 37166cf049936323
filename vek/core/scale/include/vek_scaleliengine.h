#pragma once
// Linear-interpolation engines with 12-bit fixed-point weights: a width pass, a height pass over
// a three-line window, and a one-pass bilinear shrink. S is unsigned char, unsigned short,
// signed char or short; results are stored without clamping.

#include <cstdint>

#include "vek_fixedreal.h"
#include "vek_readengine.h"
#include "vek_scaleengine.h"

template <class S, class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleWidthLIEngine : public VEK_ScaleWidthEngine {
 public:
  using VEK_ScaleWidthEngine::initiate;
  using VEK_ScaleWidthEngine::VEK_ScaleWidthEngine;
  ~VEK_ScaleWidthLIEngine() override { free_tables(); }
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width) override;
  // With offset set, a signed 16-bit source is read in its offset form, sample + 32768, and
  // the output is unsigned: the shift that lets signed samples interpolate without wrapping,
  // made while each line is taken instead of in a pass of its own.
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width,
                bool offset);
  bool execute() override;
  bool terminate() override;

 private:
  void free_tables();
  bool finish_line();

  bool offset_ = false;

  S* line_ = nullptr;            // margin pixel, source line, margin pixel
  uint32_t* offsets_ = nullptr;  // buffer sample of the left neighbour, per output pixel
  uint16_t* weights_ = nullptr;  // Q12 weight of the right neighbour, 0 to 4095
  S* pairs_ = nullptr;           // one channel: the left and then the right neighbours, gathered first
  void* shuffles_ = nullptr;     // AVX2 tables: the loads, byte shuffles and weights that fetch them
  uint32_t shuffled_ = 0;        // leading output samples the AVX2 tables serve
  bool avx2_ = false;
};

template <class S, class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleHeightLIEngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::initiate;
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;
  ~VEK_ScaleHeightLIEngine() override { free_ring(); }
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height) override;
  bool execute() override;
  bool terminate() override;

 private:
  void free_ring();

  VEK_RingBuffer* ring_ = nullptr;
  uint32_t samples_ = 0;  // channels x width
  bool avx2_ = false;
};

// The height pass of unsigned 16-bit samples whose results go straight to 8 bits:
// out = clamp_round(v x slope + intercept) in 0..255, complemented (255 - out) when asked. The
// same bytes as the height pass followed by that map, without the 16-bit image between them.
class VEK_ScaleHeightLIMapEngine : public VEK_ScaleHeightEngine {
 public:
  using VEK_ScaleHeightEngine::initiate;
  using VEK_ScaleHeightEngine::VEK_ScaleHeightEngine;
  ~VEK_ScaleHeightLIMapEngine() override { free_all(); }
  // color_type may be null; when given, the output is labelled with it.
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t height,
                double slope, double intercept, bool complement, const VEK_ColorType* color_type);
  bool execute() override;
  bool terminate() override;

 private:
  void free_all();
  bool make_map(double slope, double intercept, bool complement);

  VEK_RingBuffer* ring_ = nullptr;
  uint32_t samples_ = 0;
  uint32_t out_bytes_ = 0;
  bool avx2_ = false;
  // The map as ((clamp(v, low, high) - low) x mul + add) >> 20, xor flip, when that form gives
  // every entry of the table; otherwise the table itself, read through blended_.
  uint8_t* table_ = nullptr;
  uint16_t* blended_ = nullptr;
  bool linear_ = false;
  int32_t low_ = 0, high_ = 0, mul_ = 0, add_ = 0;
  uint8_t flip_ = 0;
};

// Both dimensions shrink: every output sample from the four source samples around its position,
// or the mean of a 2 x 2 block when both ratios are even whole numbers.
template <class S, class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleShrinkLIEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  ~VEK_ScaleShrinkLIEngine() override { free_tables(); }
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t width,
                        uint32_t height);
  bool execute() override;
  bool terminate() override;

 private:
  void free_tables();
  bool take(const S** line);

  uint32_t* x_offsets_ = nullptr;
  int32_t* x_weights_ = nullptr;
  uint32_t src_height_ = 0;
  uint32_t height_ = 0;
  uint32_t width_ = 0;
  uint32_t channels_ = 0;
  uint32_t line_bytes_ = 0;
  double y_ = 0;
  double y_step_ = 0;
  bool blocks_ = false;  // whole even ratios: 2 x 2 means
  uint32_t block_x_ = 0;
  uint32_t advanced_ = 0;
  uint32_t made_ = 0;
  const S* upper_ = nullptr;
  const S* lower_ = nullptr;
};

namespace vek_li_detail {

// A Q12 sum to a sample: unsigned sums round halves up, signed ones away from zero.
template <class S>
inline int32_t round_q12(int32_t v) {
  if constexpr (static_cast<S>(-1) > 0) {
    return (v + 2048) >> 12;
  } else {
    return v >= 0 ? (v + 2048) >> 12 : -((2048 - v) >> 12);
  }
}

// a weighted 4096 - w against b weighted w, as a Q12 sum, written as widening 16-bit multiplies,
// which SSE2 vectorises well: for 8-bit samples the difference and the weight fit 16 bits.
template <class S>
inline int32_t mix_q12(S a, S b, int32_t w) {
  if constexpr (sizeof(S) == 1) {
    return int32_t(a) * 4096 + int32_t(int16_t(int32_t(b) - int32_t(a))) * int32_t(int16_t(w));
  } else {
    // Both weights in the sample's own 16-bit type (4096 fits): a widening 16-bit multiply too.
    return int32_t(a) * int32_t(S(4096 - w)) + int32_t(b) * int32_t(S(w));
  }
}

// Raw, 8 or 16-bit integer samples without a palette.
bool li_supported(const VEK_Header& h, uint32_t bits);

}  // namespace vek_li_detail
