#pragma once
// The input decorator: every operation passes to the wrapped storage, which is not owned
// but recorded as a dependency so that it outlives the decorator.

#include <cstdint>

#include "vek_errorhandler.h"
#include "vek_storage.h"

class VEK_InputStorageDecorator : public VEK_InputStorage {
 public:
  using VEK_InputStorage::VEK_InputStorage;
  virtual bool initiate(VEK_InputStorage* storage) {
    if (storage == nullptr) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_InputStorageDecorator::initiate()",
                 "framework/include/vek_inputstoragedecorator.h", 277);
      return false;
    }
    storage_ = storage;
    return depend(storage);
  }
  bool terminate() override {
    storage_ = nullptr;
    return true;
  }
  bool is_empty() const override { return storage_ == nullptr; }
  int32_t get() override { return storage_ != nullptr ? storage_->get() : -1; }
  int32_t read(void* buffer, int32_t n) override { return storage_ != nullptr ? storage_->read(buffer, n) : 0; }
  int32_t advance(int32_t n) override { return storage_ != nullptr ? storage_->advance(n) : 0; }
  int32_t tell() override { return storage_ != nullptr ? storage_->tell() : 0; }
  int32_t skip(int32_t n) override { return storage_ != nullptr ? storage_->skip(n) : 0; }
  bool is_end() override { return storage_ == nullptr || storage_->is_end(); }
  bool seek(int32_t n) override { return storage_ != nullptr && storage_->seek(n); }
  bool seek_end(int32_t n) override { return storage_ != nullptr && storage_->seek_end(n); }
  int32_t size() override { return storage_ != nullptr ? storage_->size() : 0; }
  bool to_begin() override { return storage_ != nullptr && storage_->to_begin(); }
  bool to_end() override { return storage_ != nullptr && storage_->to_end(); }
  // Steps back one byte.
  virtual bool unget() { return skip(-1) == -1; }

  VEK_InputStorage* decorated() const { return storage_; }

 protected:
  VEK_InputStorage* storage_ = nullptr;
};
