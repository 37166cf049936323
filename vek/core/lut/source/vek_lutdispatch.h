#pragma once
// The choice of a look-up-table engine, shared by the unsigned and the signed creator:
// the source type by its depth, the output type by the table's bits and data type.

#include <cstdint>

#include "vek_engine.h"
#include "vek_lut.h"
#include "vek_sampletype.h"

template <template <class, class> class Engine, class S8, class S16>
class VEK_LutDispatch : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;

  VEK_Engine* engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type) {
    // Every depth but 8 goes to the 16-bit member, whose initiate refuses what is not 16.
    if (source->header()->bits() == 8) return dispatch_target<S8>(source, lut, color_type);
    return dispatch_target<S16>(source, lut, color_type);
  }

 private:
  using Target = VEK_Engine* (VEK_LutDispatch::*)(VEK_Engine*, const VEK_LutData*, const VEK_ColorType*);
  template <class S>
  struct TargetPick {
    template <class D>
    struct Of {
      static constexpr Target get() { return &VEK_LutDispatch::create_engine<S, D>; }
    };
  };

  template <class S>
  VEK_Engine* dispatch_target(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type) {
    static constexpr auto targets = vek_dispatch_table<TargetPick<S>::template Of>(VEK_SampleTypes{});
    return (this->*targets[vek_sample_index(lut->data_type(), lut->bits())])(source, lut, color_type);
  }

  template <class S, class D>
  VEK_Engine* create_engine(VEK_Engine* source, const VEK_LutData* lut, const VEK_ColorType* color_type) {
    return VEK_EngineCreator::create_engine<Engine<S, D>>(source, lut, color_type);
  }
};
