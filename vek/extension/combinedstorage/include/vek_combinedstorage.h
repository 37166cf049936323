#pragma once
// Several input storages read one after another as one stream.

#include <algorithm>
#include <cstdint>

#include "vek_errorhandler.h"
#include "vek_storage.h"
#include "vek_vector.h"

// The parts and the sizes they had when combined; the reading is the derived class's.
template <class Storage>
class VEK_CombinedStorage : public Storage {
 public:
  explicit VEK_CombinedStorage(VEK_Manager* manager) : Storage(manager), parts_(manager), sizes_(manager) {}

  bool initiate(const VEK_Vector<Storage*>& parts, const VEK_Vector<int>& sizes) {
    constexpr const char* kFile = "extension/combinedstorage/include/vek_combinedstorage.h";
    const char* method = "VEK_CombinedStorage::initiate()";
    if (parts.empty() || parts.size() != sizes.size()) {
      vek_report(this->manager_, VEK_ERROR_ARGUMENT, method, kFile, 202);
      return false;
    }
    double total = 0;
    for (uint32_t i = 0; i < parts.size(); ++i) {
      if (parts[i] == nullptr || parts[i]->is_empty() || parts[i]->size() < 0) {
        vek_report(this->manager_, VEK_ERROR_ARGUMENT, method, kFile, 219);
        return false;
      }
      if (sizes[i] < 1) {
        vek_report(this->manager_, VEK_ERROR_ARGUMENT, method, kFile, 226);
        return false;
      }
      total += sizes[i];
    }
    if (total > 2147483647.0) {
      vek_report(this->manager_, VEK_ERROR_ARGUMENT, method, kFile, 237);
      return false;
    }
    parts_ = parts;
    sizes_ = sizes;
    if (parts_.size() != parts.size() || sizes_.size() != sizes.size()) return false;
    for (Storage* part : parts_)
      if (!this->depend(part)) return false;
    empty_ = false;
    return true;
  }

  bool terminate() override {
    empty_ = true;
    return true;
  }
  bool is_empty() const override { return empty_; }

 protected:
  // A part counts only up to the size it had when the combination was made.
  int32_t effective(uint32_t i) { return std::min(parts_[i]->size(), sizes_[i]); }

  VEK_Vector<Storage*> parts_;
  VEK_Vector<int> sizes_;
  uint32_t current_ = 0;
  bool empty_ = true;
};

class VEK_CombinedInputStorage : public VEK_CombinedStorage<VEK_InputStorage> {
 public:
  using VEK_CombinedStorage::VEK_CombinedStorage;
  static VEK_CombinedInputStorage* create(VEK_Manager* manager, const VEK_Vector<VEK_InputStorage*>& parts);

  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t tell() override;
  int32_t skip(int32_t n) override;
  int32_t size() override;
  bool to_begin() override;
  bool to_end() override;
};
