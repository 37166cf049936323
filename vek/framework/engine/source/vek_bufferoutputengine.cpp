#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/engine/source/vek_bufferoutputengine.cpp";
}

bool VEK_BufferOutputEngine::initiate(const VEK_Header* header, VEK_DstBuffer* destination) {
  if (!is_success()) return false;
  if (header == nullptr || destination == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_BufferOutputEngine::initiate()", kFile, 126);
    return false;
  }
  if (!(out_header_ = *header)) return false;
  dst_ = destination;
  return true;
}

VEK_SrcBuffer* VEK_BufferOutputEngine::src_buffer() { return dst_ != nullptr ? dst_->src_buffer() : nullptr; }

bool VEK_BufferOutputEngine::terminate() {
  const bool buffer = !created_ || dst_ == nullptr || dst_->destroy();
  return VEK_Engine::terminate() && buffer;
}

bool VEK_BufferOutputEngine::destroy() {
  if (dst_ != nullptr) dst_->notify_destroy();
  return VEK_Engine::destroy();
}

VEK_Vector<VEK_Engine*> VEK_BufferOutputEngine::branch(uint32_t n) {
  VEK_Vector<VEK_Engine*> engines(manager_);
  if (dst_ == nullptr) return engines;
  VEK_Vector<VEK_SrcBuffer*> readers = dst_->src_buffers(n);
  if (readers.size() != n || n == 0) return engines;
  if (!engines.resize(n, nullptr)) {
    for (VEK_SrcBuffer* r : readers) r->destroy();
    return engines;
  }
  VEK_Nop nop(manager_);
  bool complete = true;
  for (uint32_t i = 0; i < n; ++i) {
    engines[i] = nop.engine(&out_header_, readers[i]);
    complete = complete && engines[i] != nullptr;
  }
  if (!complete) {
    // Each branch made so far owns its reader; a failed one has destroyed its own.
    for (VEK_Engine* e : engines) vek_destroy(e);
    engines.clear();
  }
  return engines;
}
