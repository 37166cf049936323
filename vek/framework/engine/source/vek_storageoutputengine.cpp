#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_StorageOutputEngine::initiate(VEK_OutputStorage* storage) {
  if (!is_success()) return false;
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_StorageOutputEngine::initiate()",
               "framework/engine/source/vek_storageoutputengine.cpp", 48);
    return false;
  }
  storage_ = storage;
  return depend(storage);
}

bool VEK_WriteEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage) {
  return VEK_StorageOutputEngine::initiate(storage) && VEK_BufferInputEngine::initiate(header, source);
}

bool VEK_WriteEngine::terminate() {
  const bool input = VEK_BufferInputEngine::terminate(created_);
  return VEK_StorageOutputEngine::terminate() && input;
}
