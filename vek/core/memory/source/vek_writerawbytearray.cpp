#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_writerawbytearray.cpp";
}  // namespace

VEK_Engine* VEK_WriteRawByteArray::engine(VEK_Engine* source, void* pointer, uint32_t size, uint32_t* counter) {
  if (!check_source(source, "VEK_WriteRawByteArray::engine()", kFile, 68)) return nullptr;
  return create_sink<VEK_WriteRawByteArrayEngine>(source, pointer, size, counter);
}
