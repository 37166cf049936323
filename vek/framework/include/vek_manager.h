#pragma once
// The manager every library object is made through: memory, error reports, the workflow
// that makes destination buffers and runs engines, and the relation table that knows
// which engine writes which buffer and which object depends on which.

#include <cstdint>

#include "vek_memorymanager.h"

class VEK_Status;
class VEK_Object;
class VEK_Engine;
class VEK_DstBuffer;

class VEK_Manager : public VEK_MemoryManager {
 public:
  // The end of a job: the stored record goes to out, everything the job made is torn down
  // and the handler is cleared. True unless out holds an error.
  virtual bool status(VEK_Status& out) = 0;
  // One step of the engine that writes object.
  virtual bool execute(const VEK_Object* object) = 0;

  // Error-handler table.
  virtual const VEK_Status& status() const = 0;
  virtual void report(uint32_t code, const char* method, const char* file, uint32_t line) = 0;
  void report(uint32_t code, const char* method) { report(code, method, "", 0); }

  // Workflow table.
  virtual VEK_DstBuffer* create_dst_buffer() = 0;
  virtual uint32_t block_bytes() = 0;

  // Relation table. clear() takes the status and drops it: ready for the next job.
  virtual bool clear() = 0;
  virtual VEK_Engine* regist(VEK_Engine* engine, VEK_DstBuffer* destination) = 0;
  virtual bool remove(VEK_Engine* engine) = 0;
  virtual VEK_Engine* engine_of(const VEK_Object* object) = 0;
  virtual bool depend(const VEK_Object* object, const VEK_Object* other) = 0;
  virtual bool end(const VEK_Object* object) = 0;
};
