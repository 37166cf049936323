#include "vek_engine.h"

bool VEK_AnalyzeEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source) {
  return is_success() && VEK_BufferInputEngine::initiate(header, source);
}

bool VEK_AnalyzeEngine::terminate() {
  const bool input = VEK_BufferInputEngine::terminate(created_);
  return VEK_NoOutputEngine::terminate() && input;
}
