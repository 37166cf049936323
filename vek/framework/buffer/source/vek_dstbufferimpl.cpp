#include "vek_buffer.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/buffer/source/vek_dstbufferimpl.cpp";

VEK_SrcBuffer* make_reader(VEK_Manager* manager, VEK_DstBuffer* front) {
  return vek_create<VEK_SrcBufferImpl>(manager, front);
}
}  // namespace

VEK_SrcBuffer* VEK_DstBufferImpl::create_src_buffer(VEK_DstBuffer* front) {
  if (readers_made_) {
    vek_report(manager_, VEK_ERROR_STATE, "VEK_DstBufferImpl::create_src_buffer()", kFile, 36);
    return nullptr;
  }
  VEK_SrcBuffer* reader = make_reader(manager_, front);
  if (reader != nullptr) readers_made_ = true;
  return reader;
}

VEK_Vector<VEK_SrcBuffer*> VEK_DstBufferImpl::create_src_buffer(VEK_DstBuffer* front, uint32_t n) {
  VEK_Vector<VEK_SrcBuffer*> readers(manager_);
  if (n == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DstBufferImpl::create_src_buffer()", kFile, 65);
    return readers;
  }
  for (uint32_t i = 0; i < n; ++i) {
    VEK_SrcBuffer* reader = make_reader(manager_, front);
    if (reader == nullptr || !readers.push_back(reader)) {
      vek_destroy(reader);
      for (VEK_SrcBuffer* made : readers) made->destroy();
      readers.clear();
      return readers;
    }
  }
  readers_made_ = true;
  return readers;
}
