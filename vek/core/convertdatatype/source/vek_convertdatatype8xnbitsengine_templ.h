#pragma once
// The engine behind VEK_ConvertDataType8xNbits, one instance per (source, output) sample type.

#include <cmath>
#include <cstdint>
#include <limits>

#include "vek_clampround.h"
#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_sampletype.h"

// One line of one form: 0 adds the intercept only, 1 applies the slope only, 2 both. The
// count, bounds and pointers come in as values, so that the loop vectorises; with AVX2 the
// same double arithmetic runs four samples at a time, bit for bit as the plain clone does
// (no contraction, no FMA). Sanitised builds keep one clone: their runtime is not up yet
// when the clone resolver runs.
template <int Form, class S, class D>
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__)
__attribute__((target_clones("avx2", "default")))
#endif
void vek_convert_line(const S* __restrict in, D* __restrict out, uint32_t n, double slope, double intercept, D high,
                      D low) {
  for (uint32_t i = 0; i < n; ++i) {
    const double s = static_cast<double>(in[i]);
    const double v = Form == 0 ? s + intercept : Form == 1 ? s * slope : s * slope + intercept;
    out[i] = clamp_round<D>(v, high, low);
  }
}

template <class S, class D>
class VEK_ConvertDataType8xNbitsEngine : public VEK_ProcessLineToLineEngine {
 public:
  using VEK_ProcessLineToLineEngine::VEK_ProcessLineToLineEngine;
  using VEK_ProcessLineToLineEngine::initiate;

  bool process_line(const void* source_line, void* destination_line) override;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_DataType* data_type, uint16_t bits, double slope, double intercept);

 private:
  double slope_ = 0.0;
  double intercept_ = 0.0;
  uint32_t samples_ = 0;
  D high_ = D(0);
  D low_ = D(0);
};

template <class S, class D>
bool VEK_ConvertDataType8xNbitsEngine<S, D>::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                                      VEK_DstBuffer* destination, const VEK_DataType* data_type,
                                                      uint16_t bits, double slope, double intercept) {
  constexpr const char* kMethod = "VEK_ConvertDataType8xNbitsEngine::initiate()";
  constexpr const char* kFile = "core/convertdatatype/source/vek_convertdatatype8xnbitsengine_templ.h";
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kMethod, kFile, 93);
    return false;
  }
  if (!VEK_ProcessLineToLineEngine::initiate(header, source, destination)) return false;
  if (!header->palette().empty() || header->bits() != vek_sample_bits<S>) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 103);
    return false;
  }
  // A missing or mismatched data type would label the output with something it is not.
  if (bits != vek_sample_bits<D> || data_type == nullptr || !data_type->is_valid_bits(bits)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, 110);
    return false;
  }
  slope_ = slope;
  intercept_ = intercept;
  samples_ = uint32_t(header->channels()) * header->width();
  high_ = std::numeric_limits<D>::max();
  low_ = std::numeric_limits<D>::lowest();
  out_header_.data_type(data_type);
  out_header_.bits(bits);
  return dst_->block_bytes(out_header_.line_bytes());
}

template <class S, class D>
bool VEK_ConvertDataType8xNbitsEngine<S, D>::process_line(const void* source_line, void* destination_line) {
  constexpr double kEpsilon = std::numeric_limits<double>::epsilon();
  const S* in = static_cast<const S*>(source_line);
  D* out = static_cast<D*>(destination_line);
  const double slope = slope_;
  const double intercept = intercept_;
  // Chosen per line, never per sample; a NaN fails both tests and takes the full form.
  if (std::fabs(slope - 1.0) <= kEpsilon)
    vek_convert_line<0>(in, out, samples_, slope, intercept, high_, low_);
  else if (std::fabs(intercept) <= kEpsilon)
    vek_convert_line<1>(in, out, samples_, slope, intercept, high_, low_);
  else
    vek_convert_line<2>(in, out, samples_, slope, intercept, high_, low_);
  return true;
}
