#pragma once
// Several input storages read one after another as one stream.

#include <cstdint>

#include "vek_storage.h"
#include "vek_vector.h"

class VEK_CombinedInputStorage : public VEK_InputStorage {
 public:
  explicit VEK_CombinedInputStorage(VEK_Manager* manager)
      : VEK_InputStorage(manager), parts_(manager), sizes_(manager) {}
  static VEK_CombinedInputStorage* create(VEK_Manager* manager, const VEK_Vector<VEK_InputStorage*>& parts);
  bool initiate(const VEK_Vector<VEK_InputStorage*>& parts, const VEK_Vector<int>& sizes);

  bool terminate() override {
    empty_ = true;
    return true;
  }
  bool is_empty() const override { return empty_; }
  int32_t get() override;
  int32_t read(void* buffer, int32_t n) override;
  int32_t tell() override;
  int32_t skip(int32_t n) override;
  int32_t size() override;
  bool to_begin() override;
  bool to_end() override;

 private:
  // A part counts only up to the size it had when the combination was made.
  int32_t effective(uint32_t i) { return std::min(parts_[i]->size(), sizes_[i]); }

  VEK_Vector<VEK_InputStorage*> parts_;
  VEK_Vector<int> sizes_;
  uint32_t current_ = 0;
  bool empty_ = true;
};
