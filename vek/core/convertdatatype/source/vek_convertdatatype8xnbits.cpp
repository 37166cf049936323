#include "vek_convertdatatype8xnbits.h"

#include "vek_convertdatatype8xnbitsengine_templ.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/convertdatatype/source/vek_convertdatatype8xnbits.cpp";
}

template <class S>
struct VEK_ConvertDataType8xNbits::SourcePick {
  static constexpr Target get() { return &VEK_ConvertDataType8xNbits::dispatch_target<S>; }
};

template <class S>
struct VEK_ConvertDataType8xNbits::TargetPick {
  template <class D>
  struct Of {
    static constexpr Target get() { return &VEK_ConvertDataType8xNbits::create_engine<S, D>; }
  };
};

VEK_Engine* VEK_ConvertDataType8xNbits::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                               double slope, double intercept) {
  if (!check_source(source, "VEK_ConvertDataType8xNbits::engine()", kFile, 58)) return nullptr;
  static constexpr auto sources = vek_dispatch_table<SourcePick>(VEK_SampleTypes{});
  const VEK_Header* header = source->header();
  return (this->*sources[vek_sample_index(header->data_type(), header->bits())])(source, data_type, bits, slope,
                                                                                 intercept);
}

template <class S>
VEK_Engine* VEK_ConvertDataType8xNbits::dispatch_target(VEK_Engine* source, const VEK_DataType* data_type,
                                                        uint16_t bits, double slope, double intercept) {
  static constexpr auto targets = vek_dispatch_table<TargetPick<S>::template Of>(VEK_SampleTypes{});
  return (this->*targets[vek_sample_index(data_type, bits)])(source, data_type, bits, slope, intercept);
}

template <class S, class D>
VEK_Engine* VEK_ConvertDataType8xNbits::create_engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits,
                                                      double slope, double intercept) {
  return VEK_EngineCreator::create_engine<VEK_ConvertDataType8xNbitsEngine<S, D>>(source, data_type, bits, slope,
                                                                                  intercept);
}
