#include "vek_errorhandler.h"
#include "vek_readjpeg.h"

namespace {
constexpr const char* kFile = "core/jpeg/source/vek_jpeginfo.cpp";
constexpr const char* kLoad = "VEK_JPEGInfo::load()";
}  // namespace

bool VEK_JPEGInfo::load(VEK_InputStorage* storage, const VEK_ColorType* color, const VEK_JPEGTableInfo* tables,
                        uint8_t option) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kLoad, kFile, 79);
    return false;
  }
  load_color_ = color;
  load_tables_ = tables;
  load_option_ = option;
  // The framework's load keeps the loaded flag and puts the storage back on failure.
  const bool loaded = VEK_FormatInfo::load(storage);
  load_color_ = nullptr;
  load_tables_ = nullptr;
  load_option_ = 0;
  return loaded;
}

bool VEK_JPEGInfo::format_load(VEK_InputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kLoad, kFile, 79);
    return false;
  }
  const VEK_ColorType* color = load_color_ != nullptr ? load_color_ : VEK_ColorType_unknown::instance();
  start_ = uint32_t(storage->tell());
  VEK_RefPointer<VEK_JPEGTableInfoInternal> shared;
  if (load_tables_ != nullptr && load_tables_->internal()) {
    shared = load_tables_->internal();
    tables_ = *load_tables_;
  }
  if (!vek_jpeg_hold(internal_, VEK_JPEGInfoInternal::create(manager_, storage, color, shared, load_option_)) ||
      !update()) {
    internal_.release();
    storage->seek(int32_t(start_));
    return false;
  }
  if (width() == 0) {
    vek_report(manager_, VEK_ERROR_COMPRESSED, kLoad, kFile, 113);
    internal_.release();
    storage->seek(int32_t(start_));
    return false;
  }
  return true;
}

bool VEK_JPEGInfo::update() {
  const VEK_JPEGInfoInternal* in = internal_.get();
  if (in == nullptr) return false;
  width(in->width());
  height(in->height());
  channels(uint16_t(in->component_count()));
  bits(uint16_t(in->sample_bits()));
  switch (in->output_color()) {
    case JPEG_COLOR_RGB:
      color_type(VEK_ColorType_s_rgb::instance());
      break;
    case JPEG_COLOR_YCBCR:
      color_type(VEK_ColorType_ycbcr::instance());
      break;
    case JPEG_COLOR_LAB_ITU:
      color_type(VEK_ColorType_itu_lab::instance());
      break;
    case JPEG_COLOR_GREY:
      color_type(VEK_ColorType_gray::instance());
      break;
    case JPEG_COLOR_GREY_REVERSED:
      color_type(VEK_ColorType_gray_reverse::instance());
      break;
    case JPEG_COLOR_LSTAR:
      color_type(VEK_ColorType_lstar::instance());
      break;
    case JPEG_COLOR_CMYK:
      color_type(VEK_ColorType_cmyk::instance());
      break;
    case JPEG_COLOR_CMY:
      color_type(VEK_ColorType_cmy::instance());
      break;
    case JPEG_COLOR_LAB_ICC:
      color_type(VEK_ColorType_icc_lab::instance());
      break;
    case JPEG_COLOR_NONE:
      // The stream says nothing about its colours: the channel count decides.
      if (channels() == 1)
        color_type(VEK_ColorType_gray::instance());
      else if (channels() == 3)
        color_type(in->is_lossless() ? VEK_ColorType_s_rgb::instance() : VEK_ColorType_ycbcr::instance());
      else if (channels() == 4)
        color_type(VEK_ColorType_cmyk::instance());
      else
        vek_report(manager_, VEK_ERROR_COMPRESSED, "VEK_JPEGInfo::update()", kFile, 168);
      break;
    default:
      color_type(VEK_ColorType_unknown::instance());
      break;
  }
  encode_type(VEK_EncodeType_jpeg::instance());
  has_jfif_ = in->has_jfif();
  has_exif_ = in->has_exif();
  has_g3fax_ = in->has_g3fax();
  has_adobe_ = in->has_adobe();
  return true;
}

uint32_t VEK_JPEGInfo::sampling_code() const { return internal_ ? internal_->sampling_code() : 0; }
bool VEK_JPEGInfo::is_progressive() const { return internal_ && internal_->is_progressive(); }
bool VEK_JPEGInfo::is_lossless() const { return internal_ && internal_->is_lossless(); }
bool VEK_JPEGInfo::is_separate_scan() const { return internal_ && internal_->is_separate_scan(); }
