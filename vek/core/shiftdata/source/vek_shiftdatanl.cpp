#include "vek_errorhandler.h"
#include "vek_sampletype.h"
#include "vek_shiftdata.h"
#include "vek_shiftdatanlengine.h"

VEK_Engine* VEK_ShiftDataNL::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                    int16_t shift_count) {
  if (!check_source(source, "VEK_ShiftDataNL::engine()", "core/shiftdata/source/vek_shiftdatanl.cpp", 53))
    return nullptr;
  const VEK_Header* header = source->header();
  if (data_type == header->data_type() && bits == header->bits() && shift_count == 0) return source;
  return create(source, data_type, bits, shift_count);
}

VEK_Engine* VEK_ShiftDataNL::create(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                    int16_t shift_count) {
  static constexpr auto sources = vek_dispatch_table<SourcePick>(VEK_IntegerSampleTypes{});
  const VEK_Header* header = source->header();
  return (this->*sources[vek_integer_sample_index(header->data_type(), header->bits())])(source, data_type, bits,
                                                                                         shift_count);
}
