#include "vek_errorhandler.h"
#include "vek_readjfif.h"

bool VEK_JFIFInfo::format_load(VEK_InputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_JFIFInfo::load()", "core/jfif/source/vek_jfifinfo.cpp", 70);
    return false;
  }
  const int32_t position = storage->tell();
  if (!VEK_JPEGInfo::format_load(storage)) return false;
  if (!has_jfif()) {
    // Not an error: the caller goes on with the plain JPEG reader from the same place.
    storage->seek(position);
    return false;
  }
  resolution_x_ = internal()->density_x();
  resolution_y_ = internal()->density_y();
  color_type(channels() == 3 ? VEK_ColorType_ycbcr::instance() : VEK_ColorType_gray::instance());
  resolution().resolution(double(resolution_x_), double(resolution_y_), 1);
  return true;
}
