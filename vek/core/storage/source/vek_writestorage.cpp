#include "vek_errorhandler.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "core/storage/source/vek_writestorage.cpp";
}  // namespace

VEK_Engine* VEK_WriteStorage::engine(VEK_Engine* source, VEK_OutputStorage* storage, int32_t offset, int32_t pad,
                                     int32_t gap, int32_t byte_order) {
  if (!check_source(source, "VEK_WriteStorage::engine()", kFile, 50)) return nullptr;
  return create_sink<VEK_WriteStorageEngine>(source, storage, offset, pad, gap, byte_order);
}
