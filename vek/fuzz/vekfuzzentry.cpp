#include "vekfuzzentry.h"

#include "vek_dicominfo.h"
#include "vek_managerimpl.h"
#include "vek_memorystorage.h"

int VekFuzzLoadDICOMInfo(const uint8_t* data, size_t size) {
  if (size > INT32_MAX) return 0;
  VEK_DefaultManager manager;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&manager, data, int32_t(size));
  if (storage == nullptr) return 0;
  {
    VEK_DICOMInfo info(&manager);
    if (info.load(storage)) {
      volatile uint64_t sum = info.width() + info.height() + info.palette().entries();
      for (uint32_t k = 0; k <= info.frame_count(); ++k) {
        const VEK_Vector<unsigned int> positions = info.get_frame_positions(k);
        const VEK_Vector<unsigned int> lengths = info.get_frame_lengths(k);
        for (uint32_t i = 0; i < positions.size() && i < lengths.size(); ++i) sum = sum + positions[i] + lengths[i];
      }
      VEK_Vector<VEK_DICOMTagObj::VEK_DICOMTagInfo> tags(&manager);
      info.get_tag_infos(tags);
      (void)sum;
    }
  }
  storage->destroy();
  manager.clear();
  return 0;
}
