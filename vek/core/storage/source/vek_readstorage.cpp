#include "vek_storageengine.h"

VEK_Engine* VEK_ReadStorage::engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t offset,
                                    int32_t line_gap, int32_t byte_order) {
  VEK_DstBuffer* destination = manager_->create_dst_buffer();
  VEK_ReadStorageEngine* e = vek_new<VEK_ReadStorageEngine>(manager_);
  return regist_engine(
      initiated(e, e != nullptr && e->initiate(storage, &header, destination, offset, line_gap, byte_order)), nullptr,
      destination);
}
