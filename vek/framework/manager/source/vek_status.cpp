#include <cstring>

#include "vek_errorhandler.h"

namespace {

void copy_text(char (&to)[256], const char* from) {
  size_t n = 0;
  if (from != nullptr)
    while (n < 255 && from[n] != 0) ++n;
  std::memcpy(to, from, n);
  to[n] = 0;
}

// The file's own name: the part after the last '/' or '\', whichever comes later.
const char* file_name_of(const char* path) {
  if (path == nullptr) return "";
  const char* name = path;
  for (const char* p = path; *p != 0; ++p)
    if (*p == '/' || *p == '\\') name = p + 1;
  return name;
}

}  // namespace

VEK_Status::VEK_Status(VEK_Manager* manager) : VEK_Utility(manager) {}

VEK_Status::VEK_Status(VEK_Manager* manager, uint32_t code, const char* method, const char* file, uint32_t line)
    : VEK_Utility(manager), code_(code), line_(line) {
  copy_text(method_, method);
  copy_text(file_, file_name_of(file));
}

VEK_Status::VEK_Status(const VEK_Status& other) : VEK_Utility(other.manager_) { *this = other; }

VEK_Status& VEK_Status::operator=(const VEK_Status& other) {
  if (this == &other) return *this;
  code_ = other.code_;
  copy_text(method_, other.method_);
  copy_text(file_, other.file_);
  line_ = other.line_;
  return *this;
}

VEK_FirstErrorHandler::VEK_FirstErrorHandler(VEK_Manager* manager) : manager_(manager), status_(manager) {}

void VEK_FirstErrorHandler::report(uint32_t code, const char* method, const char* file, uint32_t line) {
  if (code == 0 || method == nullptr || method[0] == 0) return;
  std::lock_guard<VEK_Mutex> hold(mutex_);
  const uint32_t stored = status_.full_code();
  if (vek_is_error(stored)) return;
  if (stored == 0 || (vek_is_warning(stored) && vek_is_error(code)))
    status_ = VEK_Status(manager_, code, method, file, line);
}

bool VEK_FirstErrorHandler::clear() {
  std::lock_guard<VEK_Mutex> hold(mutex_);
  status_ = VEK_Status(manager_);
  return true;
}
