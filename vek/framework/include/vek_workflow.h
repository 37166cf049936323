#pragma once
// The workflow makes destination buffers and runs one step of an engine.

#include <cstdint>

class VEK_Manager;
class VEK_Engine;
class VEK_DstBuffer;

class VEK_Workflow {
 public:
  virtual VEK_DstBuffer* create_dst_buffer() = 0;
  virtual uint32_t block_bytes() = 0;
  virtual ~VEK_Workflow() = default;
};

class VEK_WorkflowImpl : public VEK_Workflow {
 public:
  explicit VEK_WorkflowImpl(VEK_Manager* manager) : manager_(manager) {}
  // A proxy for a creator; null while an error is stored.
  VEK_DstBuffer* create_dst_buffer() override;
  // Block size for images that are not raw (raw images move one line per block).
  uint32_t block_bytes() override { return 4096; }
  virtual VEK_DstBuffer* create_dst_buffer(VEK_Engine* engine) = 0;
  virtual bool execute(VEK_Engine* engine) = 0;

 protected:
  VEK_Manager* manager_;
};

class VEK_BlockWorkflow : public VEK_WorkflowImpl {
 public:
  using VEK_WorkflowImpl::create_dst_buffer;
  using VEK_WorkflowImpl::VEK_WorkflowImpl;
  VEK_DstBuffer* create_dst_buffer(VEK_Engine* engine) override;
  // One step; an engine that answers false is destroyed at once.
  bool execute(VEK_Engine* engine) override;
};
