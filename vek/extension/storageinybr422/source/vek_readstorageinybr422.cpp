#include "vek_readstorageinybr422engine.h"

VEK_Engine* VEK_ReadStorageInYBR422::engine(VEK_InputStorage* storage, const VEK_Header& header, int32_t byte_order) {
  return vek_ybr_member(header, [&](auto* tag) -> VEK_Engine* {
    using T = std::remove_pointer_t<decltype(tag)>;
    VEK_DstBuffer* destination = manager_->create_dst_buffer();
    auto* e = vek_new<VEK_ReadStorageInYBR422Engine<T>>(manager_);
    return regist_engine(initiated(e, e != nullptr && e->initiate(storage, &header, destination, byte_order)), nullptr,
                         destination);
  });
}
