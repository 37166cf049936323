#include "vek_memory.h"

VEK_Engine* VEK_ReadMemory::engine(const VEK_Header& header, const void* pointer, uint32_t size, uint32_t* counter,
                                   VEK_ReadMemoryCallback callback, uintptr_t user) {
  if (callback == static_cast<VEK_ReadMemoryCallback>(no_more_memory))
    return VEK_ReadByteArray(manager_).engine(header, pointer, size, counter);
  VEK_DstBuffer* destination = manager_->create_dst_buffer();
  VEK_ReadMemoryEngine* e = vek_new<VEK_ReadMemoryEngine>(manager_);
  return regist_engine(
      initiated(e, e != nullptr && e->initiate(&header, destination, pointer, size, counter, callback, user)), nullptr,
      destination);
}
