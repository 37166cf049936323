#include "vek_readjfif.h"

#include "vek_decodejpegengine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/jfif/source/vek_readjfif.cpp";
constexpr const char* kEngine = "VEK_ReadJFIF::engine()";
}  // namespace

VEK_Engine* VEK_ReadJFIF::engine(VEK_InputStorage* storage, uint32_t scale) {
  return vek_jpeg_load_then<VEK_JFIFInfo>(manager_, storage, kEngine, kFile, 61,
                                          [&](const VEK_JFIFInfo& info) { return engine(storage, info, scale); });
}

VEK_Engine* VEK_ReadJFIF::engine(VEK_InputStorage* storage, const VEK_JFIFInfo& info, uint32_t scale) {
  if (!info.is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kEngine, kFile, 79);
    return nullptr;
  }
  const bool grey = info.channels() == 1 && info.color_type() == VEK_ColorType_gray::instance();
  const bool ycbcr = info.channels() == 3 && info.color_type() == VEK_ColorType_ycbcr::instance();
  if (info.bits() != 8 || !(grey || ycbcr)) {
    vek_report(manager_, VEK_ERROR_COMPRESSED, "VEK_ReadJFIF::initiate()", kFile, 98);
    return nullptr;
  }
  return VEK_ReadJPEG(manager_).engine(storage, info, scale);
}
