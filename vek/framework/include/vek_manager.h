#pragma once
// The manager every library object is made through: memory, error reports and, for
// engine jobs, the workflow and relation table.

#include <cstdint>

#include "vek_memorymanager.h"

class VEK_Status;

class VEK_Manager : public VEK_MemoryManager {
 public:
  // Error-handler table.
  virtual const VEK_Status& status() const = 0;
  virtual void report(uint32_t code, const char* method, const char* file, uint32_t line) = 0;
  void report(uint32_t code, const char* method) { report(code, method, "", 0); }

  // The end of a job: the stored record goes to out, everything the job made is torn down
  // and the handler is cleared. True unless out holds an error.
  virtual bool status(VEK_Status& out) = 0;
};
