#pragma once
// Status records and the first-error handler.

#include <cstdint>

#include "vek_mutex.h"
#include "vek_root.h"
#include "vek_status.h"

class VEK_Status : public VEK_Utility {
 public:
  explicit VEK_Status(VEK_Manager* manager);
  VEK_Status(VEK_Manager* manager, uint32_t code, const char* method, const char* file, uint32_t line);
  VEK_Status(const VEK_Status& other);
  VEK_Status& operator=(const VEK_Status& other);

  // The code without its detail bits.
  uint32_t code() const { return code_ & 0xFFFF0000u; }
  uint32_t full_code() const { return code_; }
  const char* method() const { return method_; }
  const char* file() const { return file_; }
  uint32_t line() const { return line_; }

 private:
  uint32_t code_ = 0;
  char method_[256] = {};
  char file_[256] = {};
  uint32_t line_ = 0;
};

class VEK_ErrorHandler {
 public:
  virtual const VEK_Status& status() const = 0;
  virtual void report(uint32_t code, const char* method, const char* file, uint32_t line) = 0;
  void report(uint32_t code, const char* method) { report(code, method, "", 0); }
  virtual bool clear() = 0;
  virtual ~VEK_ErrorHandler() = default;
};

// Keeps the first report; a stored warning gives way to the first later error.
class VEK_FirstErrorHandler : public VEK_ErrorHandler {
 public:
  explicit VEK_FirstErrorHandler(VEK_Manager* manager);
  const VEK_Status& status() const override { return status_; }
  void report(uint32_t code, const char* method, const char* file, uint32_t line) override;
  using VEK_ErrorHandler::report;
  bool clear() override;

 private:
  VEK_Manager* manager_;
  VEK_Status status_;
  VEK_Mutex mutex_;
};
