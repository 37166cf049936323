#pragma once

#include <cstdint>

class VEK_MemoryManager {
 public:
  virtual void* allocate(uint32_t size) = 0;
  virtual void free(void* pointer) = 0;
  virtual ~VEK_MemoryManager() = default;
};

class VEK_MallocMemoryManager : public VEK_MemoryManager {
 public:
  void* allocate(uint32_t size) override;
  void free(void* pointer) override;
};
