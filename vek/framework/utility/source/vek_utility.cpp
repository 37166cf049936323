#include "vek_manager.h"
#include "vek_root.h"

bool VEK_Utility::destroy() {
  VEK_Manager* manager = manager_;
  // The allocation starts at the complete object, which need not be where this base sits.
  void* memory = dynamic_cast<void*>(this);
  this->~VEK_Utility();
  if (manager != nullptr) manager->free(memory);
  return true;
}

void vek_report(VEK_Manager* manager, uint32_t code, const char* method, const char* file, uint32_t line) {
  if (manager != nullptr) manager->report(code, method, file, line);
}
