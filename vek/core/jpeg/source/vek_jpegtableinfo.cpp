#include "vek_errorhandler.h"
#include "vek_readjpeg.h"

bool VEK_JPEGTableInfo::load(VEK_InputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_JPEGTableInfo::load()", "core/jpeg/source/vek_jpegtableinfo.cpp", 60);
    return false;
  }
  const int32_t position = storage->tell();
  internal_ = VEK_RefPointer<VEK_JPEGTableInfoInternal>(VEK_JPEGTableInfoInternal::create(manager_, storage));
  if (internal_) return true;
  storage->seek(position);
  return false;
}
