#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/engine/source/vek_analyzelineengine.cpp";
}

bool VEK_AnalyzeLineEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source) {
  if (!VEK_AnalyzeEngine::initiate(header, source)) return false;
  line_count_ = header->height();
  if (!VEK_EncodeType::is_raw(header->encode_type())) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_AnalyzeLineEngine::initiate()", kFile, 51);
    return false;
  }
  return src_->block_bytes(header->line_bytes());
}

bool VEK_AnalyzeLineEngine::execute() {
  if (line_ >= line_count_) return false;
  const void* line = src_->get(nullptr);
  if (line == nullptr) return false;
  const bool analyzed = analyze_line(line);
  const bool released = src_->release();
  ++line_;
  return analyzed && released;
}
