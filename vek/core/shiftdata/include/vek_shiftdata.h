#pragma once
// Power-of-two mappings of integer samples: out = in x 2^shift count, by shifting. The
// unlimited family cuts results to the output width; the limited one clamps them.

#include <cstdint>

#include "vek_engine.h"

// An integer image of 8, 16 or 32 bits without a palette.
bool is_shiftable_source(const VEK_Header* header);

// Whether shifting may leave the output range; limit_mode gets 0 for an unsigned source,
// 1 for a signed source and an unsigned output, 2 for signed to signed.
bool needs_limit(const VEK_Header* header, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                 uint8_t& limit_mode);

class VEK_ShiftData : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // Positive counts shift left, negative ones right with rounding.
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                     bool with_limit);
};

class VEK_ShiftDataNL : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The source itself when nothing changes.
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count);

 private:
  friend class VEK_ShiftDataWL;  // falls back to the unlimited engines
  // engine() past its checks: the unlimited engine for source's sample type.
  VEK_Engine* create(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count);
  using Target = VEK_Engine* (VEK_ShiftDataNL::*)(VEK_Engine*, const VEK_DataType*, uint16_t, int16_t);
  template <class S>
  struct SourcePick;
  template <class S>
  struct TargetPick;

  template <class S>
  VEK_Engine* dispatch_target(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count);
  template <class S, class D>
  VEK_Engine* create_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count);
};

class VEK_ShiftDataWL : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  // The source itself when nothing changes; an unlimited engine when no result can overflow.
  VEK_Engine* engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count);

 private:
  using Target = VEK_Engine* (VEK_ShiftDataWL::*)(VEK_Engine*, const VEK_DataType*, uint16_t, int16_t, uint8_t);
  template <class S>
  struct SourcePick;
  template <class S>
  struct TargetPick;

  // Unlimited when needs_limit says no result can leave the output range, else limited.
  template <class S>
  VEK_Engine* dispatch_target(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                              uint8_t limit_mode);
  template <class S, class D>
  VEK_Engine* create_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                            uint8_t limit_mode);
};
