#pragma once
// Test managers: a memory manager that refuses chosen allocations and counts what is live,
// so that every out-of-memory path can be driven and leaks seen.

#include <cstdint>
#include <cstdlib>
#include <set>

#include "vek_errorhandler.h"
#include "vek_managerimpl.h"

class VEK_FailingMemoryManager : public VEK_MemoryManager {
 public:
  void* allocate(uint32_t size) override {
    ++count_;
    if (refuse_all_ || (fail_at_ != 0 && count_ == fail_at_)) return nullptr;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p != nullptr) live_.insert(p);
    return p;
  }
  // Only what this manager handed out goes back to the C library; anything else is counted,
  // so that freeing the wrong address fails a test instead of corrupting the heap.
  void free(void* pointer) override {
    if (pointer == nullptr) return;
    if (live_.erase(pointer) == 0) {
      ++foreign_frees_;
      return;
    }
    std::free(pointer);
  }

  // Refuse the nth allocation from now on (1 = the next one); 0 refuses none.
  void fail_nth(uint64_t n) { fail_at_ = n == 0 ? 0 : count_ + n; }
  void refuse_all(bool on) { refuse_all_ = on; }
  uint64_t allocations() const { return count_; }
  size_t live() const { return live_.size(); }
  uint64_t foreign_frees() const { return foreign_frees_; }

 private:
  uint64_t count_ = 0;
  uint64_t fail_at_ = 0;
  bool refuse_all_ = false;
  uint64_t foreign_frees_ = 0;
  std::set<void*> live_;
};

// Checks the stored report and clears it for the next step.
#define EXPECT_REPORT(m, code_, method_, line_)     \
  do {                                              \
    EXPECT_EQ((m).status().full_code(), (code_));   \
    EXPECT_STREQ((m).status().method(), (method_)); \
    EXPECT_EQ((m).status().line(), (line_));        \
    (m).clear();                                    \
  } while (0)

using VEK_TestManager = VEK_ManagerImpl<VEK_FailingMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow>;
