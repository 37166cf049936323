#pragma once
// The engine behind VEK_ConvertDataType8xNbits, one instance per (source, output) sample type.

#include <cmath>
#include <cstdint>
#include <limits>

#include "vek_convertlines.h"
#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_sampletype.h"

// What the 64 pairs share: the checks, the fields and the per-line step. A pair only names its
// sample types, so each adds little code of its own.
class VEK_ConvertDataType8xNbitsLines : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::initiate;
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;

  bool process_line(const void* source_line, void* destination_line) override;

 protected:
  // The typed initiate for source and output sample indices (see vek_sample_index).
  bool initiate_pair(uint32_t source_index, uint32_t target_index, const VEK_Header* header, VEK_SrcBuffer* source,
                     VEK_DstBuffer* destination, const VEK_DataType* data_type, uint16_t bits, double slope,
                     double intercept);

 private:
  double slope_ = 0.0;
  double intercept_ = 0.0;
  uint32_t samples_ = 0;
  // The output type's bounds, exact as doubles.
  double high_ = 0.0;
  double low_ = 0.0;
  // The bodies of the three forms for this pair, from the set chosen for this process.
  const VEK_ConvertLine* lines_ = nullptr;
};

template <class S, class D>
class VEK_ConvertDataType8xNbitsEngine : public VEK_ConvertDataType8xNbitsLines {
 public:
  using VEK_ConvertDataType8xNbitsLines::initiate;
  using VEK_ConvertDataType8xNbitsLines::VEK_ConvertDataType8xNbitsLines;

  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_DataType* data_type, uint16_t bits, double slope, double intercept) {
    return initiate_pair(vek_sample_index_of<S>, vek_sample_index_of<D>, header, source, destination, data_type, bits,
                         slope, intercept);
  }
};

[[gnu::noinline]] inline bool VEK_ConvertDataType8xNbitsLines::initiate_pair(
    uint32_t source_index, uint32_t target_index, const VEK_Header* header, VEK_SrcBuffer* source,
    VEK_DstBuffer* destination, const VEK_DataType* data_type, uint16_t bits, double slope, double intercept) {
  constexpr const char* kMethod = "VEK_ConvertDataType8xNbitsEngine::initiate()";
  constexpr const char* kFile = "core/convertdatatype/source/vek_convertdatatype8xnbitsengine_templ.h";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kMethod, kFile, 93);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  const VEK_SampleLimits& in = vek_sample_limits(source_index);
  const VEK_SampleLimits& out = vek_sample_limits(target_index);
  if (!header->palette().empty() || header->bits() != in.bits) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 103);
    return false;
  }
  // A missing or mismatched data type would label the output with something it is not.
  if (bits != out.bits || data_type == nullptr || !data_type->is_valid_bits(bits)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 110);
    return false;
  }
  slope_ = slope;
  intercept_ = intercept;
  samples_ = uint32_t(header->channels()) * header->width();
  high_ = out.high;
  low_ = out.low;
  lines_ = vek_convert_lines(source_index, target_index);
  out_header_.data_type(data_type);
  out_header_.bits(bits);
  return dst_->block_bytes(out_header_.line_bytes());
}

inline bool VEK_ConvertDataType8xNbitsLines::process_line(const void* source_line, void* destination_line) {
  constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
  // Chosen per line, never per sample; a NaN fails both tests and takes the full form.
  const int form = std::fabs(slope_ - 1.0) <= kEpsilon ? 0 : std::fabs(intercept_) <= kEpsilon ? 1 : 2;
  lines_[form](source_line, destination_line, samples_, slope_, intercept_, high_, low_);
  return true;
}
