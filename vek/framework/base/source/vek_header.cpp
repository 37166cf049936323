#include "vek_header.h"

#include <cstring>

#include "vek_manager.h"
#include "vek_status.h"

namespace {
constexpr const char* kFile = "framework/base/source/vek_header.cpp";
}

VEK_Header::VEK_Palette::~VEK_Palette() {
  if (data_ != nullptr && manager_ != nullptr) manager_->free(data_);
  data_ = nullptr;
}

bool VEK_Header::VEK_Palette::operator=(const VEK_Palette& other) {
  if (this == &other) return true;
  bits_ = other.bits_;
  channels_ = other.channels_;
  entries_ = other.entries_;
  const uint64_t size = byte_size();
  if (size > UINT32_MAX)
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_Header::VEK_Palette::value()", kFile, 181);
  else if (value(other.data_, static_cast<uint32_t>(size)))
    return true;
  // Old data under the new geometry could be read past its end: drop it.
  if (data_ != nullptr) manager_->free(data_);
  data_ = nullptr;
  return false;
}

bool VEK_Header::VEK_Palette::value(const void* data, uint32_t size) {
  const bool both_set = data != nullptr && size != 0;
  const bool both_empty = data == nullptr && size == 0;
  if (!(both_set || both_empty) || uint64_t(size) != byte_size()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_Header::VEK_Palette::value()", kFile, 181);
    return false;
  }
  if (data_ != nullptr) manager_->free(data_);
  data_ = nullptr;
  if (size == 0) return true;
  data_ = static_cast<uint8_t*>(manager_->allocate(size));
  if (data_ == nullptr) return false;
  std::memcpy(data_, data, size);
  return true;
}

bool VEK_Header::VEK_Palette::is_valid() const {
  if (empty()) return true;
  return (bits_ == 8 || bits_ == 16) && channels_ >= 1 && entries_ >= 1 && entries_ <= 65536 && data_ != nullptr;
}

bool VEK_Header::operator=(const VEK_Header& other) {
  if (this == &other) return true;
  if (!(palette_ = other.palette_)) return false;
  width_ = other.width_;
  height_ = other.height_;
  bits_ = other.bits_;
  channels_ = other.channels_;
  data_type_ = other.data_type_;
  encode_type_ = other.encode_type_;
  color_type_ = other.color_type_;
  return true;
}

void VEK_Header::data_type(const VEK_DataType* type) {
  if (type == nullptr) return vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_Header::data_type()", kFile, 376);
  data_type_ = type;
}

void VEK_Header::encode_type(const VEK_EncodeType* type) {
  if (type == nullptr) return vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_Header::encode_type()", kFile, 391);
  encode_type_ = type;
}

void VEK_Header::color_type(const VEK_ColorType* type) {
  if (type == nullptr) return vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_Header::color_type()", kFile, 406);
  color_type_ = type;
}

bool VEK_Header::is_valid() const {
  if (width_ == 0 || height_ == 0 || !palette_.is_valid()) return false;
  if (line_bytes(width_, bits_, channels_) > UINT32_MAX) return false;
  if (palette_.empty()) return data_type_->is_valid_bits(bits_) && color_type_->is_valid_channels(channels_);
  if (data_type_ != VEK_DataType::u_integer || channels_ != 1) return false;
  if (!color_type_->is_valid_channels(palette_.channels())) return false;
  switch (bits_) {
    case 1:
      return palette_.entries() <= 2;
    case 2:
      return palette_.entries() <= 4;
    case 4:
      return palette_.entries() <= 16;
    case 8:
      return palette_.entries() <= 256;
    case 16:
      return palette_.entries() <= 65536;
    default:
      return false;
  }
}
