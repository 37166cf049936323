#include "vek_notqkrleengine.h"

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/operation/source/vek_notqkrleengine.cpp";
}

bool VEK_NotQKRLEEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_NotQKRLEEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  const uint64_t block = max_line_bytes(out_header_.width());
  if (out_header_.encode_type() != VEK_EncodeType_qk_rle::instance() || out_header_.bits() != 1 ||
      out_header_.channels() != 1 || block > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_NotQKRLEEngine::initiate()", kFile, __LINE__);
    return false;
  }
  last_column_ = out_header_.width() - 1;  // the base has refused width 0
  buffer_ = VEK_QKRLEBuffer::create(manager_, src_, &out_header_);
  return buffer_ != nullptr && dst_->block_bytes(uint32_t(block));
}

bool VEK_NotQKRLEEngine::terminate() {
  VEK_QKRLEBuffer* buffer = buffer_;
  buffer_ = nullptr;
  const bool ended = vek_destroy(buffer);
  return VEK_ProcessEngine::terminate() && ended;
}

// The gaps between the runs, which the run buffer has checked to be ordered and apart.
bool VEK_NotQKRLEEngine::execute() {
  if (buffer_ == nullptr || line_ >= buffer_->line_count()) return false;
  VEK_QKRLERunArray run = buffer_->runarray(line_);
  // Empty arrays from a failed load would turn every line into one full run.
  if (buffer_->regist_failed()) return false;
  out_.clear();
  uint64_t next = 0;  // the first column not yet written or covered
  for (; run.position() < run.count(); ++run) {
    if (run->first > next && !out_.add_run(uint32_t(next), run->first - 1)) return false;
    next = uint64_t(run->second) + 1;
  }
  if (next <= last_column_ && !out_.add_run(uint32_t(next), last_column_)) return false;
  ++line_;
  return out_.put_runs(dst_);
}
