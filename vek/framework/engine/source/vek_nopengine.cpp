#include "vek_engine.h"
#include "vek_errorhandler.h"

bool VEK_NopEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_NopEngine::initiate()", "framework/engine/source/vek_nopengine.cpp",
               71);
    return false;
  }
  return VEK_ProcessEngine::initiate(header, source, destination) && dst_->block_bytes(src_->block_bytes());
}

bool VEK_NopEngine::execute() {
  void* out = dst_->get();
  if (out == nullptr) return false;
  uint32_t got = 0;
  if (!src_->get(out, &got)) return false;
  const bool released = src_->release();
  return dst_->release(got) && released;
}

VEK_Engine* VEK_Nop::engine(const VEK_Header* header, VEK_SrcBuffer* source) {
  return create_engine_on<VEK_NopEngine>(header, source);
}
