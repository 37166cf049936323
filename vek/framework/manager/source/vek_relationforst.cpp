#include "vek_relation.h"

#include "vek_engine.h"

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
