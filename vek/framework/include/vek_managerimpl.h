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

  // Every block carries its size in front, so that what is freed is counted back: the meter
  // holds what the job has at this moment, and a budget refuses the allocation that would pass
  // it as memory the system did not give.
  void* allocate(uint32_t size) override {
    // in_use_ stays far below 2^63 and size below 2^32: the sum cannot wrap.
    const bool within = in_use_ + size <= limit_;
    refusals_ += within ? 0 : 1;
    void* p = within && size <= UINT32_MAX - kTag ? memory_.allocate(size + kTag) : nullptr;
    if (p == nullptr) {
      report(VEK_ERROR_MEMORY, "VEK_ManagerImpl::allocate()", "framework/include/vek_managerimpl.h", 62);
      return nullptr;
    }
    *static_cast<uint64_t*>(p) = size;
    in_use_ += size;
    peak_ = in_use_ > peak_ ? in_use_ : peak_;
    return static_cast<unsigned char*>(p) + kTag;
  }
  void free(void* pointer) override {
    if (pointer == nullptr) return;
    void* block = static_cast<unsigned char*>(pointer) - kTag;
    in_use_ -= *static_cast<const uint64_t*>(block);
    memory_.free(block);
  }

  // The bytes this manager may hold at once; 0: no bound. Blocks held already stay. Under a
  // ceiling (bound_for_good), 0 or more than the ceiling refuses everything instead.
  void set_budget(uint64_t bytes) {
    if (ceiling_ != 0 && (bytes == 0 || bytes > ceiling_)) bytes = 1;
    budget_ = bytes;
    limit_ = bytes != 0 ? bytes : UINT64_MAX;
  }
  // From now on no budget passes ceiling (non-zero), by whatever route it is set: a manager
  // that must stay bounded cannot be unbounded again. A later call only lowers it.
  void bound_for_good(uint64_t ceiling) {
    if (ceiling != 0 && (ceiling_ == 0 || ceiling < ceiling_)) ceiling_ = ceiling;
    set_budget(budget_);
  }
  uint64_t budget() const { return budget_; }
  uint64_t in_use() const { return in_use_; }
  // The most held at once since the last reset_peak().
  uint64_t peak() const { return peak_; }
  void reset_peak() { peak_ = in_use_; }
  // Allocations the budget has refused so far: a job that failed for memory can tell its own
  // excess from the system's shortage.
  uint64_t budget_refusals() const { return refusals_; }

  // Memory the job holds outside this manager's blocks (bytes staged from a file, text built
  // from it) counted against the same budget while held: false, and nothing counted, when it
  // would pass the budget. Whoever charged gives the same figure back with discharge().
  bool charge(uint64_t bytes) {
    const bool within = in_use_ <= limit_ && bytes <= limit_ - in_use_;
    if (!within) {
      ++refusals_;
      return false;
    }
    in_use_ += bytes;
    peak_ = in_use_ > peak_ ? in_use_ : peak_;
    return true;
  }
  void discharge(uint64_t bytes) { in_use_ -= bytes < in_use_ ? bytes : in_use_; }

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
    free(part);
    part = nullptr;
  }

  // Keeps the blocks aligned as the memory manager's own are.
  static constexpr uint32_t kTag = 16;

  M memory_;
  uint64_t budget_ = 0;
  uint64_t ceiling_ = 0;
  uint64_t limit_ = UINT64_MAX;
  uint64_t in_use_ = 0;
  uint64_t peak_ = 0;
  uint64_t refusals_ = 0;
  E* handler_ = nullptr;
  W* workflow_ = nullptr;
  VEK_RelationForST* relation_ = nullptr;
  VEK_Status empty_{this};
};

using VEK_DefaultManager = VEK_ManagerImpl<VEK_MallocMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow>;
