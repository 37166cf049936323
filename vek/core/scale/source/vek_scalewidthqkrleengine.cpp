#include <cmath>

#include "vek_errorhandler.h"
#include "vek_scaleqkrleengine.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scalewidthqkrleengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleWidthQKRLEEngine::initiate()";

// round(x) = trunc(x + 0.5), as a column: never past limit.
uint32_t column(double x, uint32_t limit) {
  const double r = std::trunc(x + 0.5);
  return r >= double(limit) ? limit : uint32_t(r);
}
}  // namespace

bool VEK_ScaleWidthQKRLEEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                         uint32_t width) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination) || !start(header, width, header->width(), kInitiate))
    return false;
  ratio_ = double(width) / double(header->width());
  width_ = width;
  line_count_ = header->height();
  out_header_.width(width);
  return true;
}

// Each run (s, e) covers the output columns [round(s r), round((e + 1) r)), cut at the output
// width. Spans that touch or overlap after shrinking are merged; empty ones vanish.
bool VEK_ScaleWidthNNQKRLEEngine::execute() {
  if (buffer_ == nullptr || next_line_ >= line_count_) return false;
  VEK_QKRLERunArray run = buffer_->runarray(next_line_);
  // Empty arrays from a failed load are not the image.
  if (buffer_->regist_failed()) return false;
  out_.clear();
  bool pending = false;
  uint32_t ps = 0, pe = 0;
  for (; run.position() < run.count(); ++run) {
    const uint32_t a = column(run->first * ratio_, width_);
    const uint32_t b = column((double(run->second) + 1) * ratio_, width_);
    if (a >= b) continue;
    if (pending && pe >= a) {
      if (b > pe) pe = b;
      continue;
    }
    if (pending && !out_.add_run(ps, pe - 1)) return false;
    pending = true;
    ps = a;
    pe = b;
  }
  if (pending && !out_.add_run(ps, pe - 1)) return false;
  ++next_line_;
  return out_.put_runs(dst_);
}
