#include "vek_errorhandler.h"
#include "vek_readjpeg.h"

bool VEK_JPEGTableInfo::load(VEK_InputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_JPEGTableInfo::load()", "core/jpeg/source/vek_jpegtableinfo.cpp", 60);
    return false;
  }
  const int32_t position = storage->tell();
  if (vek_jpeg_hold(internal_, VEK_JPEGTableInfoInternal::create(manager_, storage))) return true;
  storage->seek(position);
  return false;
}
