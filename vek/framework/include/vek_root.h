#pragma once
// Roots of the library's class tree and the creation helper every object goes through.

#include <cstdint>
#include <new>
#include <utility>

class VEK_Manager;

class VEK_Root {
 public:
  virtual bool destroy() = 0;
  virtual ~VEK_Root() = default;
};

// A library object that knows the manager it came from and gives its memory back to it.
class VEK_Utility : public VEK_Root {
 public:
  explicit VEK_Utility(VEK_Manager* manager) : manager_(manager) {}
  VEK_Utility(const VEK_Utility&) = default;
  VEK_Utility& operator=(const VEK_Utility&) { return *this; }  // the manager stays

  // Runs the destructor, then returns the memory to the manager.
  bool destroy() override;
  ~VEK_Utility() override = default;

  VEK_Manager* manager() const { return manager_; }

 protected:
  VEK_Manager* manager_;
};

// destroy() that also accepts null, which answers true.
inline bool vek_destroy(VEK_Root* object) { return object == nullptr || object->destroy(); }

// Allocates through the manager and constructs T(manager, args...); null when the manager gives no memory
// (it has reported that) or a constructor throws.
template <class T, class... Args>
T* vek_new(VEK_Manager* manager, Args&&... args);

// Forwards a report to the manager's error handler; a null manager drops it.
void vek_report(VEK_Manager* manager, uint32_t code, const char* method, const char* file, uint32_t line);

#include "vek_manager.h"

template <class T, class... Args>
T* vek_new(VEK_Manager* manager, Args&&... args) {
  if (manager == nullptr) return nullptr;
  void* memory = manager->allocate(static_cast<uint32_t>(sizeof(T)));
  if (memory == nullptr) return nullptr;
  try {
    return ::new (memory) T(manager, std::forward<Args>(args)...);
  } catch (...) {
    manager->free(memory);
    return nullptr;
  }
}
