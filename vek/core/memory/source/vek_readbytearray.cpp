#include "vek_memory.h"

VEK_Engine* VEK_ReadByteArray::engine(const VEK_Header& header, const void* pointer, uint32_t size, uint32_t* counter) {
  VEK_ByteArrayDstBuffer* buffer = vek_create<VEK_ByteArrayDstBuffer>(manager_, &header, pointer, size, counter);
  VEK_ReadByteArrayEngine* e = vek_new<VEK_ReadByteArrayEngine>(manager_);
  return regist_engine(initiated(e, e != nullptr && e->initiate(&header, buffer)), nullptr, buffer);
}
