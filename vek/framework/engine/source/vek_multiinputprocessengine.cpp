#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_MultiInputProcessEngine::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                           const VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination) {
  if (headers.empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_MultiInputProcessEngine::initiate()",
               "framework/engine/source/vek_multiinputprocessengine.cpp", 49);
    return false;
  }
  return VEK_BufferOutputEngine::initiate(headers[0], destination) &&
         VEK_NBuffersInputEngine::initiate(headers, sources);
}

bool VEK_MultiInputProcessEngine::terminate() {
  const bool input = VEK_NBuffersInputEngine::terminate(created_);
  const bool output = VEK_BufferOutputEngine::terminate();
  return input && output;
}
