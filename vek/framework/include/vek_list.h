#pragma once
// List and ordered map whose nodes come from the manager. A refused node leaves the
// container unchanged and answers false.

#include <functional>
#include <list>
#include <map>

#include "vek_allocator.h"
#include "vek_root.h"

template <class T>
class VEK_List : public VEK_Utility {
 public:
  using List = std::list<T, VEK_Allocator<T>>;
  explicit VEK_List(VEK_Manager* manager) : VEK_Utility(manager), list_(VEK_Allocator<T>(manager)) {}

  bool push_back(const T& value) {
    try {
      list_.push_back(value);
      return true;
    } catch (...) {
      return false;
    }
  }
  List& items() { return list_; }
  const List& items() const { return list_; }

 private:
  List list_;
};

template <class K, class V, class C = std::less<K>>
class VEK_Map : public VEK_Utility {
 public:
  using Map = std::map<K, V, C, VEK_Allocator<std::pair<const K, V>>>;
  explicit VEK_Map(VEK_Manager* manager)
      : VEK_Utility(manager), map_(C(), VEK_Allocator<std::pair<const K, V>>(manager)) {}

  // False when the key is present already or no node could be had.
  bool insert(const K& key, const V& value) {
    try {
      return map_.emplace(key, value).second;
    } catch (...) {
      return false;
    }
  }
  Map& items() { return map_; }
  const Map& items() const { return map_; }

 private:
  Map map_;
};
