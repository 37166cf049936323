#pragma once
// The root of engines, buffers and storages: ended through the manager's relation table,
// which destroys an object only after everything that depends on it has ended.

#include "vek_manager.h"
#include "vek_root.h"

class VEK_Object : public VEK_Root {
 public:
  explicit VEK_Object(VEK_Manager* manager) : manager_(manager) {}
  VEK_Object(const VEK_Object&) = delete;
  VEK_Object& operator=(const VEK_Object&) = delete;

  bool destroy() override { return manager_ != nullptr && manager_->end(this); }
  ~VEK_Object() override = default;
  virtual bool terminate() = 0;

  // Records that this object needs other to stay alive until this one has ended.
  bool depend(const VEK_Object* other) { return manager_ != nullptr && manager_->depend(this, other); }

  VEK_Manager* manager() const { return manager_; }
  bool created() const { return created_; }
  void created(bool value) { created_ = value; }

 protected:
  VEK_Manager* manager_;
  bool created_ = false;
};

// Allocates T, runs its initiate(args...) and marks it created; null (the object destroyed)
// when either fails.
template <class T, class... Args>
T* vek_create(VEK_Manager* manager, Args&&... args) {
  T* object = vek_new<T>(manager);
  if (object == nullptr) return nullptr;
  if (!object->initiate(std::forward<Args>(args)...)) {
    object->destroy();
    return nullptr;
  }
  object->created(true);
  return object;
}
