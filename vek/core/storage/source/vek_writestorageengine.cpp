#include "vek_errorhandler.h"
#include "vek_memory.h"
#include "vek_storageengine.h"

namespace {
constexpr const char* kFile = "core/storage/source/vek_writestorageengine.cpp";
}  // namespace

bool VEK_WriteStorageEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_OutputStorage* storage,
                                      int32_t offset, int32_t pad, int32_t gap, int32_t byte_order) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_WriteStorageEngine::initiate()", kFile, 59);
    return false;
  }
  if (!VEK_WriteEngine::initiate(header, source, storage)) return false;
  if (offset < 0 || pad < 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_WriteStorageEngine::initiate()", kFile, 68);
    return false;
  }
  pad_ = pad;
  gap_ = gap;
  height_ = header->height();
  raw_ = VEK_EncodeType::is_raw(header->encode_type());
  sample_bytes_ = uint16_t((header->bits() + 7u) / 8u);
  byte_order_ = byte_order;
  mask_ = vek_last_byte_mask(*header);
  // seek stops at the written end and still answers true: check where it got to.
  if (!storage_->seek(offset) || storage_->tell() != offset) {
    if (!storage_->to_end()) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::initiate()", kFile, 95);
      return false;
    }
    const int32_t missing = offset - storage_->tell();
    if (missing < 0 || storage_->advance(missing) != missing) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::initiate()", kFile, 91);
      return false;
    }
  }
  const uint32_t n = raw_ ? header->line_bytes() : manager_->block_bytes();
  if (!src_->block_bytes(n)) return false;
  line_ = static_cast<uint8_t*>(manager_->allocate(n));
  return line_ != nullptr;
}

bool VEK_WriteStorageEngine::terminate() {
  if (line_ != nullptr) manager_->free(line_);
  line_ = nullptr;
  return VEK_WriteEngine::terminate();
}

bool VEK_WriteStorageEngine::execute() {
  if (raw_ && lines_ >= height_) return false;
  uint32_t got = 0;
  if (!src_->get(line_, &got) || got == 0) return false;
  if (lines_ != 0 && gap_ != 0) {
    const int32_t moved = storage_->skip(gap_);
    if (moved != gap_ && storage_->advance(gap_ - moved) != gap_ - moved) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::execute()", kFile, 154);
      return false;
    }
  }
  if (raw_) {
    if (got != src_->block_bytes()) {
      vek_report(manager_, VEK_ERROR_DATA, "VEK_WriteStorageEngine::execute()", kFile, 163);
      return false;
    }
    if (mask_ != 0xFF) line_[got - 1] &= mask_;
    if (byte_order_ != 1) reverse_.convert_samples(line_, got, sample_bytes_);
  }
  if (uint32_t(storage_->write(line_, int32_t(got))) != got) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::execute()", kFile, 183);
    return false;
  }
  for (int32_t i = 0; i < pad_; ++i)
    if (storage_->put(0) == -1) {
      vek_report(manager_, VEK_ERROR_IO, "VEK_WriteStorageEngine::execute()", kFile, 192);
      return false;
    }
  ++lines_;
  return src_->release();
}
