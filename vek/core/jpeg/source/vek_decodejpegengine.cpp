#include "vek_decodejpegengine.h"

#include "vek_errorhandler.h"
#include "vek_readjpeg.h"

namespace {
constexpr const char* kFile = "core/jpeg/source/vek_decodejpegengine.cpp";
constexpr const char* kInitiate = "VEK_DecodeJPEGEngine::initiate()";

bool listed(uint32_t code, std::initializer_list<uint32_t> codes) {
  for (uint32_t c : codes)
    if (c == code) return true;
  return false;
}

// Sampling layouts the lossy decoder handles; the second list only for sequential images.
bool sampling_accepted(const VEK_JPEGInfo& info) {
  const uint32_t code = info.sampling_code();
  if (listed(code, {0x111111, 0x211111, 0x221111, 0x411111, 0x121111, 0x421111, 0x241111, 0x141111, 0x11111111}))
    return true;
  return !info.is_progressive() && listed(code, {0x222121, 0x221212, 0x412121, 0x141212, 0x442222, 0x22111122});
}

// Reduced sizes come from the scaled transforms of plain 8-bit baseline images.
bool reduced_size_allowed(const VEK_JPEGInfo& info) {
  return listed(info.sampling_code(), {0x111111, 0x211111, 0x221111, 0x411111}) && !info.is_progressive() &&
         !info.is_separate_scan() && !info.is_lossless() && (info.channels() == 1 || info.channels() == 3) &&
         info.bits() == 8;
}

bool accepted(const VEK_JPEGInfo& info, uint32_t scale) {
  if (info.channels() != 1 && info.channels() != 3 && info.channels() != 4) return false;
  if (info.encode_type() != VEK_EncodeType_jpeg::instance() || info.data_type() != VEK_DataType::u_integer)
    return false;
  if (info.is_lossless()) return scale == 256 && (info.bits() == 8 || info.bits() == 16);
  return info.bits() == 8 && sampling_accepted(info) && (scale == 256 || reduced_size_allowed(info));
}
}  // namespace

VEK_DecodeJPEGEngine* VEK_DecodeJPEGEngine::create(VEK_Manager* manager, VEK_InputStorage* storage,
                                                   const VEK_JPEGInfo& info, VEK_DstBuffer* destination,
                                                   uint32_t scale) {
  return vek_create<VEK_DecodeJPEGEngine>(manager, storage, info, destination, scale);
}

bool VEK_DecodeJPEGEngine::initiate(VEK_InputStorage* storage, const VEK_JPEGInfo& info, VEK_DstBuffer* destination,
                                    uint32_t scale) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, 92);
    return false;
  }
  if (!VEK_ReadEngine::initiate(storage, &info, destination)) return false;
  // Anything else would divide by zero, or quietly decode at full size when less was asked for.
  if (scale != 256 && scale != 128 && scale != 64 && scale != 32) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, 99);
    return false;
  }
  if (!info.internal() || !accepted(info, scale)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, 105);
    return false;
  }
  internal_ = info.internal();
  internal_->set_scale(256 / scale);
  const jpeg_status status = internal_->start_decode();
  if (status < 1) {
    internal_->report(status, "initiate()");
    return false;
  }
  out_header_.encode_type(VEK_EncodeType_raw::instance());
  out_header_.width(internal_->width());
  out_header_.height(internal_->height());
  line_bytes_ = out_header_.line_bytes();
  return dst_->block_bytes(line_bytes_);
}

bool VEK_DecodeJPEGEngine::execute() {
  if (++line_ > out_header_.height()) return false;
  uint8_t* line = static_cast<uint8_t*>(dst_->get());
  if (line == nullptr) return false;
  const jpeg_status status = internal_->decode_row(line);
  if (status > JPEG_OK) vek_report(manager_, VEK_WARNING_DATA, "VEK_DecodeJPEGEngine::execute()", kFile, 160);
  if (status >= JPEG_OK) return dst_->release(line_bytes_);
  internal_->report(status, "execute()");
  return false;
}

bool VEK_DecodeJPEGEngine::terminate() {
  internal_.release();
  return VEK_ReadEngine::terminate();
}

VEK_Engine* vek_decode_jpeg_engine(VEK_EngineCreator* creator, VEK_InputStorage* storage, const VEK_JPEGInfo& info,
                                   uint32_t scale) {
  VEK_Manager* manager = creator->manager();
  VEK_DstBuffer* destination = manager->create_dst_buffer();
  VEK_Engine* engine =
      destination != nullptr ? VEK_DecodeJPEGEngine::create(manager, storage, info, destination, scale) : nullptr;
  return creator->regist_engine(engine, nullptr, destination);
}
