#include "vek_errorhandler.h"
#include "vek_sampletype.h"
#include "vek_shiftdata.h"
#include "vek_shiftdatawlengine.h"

template <class S>
struct VEK_ShiftDataWL::SourcePick {
  static constexpr Target get() { return &VEK_ShiftDataWL::dispatch_target<S>; }
};

template <class S>
struct VEK_ShiftDataWL::TargetPick {
  template <class D>
  struct Of {
    static constexpr Target get() { return &VEK_ShiftDataWL::create_engine<S, D>; }
  };
};

bool needs_limit(const VEK_Header* header, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                 uint8_t& limit_mode) {
  const int16_t d = int16_t(bits - header->bits());
  int16_t adjustment = 0;
  if (header->data_type() == VEK_DataType::u_integer) {
    limit_mode = 0;
    adjustment = data_type == VEK_DataType::u_integer ? 0 : -1;
  } else if (data_type == VEK_DataType::u_integer) {
    limit_mode = 1;  // negative samples must become 0
    return true;
  } else {
    limit_mode = 2;
  }
  if (d <= 0) --adjustment;
  return shift_count > d + adjustment;
}

VEK_Engine* VEK_ShiftDataWL::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                    int16_t shift_count) {
  if (!check_source(source, "VEK_ShiftDataWL::engine()", "core/shiftdata/source/vek_shiftdatawl.cpp", 54))
    return nullptr;
  const VEK_Header* header = source->header();
  if (data_type == header->data_type() && bits == header->bits() && shift_count == 0) return source;
  static constexpr auto sources = vek_dispatch_table<SourcePick>(VEK_IntegerSampleTypes{});
  uint8_t limit_mode = 0;
  return (this->*sources[vek_integer_sample_index(header->data_type(), header->bits())])(source, data_type, bits,
                                                                                         shift_count, limit_mode);
}

template <class S>
VEK_Engine* VEK_ShiftDataWL::dispatch_target(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                             int16_t shift_count, uint8_t limit_mode) {
  if (!needs_limit(source->header(), data_type, bits, shift_count, limit_mode)) {
    VEK_ShiftDataNL unlimited(manager_);
    return unlimited.create(source, data_type, bits, shift_count);
  }
  static constexpr auto targets = vek_dispatch_table<TargetPick<S>::template Of>(VEK_IntegerSampleTypes{});
  return (this->*targets[vek_integer_sample_index(data_type, bits)])(source, data_type, bits, shift_count, limit_mode);
}

template <class S, class D>
VEK_Engine* VEK_ShiftDataWL::create_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                           int16_t shift_count, uint8_t limit_mode) {
  return VEK_EngineCreator::create_engine<VEK_ShiftDataWLEngine<S, D>>(source, data_type, bits, shift_count,
                                                                       limit_mode);
}
