#pragma once
// Weighted-area scaling creators. T is the weight type: double or VEK_FixedRealImpl<int, 12>.
// VEK_ScalePPBy picks per direction replication (size 1), enlargement, whole-factor averaging or
// the general reduction; VEK_ScalePPFastBy, the paint road's creator, sends fractional
// reductions of 8 and 16-bit images to the fast engines and the rest to VEK_ScalePPBy.
// Both passes: height first exactly when the height shrinks.

#include <cstdint>

#include "vek_engine.h"
#include "vek_fixedreal.h"
#include "vek_scale.h"

template <class T>
class VEK_ScalePPBy : public VEK_Scale {
 public:
  using VEK_Scale::VEK_Scale;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) override;
};

template <class T>
class VEK_ScaleHeightPPBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};

template <class T>
class VEK_ScaleWidthPPBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};

// Enlarging and reducing creators of one direction.
template <class T>
class VEK_ScaleHeightPPEBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};

template <class T>
class VEK_ScaleWidthPPEBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};

template <class T>
class VEK_ScaleHeightPPRBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};

template <class T>
class VEK_ScaleWidthPPRBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};

// Exists only with Q12 weights: 8-bit sources scale with Q12, wider ones with double.
template <class T>
class VEK_ScalePPFastBy;

template <>
class VEK_ScalePPFastBy<VEK_FixedRealImpl<int, 12>> : public VEK_Scale {
 public:
  using VEK_Scale::VEK_Scale;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width, uint32_t height) override;

  // Whether the processor has SSE2, asked anew on every engine() call.
  static bool has_sse2();
  // Tests stand in for the processor: 0 no SSE2, 1 SSE2, -1 ask the processor again.
  static void assume_sse2_for_testing(int state);
};

template <class T>
class VEK_ScaleHeightPPFastBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
  // A reduction to height n that is not by a whole factor, from more than one line.
  bool is_fractional_reduction(const VEK_Header* header, uint32_t n) const;
};

template <class T>
class VEK_ScaleWidthPPFastBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
  bool is_fractional_reduction(const VEK_Header* header, uint32_t n) const;
};

template <class T>
class VEK_ScaleHeightPPFastRBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t height);
};

template <class T>
class VEK_ScaleWidthPPFastRBy : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, uint32_t width);
};
