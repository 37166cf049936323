#include <cstring>

#include "vek_errorhandler.h"
#include "vek_jpeginfointernal.h"

namespace {
constexpr const char* kFile = "core/jpeg/source/vek_jpegtableinfointernal.cpp";
constexpr const char* kInitiate = "VEK_JPEGTableInfoInternal::initiate()";
}  // namespace

VEK_JPEGTableInfoInternal* VEK_JPEGTableInfoInternal::create(VEK_Manager* manager, VEK_InputStorage* storage) {
  return vek_create<VEK_JPEGTableInfoInternal>(manager, storage);
}

bool VEK_JPEGTableInfoInternal::initiate(VEK_InputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, 111);
    return false;
  }
  storage_ = storage;
  acquire();
  jpeg_status status = JPEG_OK;
  const jpeg_source from = source();
  decoder_ = jpeg_decoder_open(&from, allocator(), static_cast<VEK_JPEGCodecHolder*>(this), &status);
  if (decoder_ == nullptr) {
    report(status, "initiate()");
    return false;
  }
  // A tables-only stream ends its markers at EOI, which the header reader answers as a failure.
  if (jpeg_read_header(decoder_, JPEG_COLOR_YCBCR, 0, nullptr) == JPEG_ERR_NO_SOI) {
    vek_report(manager_, VEK_ERROR_DATA, kInitiate, kFile, 143);
    return false;
  }
  return true;
}

void VEK_JPEGTableInfoInternal::report(jpeg_status status, const char* step) const {
  // A tables-only stream is all the data there is: what would be invalid data elsewhere is broken here.
  if (status == JPEG_ERR_END_OF_INPUT)
    status = JPEG_ERR_DATA;
  else if (status == JPEG_ERR_DATA)
    status = JPEG_ERR_PRECISION;
  vek_jpeg_report_step(manager_, status, "VEK_JPEGTableInfoInternal::", step);
}
