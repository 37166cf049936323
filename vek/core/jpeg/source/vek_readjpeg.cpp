#include "vek_readjpeg.h"

#include "vek_decodejpegengine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/jpeg/source/vek_readjpeg.cpp";
constexpr const char* kEngine = "VEK_ReadJPEG::engine()";
}  // namespace

VEK_Engine* VEK_ReadJPEG::engine(VEK_InputStorage* storage, uint32_t scale) {
  return vek_jpeg_load_then<VEK_JPEGInfo>(manager_, storage, kEngine, kFile, 47,
                                          [&](const VEK_JPEGInfo& info) { return engine(storage, info, scale); });
}

VEK_Engine* VEK_ReadJPEG::engine(VEK_InputStorage* storage, const VEK_JPEGInfo& info, uint32_t scale) {
  if (!info.is_valid() || storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 65);
    return nullptr;
  }
  return vek_decode_jpeg_engine(this, storage, info, scale);
}
