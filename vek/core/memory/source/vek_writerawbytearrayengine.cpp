#include "vek_errorhandler.h"
#include "vek_memory.h"

namespace {
constexpr const char* kFile = "core/memory/source/vek_writerawbytearrayengine.cpp";
constexpr const char* kInitiate = "VEK_WriteRawByteArrayEngine::initiate()";
constexpr const char* kExecute = "VEK_WriteRawByteArrayEngine::execute()";
}  // namespace

bool VEK_WriteRawByteArrayEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, void* pointer,
                                           uint32_t size, uint32_t* counter) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, 55);
    return false;
  }
  if (!VEK_AnalyzeEngine::initiate(header, source)) return false;
  if (!VEK_EncodeType::is_raw(header->encode_type())) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, 64);
    return false;
  }
  if (pointer == nullptr || size == 0) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, 70);
    return false;
  }
  position_ = static_cast<uint8_t*>(pointer);
  room_ = size;
  line_count_ = header->height();
  mask_ = vek_last_byte_mask(*header);
  counter_ = counter != nullptr ? counter : &own_counter_;
  *counter_ = 0;
  const uint64_t image = uint64_t(header->line_bytes()) * header->height();
  too_small_ = room_ < image;
  if (mask_ != 0xFF) return src_->block_bytes(header->line_bytes());
  if (image > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  return src_->block_bytes(uint32_t(image));
}

bool VEK_WriteRawByteArrayEngine::execute() {
  ++calls_;
  if (mask_ == 0xFF) {
    if (calls_ != 1) return false;
    if (too_small_) {
      vek_report(manager_, VEK_ERROR_IO, kExecute, kFile, 146);
      return false;
    }
    // The chain writes straight into the caller's memory.
    uint32_t got = 0;
    if (!src_->get(position_, &got)) return false;
    *counter_ = got;
    return src_->release();
  }
  if (calls_ > line_count_) return false;
  const uint32_t line = src_->block_bytes();
  if (line > room_) {
    vek_report(manager_, VEK_ERROR_IO, kExecute, kFile, 119);
    return false;
  }
  uint32_t got = 0;
  if (!src_->get(position_, &got) || got == 0) return false;
  position_ += got;
  room_ -= got;
  *counter_ += got;
  position_[-1] &= mask_;
  return src_->release();
}
