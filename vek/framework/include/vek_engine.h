#pragma once
// Engine bases. Engines meet only through buffers: each reads source buffers, writes one
// destination buffer and exposes the header of what it writes.

#include <cstdint>

#include "vek_buffer.h"
#include "vek_header.h"
#include "vek_object.h"
#include "vek_storage.h"
#include "vek_vector.h"

class VEK_Engine : public VEK_Object {
 public:
  using VEK_Object::VEK_Object;
  bool destroy() override;
  bool terminate() override { return true; }
  virtual bool execute() = 0;
  virtual const VEK_Header* header() = 0;
  // A new reader of this engine's output.
  virtual VEK_SrcBuffer* src_buffer() = 0;
  // n pass-through engines, each delivering the whole output; empty on failure.
  virtual VEK_Vector<VEK_Engine*> branch(uint32_t n) = 0;
  // No error stored in the manager (warnings count as success).
  virtual bool is_success();
};

class VEK_BufferOutputEngine : public VEK_Engine {
 public:
  explicit VEK_BufferOutputEngine(VEK_Manager* manager) : VEK_Engine(manager), out_header_(manager) {}
  bool destroy() override;
  bool terminate() override;
  const VEK_Header* header() override { return &out_header_; }
  VEK_SrcBuffer* src_buffer() override;
  VEK_Vector<VEK_Engine*> branch(uint32_t n) override;
  virtual bool initiate(const VEK_Header* header, VEK_DstBuffer* destination);

  VEK_DstBuffer* dst_buffer() const { return dst_; }

 protected:
  VEK_Header out_header_;
  VEK_DstBuffer* dst_ = nullptr;
};

// The input side, always a second base next to an engine class.
class VEK_BufferInputEngine {
 public:
  explicit VEK_BufferInputEngine(VEK_Manager* manager) : in_manager_(manager) {}
  virtual ~VEK_BufferInputEngine() = default;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source);
  virtual bool terminate(bool created);

  VEK_SrcBuffer* src_buffer_in() const { return src_; }

 protected:
  VEK_Manager* in_manager_;
  VEK_SrcBuffer* src_ = nullptr;
};

class VEK_ProcessEngine : public VEK_BufferOutputEngine, public VEK_BufferInputEngine {
 public:
  explicit VEK_ProcessEngine(VEK_Manager* manager) : VEK_BufferOutputEngine(manager), VEK_BufferInputEngine(manager) {}
  using VEK_BufferOutputEngine::initiate;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination);
  bool terminate() override;
  using VEK_BufferOutputEngine::src_buffer;
};

class VEK_ProcessLineToLineEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool execute() override;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
  virtual bool process_line(const void* source_line, void* destination_line) = 0;

 protected:
  uint32_t line_ = 0;
};

class VEK_NoOutputEngine : public VEK_Engine {
 public:
  using VEK_Engine::VEK_Engine;
  const VEK_Header* header() override;
  VEK_SrcBuffer* src_buffer() override;
  VEK_Vector<VEK_Engine*> branch(uint32_t n) override;
};

// A sink that reads one image.
class VEK_AnalyzeEngine : public VEK_NoOutputEngine, public VEK_BufferInputEngine {
 public:
  explicit VEK_AnalyzeEngine(VEK_Manager* manager) : VEK_NoOutputEngine(manager), VEK_BufferInputEngine(manager) {}
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source) override;
  bool terminate() override;
  using VEK_NoOutputEngine::src_buffer;
};

class VEK_AnalyzeLineEngine : public VEK_AnalyzeEngine {
 public:
  using VEK_AnalyzeEngine::VEK_AnalyzeEngine;
  bool execute() override;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source) override;
  virtual bool analyze_line(const void* line) = 0;

 protected:
  uint32_t line_ = 0;
  uint32_t line_count_ = 0;
};

// An engine without input.
class VEK_GenerateEngine : public VEK_BufferOutputEngine {
 public:
  using VEK_BufferOutputEngine::VEK_BufferOutputEngine;
  bool initiate(const VEK_Header* header, VEK_DstBuffer* destination) override;
};

// The input side with N sources; owns copies of the N headers.
class VEK_NBuffersInputEngine {
 public:
  explicit VEK_NBuffersInputEngine(VEK_Manager* manager) : in_manager_(manager), headers_(manager), srcs_(manager) {}
  virtual ~VEK_NBuffersInputEngine();
  virtual bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources);
  virtual bool terminate(bool created);

  uint32_t src_buffer_num() const { return srcs_.size(); }
  const VEK_Header* header(uint32_t i) const { return i < headers_.size() ? headers_[i] : nullptr; }
  VEK_SrcBuffer* src_buffer(uint32_t i) const { return i < srcs_.size() ? srcs_[i] : nullptr; }

 protected:
  VEK_Manager* in_manager_;
  VEK_Vector<const VEK_Header*> headers_;
  VEK_Vector<VEK_SrcBuffer*> srcs_;
};

class VEK_MultiInputProcessEngine : public VEK_BufferOutputEngine, public VEK_NBuffersInputEngine {
 public:
  explicit VEK_MultiInputProcessEngine(VEK_Manager* manager)
      : VEK_BufferOutputEngine(manager), VEK_NBuffersInputEngine(manager) {}
  using VEK_BufferOutputEngine::header;
  using VEK_BufferOutputEngine::initiate;
  using VEK_BufferOutputEngine::src_buffer;
  virtual bool initiate(const VEK_Vector<const VEK_Header*>& headers, const VEK_Vector<VEK_SrcBuffer*>& sources,
                        VEK_DstBuffer* destination);
  bool terminate() override;
};

// An engine that writes into an output storage instead of a buffer.
class VEK_StorageOutputEngine : public VEK_NoOutputEngine {
 public:
  using VEK_NoOutputEngine::VEK_NoOutputEngine;
  virtual bool initiate(VEK_OutputStorage* storage);

 protected:
  VEK_OutputStorage* storage_ = nullptr;
};

// A sink that writes one image into an output storage.
class VEK_WriteEngine : public VEK_StorageOutputEngine, public VEK_BufferInputEngine {
 public:
  explicit VEK_WriteEngine(VEK_Manager* manager) : VEK_StorageOutputEngine(manager), VEK_BufferInputEngine(manager) {}
  using VEK_NoOutputEngine::src_buffer;
  using VEK_StorageOutputEngine::initiate;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage);
  bool terminate() override;
};

// Copies its input to its output unchanged, block by block.
class VEK_NopEngine : public VEK_ProcessEngine {
 public:
  using VEK_ProcessEngine::initiate;
  using VEK_ProcessEngine::VEK_ProcessEngine;
  bool execute() override;
  bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination) override;
};

// The same copy under a new header.
class VEK_RewriteHeaderEngine : public VEK_NopEngine {
 public:
  using VEK_NopEngine::initiate;
  using VEK_NopEngine::VEK_NopEngine;
  virtual bool initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                        const VEK_Header* new_header);
};

// The public face of a processing family. Every engine() follows the same steps, written
// once here: check the source, take its reader and a destination, make and initiate the
// family's engine, register it.
class VEK_EngineCreator : public VEK_Utility {
 public:
  using VEK_Utility::VEK_Utility;

  // Registers engine as the writer of destination; with a null engine, destroys the buffers.
  VEK_Engine* regist_engine(VEK_Engine* engine, VEK_SrcBuffer* source, VEK_DstBuffer* destination);
  VEK_Engine* regist_engine(VEK_Engine* engine, VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination);

 protected:
  // Step 1: the source engine and its header must exist; reports under the family's name.
  bool check_source(VEK_Engine* source, const char* method, const char* file, uint32_t line);

  // Steps 2 to 6 for a one-input engine E whose typed initiate takes
  // (source header, source buffer, destination buffer, params...).
  template <class E, class... P>
  VEK_Engine* create_engine(VEK_Engine* source, P&&... params) {
    const VEK_Header* header = source->header();
    return create_engine_on<E>(header, source->src_buffer(), std::forward<P>(params)...);
  }

  // The same over an existing source buffer.
  template <class E, class... P>
  VEK_Engine* create_engine_on(const VEK_Header* header, VEK_SrcBuffer* reader, P&&... params) {
    VEK_DstBuffer* destination = manager_->create_dst_buffer();
    E* engine = vek_new<E>(manager_);
    return regist_engine(initiated(engine, engine != nullptr && engine->initiate(header, reader, destination,
                                                                                 std::forward<P>(params)...)),
                         reader, destination);
  }

  // An engine without input: initiate takes (destination, params...).
  template <class E, class... P>
  VEK_Engine* create_generator(P&&... params) {
    VEK_DstBuffer* destination = manager_->create_dst_buffer();
    E* engine = vek_new<E>(manager_);
    return regist_engine(
        initiated(engine, engine != nullptr && engine->initiate(destination, std::forward<P>(params)...)), nullptr,
        destination);
  }

  // A sink: no destination buffer; initiate takes (source header, source buffer, params...).
  template <class E, class... P>
  VEK_Engine* create_sink(VEK_Engine* source, P&&... params) {
    const VEK_Header* header = source->header();
    VEK_SrcBuffer* reader = source->src_buffer();
    E* engine = vek_new<E>(manager_);
    return regist_engine(
        initiated(engine, engine != nullptr && engine->initiate(header, reader, std::forward<P>(params)...)), reader,
        nullptr);
  }

  // Sets created on success; destroys the engine (buffers untouched) on failure.
  static VEK_Engine* initiated(VEK_Engine* engine, bool ok);
};

class VEK_Nop : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(const VEK_Header* header, VEK_SrcBuffer* source);
};

class VEK_RewriteHeader : public VEK_EngineCreator {
 public:
  using VEK_EngineCreator::VEK_EngineCreator;
  VEK_Engine* engine(VEK_Engine* source, const VEK_Header* new_header);
};
