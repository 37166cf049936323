#pragma once
// Linear-interpolation scaling with 12-bit fixed-point weights. VEK_ScaleLIFastBy is the entry of
// every paint at zoom 1 and above; VEK_ScaleLIBy picks subsampling (odd whole shrinks), the
// one-pass bilinear shrink (other shrinks in both directions) or a height and a width pass, the
// height pass first exactly when the height shrinks.

#include <cstdint>

#include "vek_fixedreal.h"
#include "vek_scale.h"

template <class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleLIFastBy : public VEK_Scale {
 public:
  using VEK_Scale::VEK_Scale;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) override;
};

template <class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleLIBy : public VEK_Scale {
 public:
  using VEK_Scale::VEK_Scale;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) override;
};

// Width and height both below the source's (or both unchanged, which gives the source back).
template <class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleShrinkLIBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height);
};

template <class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleHeightLIBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};

template <class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleWidthLIBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};

// Linear-interpolation enlargement of a 16-bit grey image straight to 8 bits: the same bytes
// as VEK_ScaleLIBy followed by out = clamp_round(v x slope + intercept), complemented (255 - out)
// when asked, where v is an interpolated sample and, for a signed source, interpolation and map
// both work on the offset form sample + 32768. Neither the offset nor the map makes a pass of its
// own. Takes the sources and sizes that accepts() allows and refuses the rest.
template <class F = VEK_FixedRealImpl<int, 12>>
class VEK_ScaleLIMapBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // color_type may be null; when given, the output is labelled with it.
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height, double slope, double intercept,
                     bool complement, const VEK_ColorType* color_type);
  // Raw one-channel 16-bit integers without a palette, neither dimension shrinking.
  static bool accepts(const VEK_Header& h, uint32_t width, uint32_t height);
};

extern template class VEK_ScaleLIFastBy<VEK_FixedRealImpl<int, 12>>;
extern template class VEK_ScaleLIBy<VEK_FixedRealImpl<int, 12>>;
extern template class VEK_ScaleShrinkLIBy<VEK_FixedRealImpl<int, 12>>;
extern template class VEK_ScaleHeightLIBy<VEK_FixedRealImpl<int, 12>>;
extern template class VEK_ScaleWidthLIBy<VEK_FixedRealImpl<int, 12>>;
extern template class VEK_ScaleLIMapBy<VEK_FixedRealImpl<int, 12>>;
