#include "vek_formatinfo.h"

#include "vek_errorhandler.h"
#include "vek_storage.h"

bool VEK_FormatInfo::load(VEK_InputStorage* storage) {
  loaded_ = false;
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_FormatInfo::load()", "framework/engine/source/vek_formatinfo.cpp",
               34);
    return false;
  }
  const int32_t position = storage->tell();
  if (format_load(storage)) {
    loaded_ = true;
    return true;
  }
  storage->seek(position);
  return false;
}
