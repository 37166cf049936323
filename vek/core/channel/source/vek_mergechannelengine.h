#pragma once
// The merging engines: a base that checks the inputs and takes one line of each, the 1-bit engine
// and the whole-byte engines per sample type.

#include <cstdint>
#include <type_traits>

#include "vek_engine.h"
#include "vek_mergechannel.h"

class VEK_MergeChannelEngine : public VEK_MultiInputProcessEngine {
 public:
  using VEK_MultiInputProcessEngine::initiate;
  using VEK_MultiInputProcessEngine::VEK_MultiInputProcessEngine;
  ~VEK_MergeChannelEngine() override { release(); }
  virtual bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                        VEK_DstBuffer* destination, const VEK_ColorType* color_type);
  bool execute() override;
  bool terminate() override;

 protected:
  // Fills one output line from one line of every input.
  virtual void merge_line(const uint8_t* const* in, uint8_t* out) = 0;
  // The array of input line pointers; false after the manager's report.
  bool allocate_lines();

  uint16_t bits_ = 0;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t line_ = 0;
  const uint8_t** lines_ = nullptr;

 private:
  void release();
};

class VEK_MergeChannel1bitEngine : public VEK_MergeChannelEngine {
 public:
  using VEK_MergeChannelEngine::initiate;
  using VEK_MergeChannelEngine::VEK_MergeChannelEngine;
  bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                VEK_DstBuffer* destination, const VEK_ColorType* color_type) override;

 protected:
  void merge_line(const uint8_t* const* in, uint8_t* out) override;
};

template <class Make>
VEK_Engine* VEK_MergeChannelCreator::merge(const VEK_Vector<VEK_Engine*>& engines, const VEK_ColorType* color_type,
                                           const char* method, const char* file, uint32_t line, Make make) {
  for (VEK_Engine* e : engines)
    if (e == nullptr) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, method, file, line);
      return nullptr;
    }
  VEK_Vector<const VEK_Header*> headers(manager_);
  VEK_Vector<VEK_SrcBuffer*> sources(manager_);
  for (VEK_Engine* e : engines) {
    const VEK_Header* header = e->header();
    VEK_SrcBuffer* reader = header != nullptr ? e->src_buffer() : nullptr;
    if (reader == nullptr || !headers.push_back(header) || !sources.push_back(reader)) {
      if (reader != nullptr && (sources.empty() || sources[sources.size() - 1] != reader)) reader->destroy();
      for (VEK_SrcBuffer* s : sources) s->destroy();
      return nullptr;
    }
  }
  VEK_DstBuffer* destination = manager_->create_dst_buffer();
  VEK_MergeChannelEngine* engine = make(headers[headers.size() - 1]);
  return regist_engine(
      initiated(engine, engine != nullptr && engine->initiate(headers, sources, destination, color_type)), sources,
      destination);
}
