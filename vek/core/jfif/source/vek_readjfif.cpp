#include "vek_readjfif.h"

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/jfif/source/vek_readjfif.cpp";
constexpr const char* kEngine = "VEK_ReadJFIF::engine()";
}  // namespace

VEK_Engine* VEK_ReadJFIF::engine(VEK_InputStorage* storage, uint32_t scale) {
  VEK_JFIFInfo info(manager_);
  if (!info.load(storage)) {
    vek_report(manager_, VEK_ERROR_READER, kEngine, kFile, 61);
    return nullptr;
  }
  return engine(storage, info, scale);
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
