#pragma once
// Which engine writes which destination buffer, which engines write nothing, and which
// objects depend on which. An object is destroyed only when its last dependant has ended.

#include <cstdint>

#include "vek_list.h"
#include "vek_root.h"

class VEK_Object;
class VEK_Engine;
class VEK_DstBuffer;

class VEK_Relation {
 public:
  virtual bool clear() = 0;
  virtual uint32_t reserved(uint32_t, uint32_t) { return 0; }
  virtual VEK_Engine* regist(VEK_Engine* engine, VEK_DstBuffer* destination) = 0;
  virtual bool remove(VEK_Engine* engine) = 0;
  virtual VEK_Engine* engine_of(const VEK_Object* object) = 0;
  virtual bool depend(const VEK_Object* object, const VEK_Object* other) = 0;
  virtual bool end(const VEK_Object* object) = 0;
  virtual ~VEK_Relation() = default;
};

class VEK_EngDstTable {
 public:
  explicit VEK_EngDstTable(VEK_Manager* manager) : sinks_(manager), writers_(manager) {}
  virtual ~VEK_EngDstTable() { clear(); }

  bool regist(VEK_Engine* engine, const VEK_DstBuffer* destination);
  bool remove(VEK_Engine* engine);
  VEK_Engine* engine_of(const VEK_Object* destination) const;
  // Sinks first, in registration order, then writers by destination address.
  void clear();
  bool empty() const { return sinks_.items().empty() && writers_.items().empty(); }

 private:
  VEK_List<VEK_Engine*> sinks_;
  VEK_Map<const VEK_Object*, VEK_Engine*> writers_;
};

class VEK_DependMap {
 public:
  struct KeyType {
    const VEK_Object* object;
    uint32_t index;
    bool operator<(const KeyType& o) const { return object != o.object ? object < o.object : index < o.index; }
  };

  explicit VEK_DependMap(VEK_Manager* manager) : manager_(manager), dependencies_(manager), counts_(manager) {}
  virtual ~VEK_DependMap() = default;

  bool depend(const VEK_Object* object, const VEK_Object* other);
  bool end(const VEK_Object* object);
  uint32_t dependents(const VEK_Object* object) const;
  bool empty() const { return dependencies_.items().empty() && counts_.items().empty(); }

 private:
  VEK_Manager* manager_;
  VEK_Map<KeyType, const VEK_Object*> dependencies_;
  VEK_Map<const VEK_Object*, uint32_t> counts_;
};

class VEK_RelationForST : public VEK_Relation {
 public:
  explicit VEK_RelationForST(VEK_Manager* manager) : manager_(manager), table_(manager), depends_(manager) {}
  ~VEK_RelationForST() override { table_.clear(); }

  bool clear() override {
    table_.clear();
    return true;
  }
  VEK_Engine* regist(VEK_Engine* engine, VEK_DstBuffer* destination) override;
  bool remove(VEK_Engine* engine) override { return table_.remove(engine); }
  VEK_Engine* engine_of(const VEK_Object* object) override { return table_.engine_of(object); }
  bool depend(const VEK_Object* object, const VEK_Object* other) override { return depends_.depend(object, other); }
  bool end(const VEK_Object* object) override { return depends_.end(object); }

  bool empty() const { return table_.empty() && depends_.empty(); }
  uint32_t dependents(const VEK_Object* object) const { return depends_.dependents(object); }

 private:
  VEK_Manager* manager_;
  VEK_EngDstTable table_;
  VEK_DependMap depends_;
};
