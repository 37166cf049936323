#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/engine/source/vek_processlinetolineengine.cpp";
}

bool VEK_ProcessLineToLineEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                           VEK_DstBuffer* destination) {
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  if (!VEK_EncodeType::is_raw(header->encode_type())) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ProcessLineToLineEngine::initiate()", kFile, 52);
    return false;
  }
  return src_->block_bytes(header->line_bytes());
}

bool VEK_ProcessLineToLineEngine::execute() {
  if (line_ >= out_header_.height()) return false;
  const void* in = src_->get(nullptr);
  if (in == nullptr) return false;
  void* out = dst_->get();
  if (out == nullptr) {
    src_->release();
    return false;
  }
  bool result = process_line(in, out);
  result = dst_->release(result ? out_header_.line_bytes() : 0) && result;
  ++line_;
  return src_->release() && result;
}
