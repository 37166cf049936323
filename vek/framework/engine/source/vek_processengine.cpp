#include "vek_engine.h"

bool VEK_ProcessEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) {
  return VEK_BufferOutputEngine::initiate(header, destination) && VEK_BufferInputEngine::initiate(header, source);
}

bool VEK_ProcessEngine::terminate() {
  const bool input = VEK_BufferInputEngine::terminate(created_);
  const bool output = VEK_BufferOutputEngine::terminate();
  return input && output;
}
