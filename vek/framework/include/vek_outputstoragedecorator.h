#pragma once
// The output decorator: every operation passes to the wrapped storage, which is not owned
// but recorded as a dependency so that it outlives the decorator.

#include <cstdint>

#include "vek_errorhandler.h"
#include "vek_storage.h"

class VEK_OutputStorageDecorator : public VEK_OutputStorage {
 public:
  using VEK_OutputStorage::VEK_OutputStorage;
  virtual bool initiate(VEK_OutputStorage* storage) {
    if (storage == nullptr || storage->is_empty()) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_OutputStorageDecorator::initiate()",
                 "framework/include/vek_outputstoragedecorator.h", 265);
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
  int32_t put(uint8_t byte) override { return storage_ != nullptr ? storage_->put(byte) : -1; }
  int32_t write(const void* buffer, int32_t n) override { return storage_ != nullptr ? storage_->write(buffer, n) : 0; }
  int32_t advance(int32_t n) override { return storage_ != nullptr ? storage_->advance(n) : 0; }
  VEK_InputStorage* create_input_storage() override {
    return storage_ != nullptr ? storage_->create_input_storage() : nullptr;
  }
  int32_t skip(int32_t n) override { return storage_ != nullptr ? storage_->skip(n) : 0; }
  bool seek(int32_t n) override { return storage_ != nullptr && storage_->seek(n); }
  bool seek_end(int32_t n) override { return storage_ != nullptr && storage_->seek_end(n); }
  int32_t tell() override { return storage_ != nullptr ? storage_->tell() : 0; }
  int32_t size() override { return storage_ != nullptr ? storage_->size() : 0; }
  bool to_begin() override { return storage_ != nullptr && storage_->to_begin(); }
  bool to_end() override { return storage_ != nullptr && storage_->to_end(); }

 protected:
  VEK_OutputStorage* storage_ = nullptr;
};
