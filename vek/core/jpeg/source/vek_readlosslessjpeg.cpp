#include "vek_decodejpegengine.h"
#include "vek_errorhandler.h"
#include "vek_readjpeg.h"

namespace {
constexpr const char* kFile = "core/jpeg/source/vek_readlosslessjpeg.cpp";
constexpr const char* kEngine = "VEK_ReadLosslessJPEG::engine()";
}  // namespace

VEK_Engine* VEK_ReadLosslessJPEG::engine(VEK_InputStorage* storage) {
  return vek_jpeg_load_then<VEK_JPEGInfo>(manager_, storage, kEngine, kFile, 47,
                                          [&](const VEK_JPEGInfo& info) { return engine(storage, info); });
}

VEK_Engine* VEK_ReadLosslessJPEG::engine(VEK_InputStorage* storage, const VEK_JPEGInfo& info) {
  if (!info.is_valid() || storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 64);
    return nullptr;
  }
  if (!info.is_lossless()) {
    vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 70);
    return nullptr;
  }
  return vek_decode_jpeg_engine(this, storage, info, 256);
}
