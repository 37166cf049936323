#include "vek_errorhandler.h"
#include "vek_object.h"
#include "vek_relation.h"

namespace {
constexpr const char* kFile = "framework/manager/source/vek_dependmap.cpp";
}

bool VEK_DependMap::depend(const VEK_Object* object, const VEK_Object* other) {
  if (object == nullptr || other == nullptr || object == other) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DependMap::depend()", kFile, 56);
    return false;
  }
  auto& deps = dependencies_.items();
  uint32_t index = 0;
  for (auto it = deps.lower_bound(KeyType{object, 0}); it != deps.end() && it->first.object == object; ++it) {
    if (it->first.index != index) break;
    ++index;
  }
  if (!dependencies_.insert(KeyType{object, index}, other)) return false;
  auto& counts = counts_.items();
  auto found = counts.find(other);
  if (found != counts.end()) {
    ++found->second;
    return true;
  }
  if (counts_.insert(other, 1)) return true;
  deps.erase(KeyType{object, index});
  return false;
}

uint32_t VEK_DependMap::dependents(const VEK_Object* object) const {
  auto it = counts_.items().find(object);
  return it == counts_.items().end() ? 0 : it->second;
}

bool VEK_DependMap::end(const VEK_Object* object) {
  if (object == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DependMap::end()", kFile, 95);
    return false;
  }
  auto& counts = counts_.items();
  auto found = counts.find(object);
  if (found != counts.end()) {
    if (found->second > 1)
      --found->second;
    else
      counts.erase(found);
    return true;
  }
  VEK_Object* dying = const_cast<VEK_Object*>(object);
  VEK_Manager* manager = dying->manager();
  // The allocation starts at the complete object, which need not be where this base sits.
  void* memory = dynamic_cast<void*>(dying);
  bool result = dying->terminate();
  dying->~VEK_Object();
  // The memory goes back last, so that its address cannot be reused while it is a key.
  auto& deps = dependencies_.items();
  for (uint32_t i = 0;; ++i) {
    auto it = deps.find(KeyType{object, i});
    if (it == deps.end()) break;
    const VEK_Object* other = it->second;
    deps.erase(it);
    result = end(other) && result;
  }
  manager->free(memory);
  return result;
}
