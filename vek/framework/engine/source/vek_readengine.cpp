#include "vek_readengine.h"
#include "vek_errorhandler.h"

bool VEK_ReadEngine::initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination) {
  if (!VEK_BufferOutputEngine::initiate(header, destination)) return false;
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ReadEngine::initiate()", "framework/engine/source/vek_readengine.cpp",
               52);
    return false;
  }
  storage_ = storage;
  return depend(storage);
}
