#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/engine/source/vek_nooutputengine.cpp";
}

const VEK_Header* VEK_NoOutputEngine::header() {
  vek_report(manager_, VEK_ERROR_STATE, "VEK_NoOutputEngine::header()", kFile, 32);
  return nullptr;
}

VEK_SrcBuffer* VEK_NoOutputEngine::src_buffer() {
  vek_report(manager_, VEK_ERROR_STATE, "VEK_NoOutputEngine::src_buffer()", kFile, 43);
  return nullptr;
}

VEK_Vector<VEK_Engine*> VEK_NoOutputEngine::branch(uint32_t) {
  vek_report(manager_, VEK_ERROR_STATE, "VEK_NoOutputEngine::branch()", kFile, 55);
  return VEK_Vector<VEK_Engine*>(manager_);
}
