#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_GenerateEngine::initiate(const VEK_Header* header, VEK_DstBuffer* destination) {
  if (!VEK_BufferOutputEngine::initiate(header, destination)) return false;
  if (!header->is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_GenerateEngine::initiate()",
               "framework/engine/source/vek_generateengine.cpp", 48);
    return false;
  }
  return true;
}
