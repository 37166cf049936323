#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/engine/source/vek_bufferinputengine.cpp";
}

bool VEK_BufferInputEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source) {
  if (header == nullptr || source == nullptr) {
    vek_report(in_manager_, VEK_ERROR_ARGUMENT, "VEK_BufferInputEngine::initiate()", kFile, 52);
    return false;
  }
  if (!header->is_valid()) {
    vek_report(in_manager_, VEK_ERROR_ARGUMENT, "VEK_BufferInputEngine::initiate()", kFile, 58);
    return false;
  }
  src_ = source;
  return true;
}

bool VEK_BufferInputEngine::terminate(bool created) {
  if (!created || src_ == nullptr) return true;
  return src_->destroy();
}
