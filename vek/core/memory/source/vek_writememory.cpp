#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_writememory.cpp";
}  // namespace

bool no_more_memory(VEK_WriteMemoryCallbackInfo*) { return false; }
bool no_more_memory(VEK_ReadMemoryCallbackInfo*) { return false; }

uint8_t vek_last_byte_mask(const VEK_Header& header) {
  if (!VEK_EncodeType::is_raw(header.encode_type()) || header.bits() != 1) return 0xFF;
  const uint32_t r = uint32_t((uint64_t(header.channels()) * header.width()) % 8);
  return r == 0 ? 0xFF : uint8_t(0xFFu << (8 - r));
}

VEK_Engine* VEK_WriteMemory::engine(VEK_Engine* source, void* pointer, uint32_t size, uint32_t* counter,
                                    VEK_WriteMemoryCallback callback, uintptr_t user) {
  if (!check_source(source, "VEK_WriteMemory::engine()", kFile, 51)) return nullptr;
  if (callback == static_cast<VEK_WriteMemoryCallback>(no_more_memory) &&
      VEK_EncodeType::is_raw(source->header()->encode_type()))
    return VEK_WriteRawByteArray(manager_).engine(source, pointer, size, counter);
  return create_sink<VEK_WriteMemoryEngine>(source, pointer, size, counter, callback, user);
}
