#include "vekjpegfuzzentry.h"

#include <vector>

#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readjfif.h"
#include "vek_readjpeg.h"

namespace {

// Images above this are not run: a frame header claiming more than the input can code is
// refused as its engine starts, so each reader is made whatever the size.
constexpr uint64_t kMaxImageBytes = 16u << 20;

void drain(VEK_Manager& manager, VEK_Engine* engine) {
  if (engine == nullptr) return;
  const VEK_Header* h = engine->header();
  const uint64_t bytes = uint64_t(h->line_bytes()) * h->height();
  if (bytes == 0 || bytes > kMaxImageBytes) return;
  std::vector<uint8_t> out(bytes);
  VEK_Engine* sink = VEK_WriteRawByteArray(&manager).engine(engine, out.data(), uint32_t(bytes));
  if (sink != nullptr)
    while (sink->execute()) {
    }
}

}  // namespace

int VekFuzzReadJPEG(const uint8_t* data, size_t size) {
  if (size < 1 || size > INT32_MAX) return 0;
  const uint8_t choice = data[0];
  const uint32_t scale = 256u >> ((choice >> 2) & 3);
  VEK_DefaultManager manager;
  auto* storage = vek_create<VEK_ByteArrayInputStorage>(&manager, data + 1, int32_t(size - 1));
  if (storage == nullptr) return 0;
  {
    VEK_JFIFInfo jfif(&manager);
    VEK_JPEGInfo jpeg(&manager);
    const int reader = choice & 3;
    VEK_JPEGInfo& info = reader == 1 ? jfif : jpeg;
    // Every reader loads its information first.
    if (info.load(storage)) {
      VEK_Engine* e = nullptr;
      if ((choice & 0x10) != 0)
        e = reader == 1   ? VEK_ReadJFIF(&manager).engine(storage, jfif, scale)
            : reader == 2 ? VEK_ReadLosslessJPEG(&manager).engine(storage, info)
                          : VEK_ReadJPEG(&manager).engine(storage, info, scale);
      else if (storage->seek(0))
        e = reader == 1   ? VEK_ReadJFIF(&manager).engine(storage, scale)
            : reader == 2 ? VEK_ReadLosslessJPEG(&manager).engine(storage)
                          : VEK_ReadJPEG(&manager).engine(storage, scale);
      drain(manager, e);
    }
  }
  storage->destroy();
  manager.clear();
  return 0;
}
