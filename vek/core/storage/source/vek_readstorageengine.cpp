#include <algorithm>

#include "vek_errorhandler.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "core/storage/source/vek_readstorageengine.cpp";
}  // namespace

bool VEK_ReadStorageEngine::initiate(VEK_InputStorage* storage, const VEK_Header* header, VEK_DstBuffer* destination,
                                     int32_t offset, int32_t line_gap, int32_t byte_order) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ReadStorageEngine::initiate()", kFile, 52);
    return false;
  }
  if (!VEK_ReadEngine::initiate(storage, header, destination)) return false;
  if (offset < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_ReadStorageEngine::initiate()", kFile, 61);
    return false;
  }
  line_gap_ = line_gap;
  byte_order_ = byte_order;
  sample_bytes_ = (header->bits() + 7u) / 8u;
  // Some storages clamp a seek past their end and still answer true: the data is not there.
  if (!storage_->seek(offset) || storage_->tell() != offset) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageEngine::initiate()", kFile, 72);
    return false;
  }
  const bool raw = VEK_EncodeType::is_raw(out_header_.encode_type());
  return dst_->block_bytes(raw ? out_header_.line_bytes() : manager_->block_bytes());
}

bool VEK_ReadStorageEngine::execute() {
  const bool raw = VEK_EncodeType::is_raw(out_header_.encode_type());
  if (raw && lines_ >= out_header_.height()) return false;
  const uint32_t n = dst_->block_bytes();
  uint8_t* block = static_cast<uint8_t*>(dst_->get());
  if (block == nullptr) return false;
  if (lines_ != 0 && line_gap_ != 0 && storage_->skip(line_gap_) != line_gap_) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageEngine::execute()", kFile, 112);
    dst_->release(0);
    return false;
  }
  const int32_t got = storage_->read(block, int32_t(std::min<uint32_t>(n, INT32_MAX)));
  if (raw) {
    if (got < 0 || uint32_t(got) < n) {
      vek_report(manager_, VEK_ERROR_DATA, "VEK_ReadStorageEngine::execute()", kFile, 123);
      dst_->release(0);
      return false;
    }
    if (byte_order_ != 1) reverse_.convert_samples(block, n, sample_bytes_);
  } else if (got <= 0) {
    dst_->release(0);
    return false;
  }
  ++lines_;
  return dst_->release(uint32_t(got));
}
