#include "vek_convertdatatypefrom1bitengine_templ.h"

VEK_Engine* VEK_ConvertDataTypeFrom1bit::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                                double slope, double intercept) {
  if (!check_source(source, "VEK_ConvertDataTypeFrom1bit::engine()",
                    "core/convertdatatype/source/vek_convertdatatypefrom1bit.cpp", 58))
    return nullptr;
  return vek_visit_sample(vek_sample_index(data_type, bits), [&](auto tag) {
    return create_engine<VEK_ConvertDataTypeFrom1bitEngine<decltype(tag)>>(source, data_type, bits, slope, intercept);
  });
}
