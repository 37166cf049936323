#pragma once

#include <cstdint>
#include <new>

#include "vek_errorhandler.h"
#include "vek_manager.h"

// M: the memory manager (embedded), E: the error handler (allocated through this manager).
template <class M, class E>
class VEK_ManagerImpl : public VEK_Manager {
 public:
  VEK_ManagerImpl() {
    if (void* p = allocate(sizeof(E))) handler_ = ::new (p) E(this);
  }
  ~VEK_ManagerImpl() override {
    if (handler_ != nullptr) {
      handler_->~E();
      memory_.free(handler_);
      handler_ = nullptr;
    }
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

  const VEK_Status& status() const override { return handler_ != nullptr ? handler_->status() : empty_; }
  void report(uint32_t code, const char* method, const char* file, uint32_t line) override {
    if (handler_ != nullptr) handler_->report(code, method, file, line);
  }
  using VEK_Manager::report;

  bool status(VEK_Status& out) override {
    out = status();
    if (!vek_is_error(out.full_code())) {
      const uint32_t now = status().full_code();
      if (out.full_code() == 0 || (vek_is_warning(out.full_code()) && vek_is_error(now))) out = status();
    }
    if (handler_ != nullptr) handler_->clear();
    return !vek_is_error(out.full_code());
  }

  bool clear() {
    VEK_Status record(this);
    return status(record);
  }

  M& memory_manager() { return memory_; }

 private:
  M memory_;
  E* handler_ = nullptr;
  VEK_Status empty_{this};
};
