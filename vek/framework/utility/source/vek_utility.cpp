#include "vek_manager.h"
#include "vek_root.h"

bool VEK_Utility::destroy() {
  VEK_Manager* manager = manager_;
  this->~VEK_Utility();
  if (manager != nullptr) manager->free(this);
  return true;
}

void vek_report(VEK_Manager* manager, uint32_t code, const char* method, const char* file, uint32_t line) {
  if (manager != nullptr) manager->report(code, method, file, line);
}
