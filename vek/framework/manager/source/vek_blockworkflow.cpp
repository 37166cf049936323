#include "vek_workflow.h"

#include "vek_buffer.h"
#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_header.h"

VEK_DstBuffer* VEK_WorkflowImpl::create_dst_buffer() {
  if (vek_is_error(manager_->status().full_code())) return nullptr;
  VEK_DstBufferProxy* proxy = vek_new<VEK_DstBufferProxy>(manager_);
  if (proxy == nullptr) return nullptr;
  if (!proxy->close()) {
    proxy->destroy();
    return nullptr;
  }
  proxy->created(true);
  return proxy;
}

VEK_DstBuffer* VEK_BlockWorkflow::create_dst_buffer(VEK_Engine* engine) {
  const VEK_Header* header = engine != nullptr ? engine->header() : nullptr;
  if (header == nullptr) return nullptr;
  uint64_t total = 0x40000000u;
  if (VEK_EncodeType::is_raw(header->encode_type())) {
    const uint64_t line = VEK_Header::line_bytes(header->width(), header->bits(), header->channels());
    total = line <= UINT32_MAX ? line * header->height() : UINT64_MAX;
    if (total == 0 || total > UINT32_MAX) {
      vek_report(manager_, VEK_ERROR_FORMAT, "VEK_BlockWorkflow::create_dst_buffer()",
                 "framework/manager/source/vek_blockworkflow.cpp", 42);
      return nullptr;
    }
  }
  return vek_create<VEK_STBlockDstBuffer>(manager_, uint32_t(total));
}

bool VEK_BlockWorkflow::execute(VEK_Engine* engine) {
  if (engine->execute()) return true;
  engine->destroy();
  return false;
}
