#include "vek_relation.h"

#include "vek_engine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kDependFile = "framework/manager/source/vek_dependmap.cpp";
}

VEK_Engine* VEK_RelationForST::regist(VEK_Engine* engine, VEK_DstBuffer* destination) {
  return table_.regist(engine, destination) ? engine : nullptr;
}

bool VEK_EngDstTable::regist(VEK_Engine* engine, const VEK_DstBuffer* destination) {
  if (destination == nullptr) return sinks_.push_back(engine);
  return writers_.insert(destination, engine);
}

bool VEK_EngDstTable::remove(VEK_Engine* engine) {
  auto& list = sinks_.items();
  for (auto it = list.begin(); it != list.end(); ++it)
    if (*it == engine) {
      list.erase(it);
      return true;
    }
  auto& map = writers_.items();
  for (auto it = map.begin(); it != map.end(); ++it)
    if (it->second == engine) {
      map.erase(it);
      return true;
    }
  return false;
}

VEK_Engine* VEK_EngDstTable::engine_of(const VEK_Object* destination) const {
  const auto& map = writers_.items();
  auto it = map.find(destination);
  return it == map.end() ? nullptr : it->second;
}

void VEK_EngDstTable::clear() {
  auto& list = sinks_.items();
  while (!list.empty()) {
    VEK_Engine* engine = list.front();
    engine->destroy();
    if (!list.empty() && list.front() == engine) list.pop_front();
  }
  auto& map = writers_.items();
  while (!map.empty()) {
    auto first = map.begin();
    VEK_Engine* engine = first->second;
    engine->destroy();
    if (!map.empty() && map.begin()->second == engine) map.erase(map.begin());
  }
}

bool VEK_DependMap::depend(const VEK_Object* object, const VEK_Object* other) {
  if (object == nullptr || other == nullptr || object == other) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DependMap::depend()", kDependFile, 56);
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
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_DependMap::end()", kDependFile, 95);
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
  manager->free(dying);
  return result;
}
