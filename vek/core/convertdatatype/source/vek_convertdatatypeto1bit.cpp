#include "vek_convertdatatypeto1bitengine_templ.h"

VEK_Engine* VEK_ConvertDataTypeTo1bit::engine(VEK_Engine* source, const VEK_DataType* data_type, double slope,
                                              double intercept) {
  if (!check_source(source, "VEK_ConvertDataTypeTo1bit::engine()",
                    "core/convertdatatype/source/vek_convertdatatypeto1bit.cpp", 57))
    return nullptr;
  const VEK_Header* h = source->header();
  return vek_visit_sample(vek_sample_index(h->data_type(), h->bits()), [&](auto tag) {
    return create_engine<VEK_ConvertDataTypeTo1bitEngine<decltype(tag)>>(source, data_type, slope, intercept);
  });
}
