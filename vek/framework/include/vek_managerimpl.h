#pragma once

#include <cstdint>
#include <new>

#include "vek_buffer.h"
#include "vek_engine.h"
#include "vek_errorhandler.h"
#include "vek_manager.h"
#include "vek_relation.h"
#include "vek_workflow.h"

// M: the memory manager (embedded); E: the error handler and W: the workflow, both
// allocated through this manager, like the relation table.
template <class M, class E, class W>
class VEK_ManagerImpl : public VEK_Manager {
 public:
  VEK_ManagerImpl() {
    handler_ = make<E>();
    workflow_ = make<W>();
    relation_ = make<VEK_RelationForST>();
  }
  ~VEK_ManagerImpl() override {
    unmake(relation_);
    unmake(workflow_);
    unmake(handler_);
  }
  VEK_ManagerImpl(const VEK_ManagerImpl&) = delete;
  VEK_ManagerImpl& operator=(const VEK_ManagerImpl&) = delete;

  void* allocate(uint32_t size) override {
    void* p = memory_.allocate(size);
    if (p == nullptr)
      report(VEK_ERROR_MEMORY, "VEK_ManagerImpl::allocate()", "framework/include/vek_managerimpl.h", 62);
    return p;
  }
  void free(void* pointer) override { memory_.free(pointer); }

  bool status(VEK_Status& out) override {
    out = status();
    if (relation_ != nullptr) relation_->clear();
    if (!vek_is_error(out.full_code())) {
      const uint32_t now = status().full_code();
      if (out.full_code() == 0 || (vek_is_warning(out.full_code()) && vek_is_error(now))) out = status();
    }
    if (handler_ != nullptr) handler_->clear();
    return !vek_is_error(out.full_code());
  }

  bool execute(const VEK_Object* object) override {
    if (workflow_ == nullptr || relation_ == nullptr) return false;
    VEK_Engine* engine = relation_->engine_of(object);
    return engine != nullptr && workflow_->execute(engine);
  }

  const VEK_Status& status() const override { return handler_ != nullptr ? handler_->status() : empty_; }
  void report(uint32_t code, const char* method, const char* file, uint32_t line) override {
    if (handler_ != nullptr) handler_->report(code, method, file, line);
  }
  using VEK_Manager::report;

  VEK_DstBuffer* create_dst_buffer() override {
    return workflow_ != nullptr ? workflow_->create_dst_buffer() : nullptr;
  }
  uint32_t block_bytes() override { return workflow_ != nullptr ? workflow_->block_bytes() : 0; }

  bool clear() override {
    VEK_Status record(this);
    return status(record);
  }

  VEK_Engine* regist(VEK_Engine* engine, VEK_DstBuffer* destination) override {
    if (workflow_ == nullptr || relation_ == nullptr) return nullptr;
    if (relation_->regist(engine, destination) == nullptr) return nullptr;
    if (destination == nullptr) return engine;
    if (auto* proxy = dynamic_cast<VEK_DstBufferProxy*>(destination)) {
      VEK_DstBuffer* real = workflow_->create_dst_buffer(engine);
      if (!proxy->attach(real)) {
        vek_destroy(real);  // not behind any proxy: nothing else would free it
        return nullptr;
      }
    }
    return engine;
  }
  bool remove(VEK_Engine* engine) override { return relation_ != nullptr && relation_->remove(engine); }
  VEK_Engine* engine_of(const VEK_Object* object) override {
    return relation_ != nullptr ? relation_->engine_of(object) : nullptr;
  }
  bool depend(const VEK_Object* object, const VEK_Object* other) override {
    return relation_ != nullptr && relation_->depend(object, other);
  }
  bool end(const VEK_Object* object) override { return relation_ != nullptr && relation_->end(object); }

  M& memory_manager() { return memory_; }
  const VEK_RelationForST* relation() const { return relation_; }

 private:
  template <class T>
  T* make() {
    void* p = allocate(sizeof(T));
    return p != nullptr ? ::new (p) T(this) : nullptr;
  }
  template <class T>
  void unmake(T*& part) {
    if (part == nullptr) return;
    part->~T();
    memory_.free(part);
    part = nullptr;
  }

  M memory_;
  E* handler_ = nullptr;
  W* workflow_ = nullptr;
  VEK_RelationForST* relation_ = nullptr;
  VEK_Status empty_{this};
};

using VEK_DefaultManager = VEK_ManagerImpl<VEK_MallocMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow>;
