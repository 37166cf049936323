#include "vek_jpeginfointernal.h"

#include <cstring>

#include "vek_errorhandler.h"
#include "vek_manager.h"

namespace {
constexpr const char* kFile = "core/jpeg/source/vek_jpeginfointernal.cpp";

// Some segment of the marker, at least minimum bytes long, starts with the signature.
bool has_segment(const jpeg_decoder* decoder, uint32_t marker, uint32_t minimum, const char* signature,
                 uint32_t signature_bytes) {
  const uint32_t n = jpeg_segment_count(decoder);
  for (uint32_t i = 0; i < n; ++i) {
    const jpeg_app_segment* s = jpeg_segment_at(decoder, i);
    if (s != nullptr && s->marker == marker && s->length >= minimum && s->data != nullptr &&
        std::memcmp(s->data, signature, signature_bytes) == 0)
      return true;
  }
  return false;
}
}  // namespace

const jpeg_allocator* VEK_JPEGCodecHolder::allocator() {
  static const jpeg_allocator manager_allocator{&jpeg_manager_alloc, &jpeg_manager_free};
  return &manager_allocator;
}

jpeg_source VEK_JPEGCodecHolder::source() {
  return jpeg_source{&jpeg_source_get_byte, &jpeg_source_read, &jpeg_source_tell, &jpeg_source_seek, nullptr};
}

void VEK_JPEGCodecHolder::acquire() {
  jpeg_codec_lock();
  // The range-limit table outlives this holder and its manager (managers live on their
  // callers' stacks): it comes from the C heap, whoever makes it.
  jpeg_codec_acquire(nullptr, nullptr);
  jpeg_codec_unlock();
  acquired_ = true;
}

bool VEK_JPEGCodecHolder::terminate() {
  jpeg_decoder_destroy(decoder_);
  decoder_ = nullptr;
  if (acquired_) {
    jpeg_codec_lock();
    jpeg_codec_release(nullptr, nullptr);
    jpeg_codec_unlock();
    acquired_ = false;
  }
  return true;
}

VEK_JPEGInfoInternal::~VEK_JPEGInfoInternal() = default;

VEK_JPEGInfoInternal* VEK_JPEGInfoInternal::create(VEK_Manager* manager, VEK_InputStorage* storage,
                                                   const VEK_ColorType* color,
                                                   VEK_RefPointer<VEK_JPEGTableInfoInternal> tables, uint8_t option) {
  return vek_create<VEK_JPEGInfoInternal>(manager, storage, color, tables, option);
}

bool VEK_JPEGInfoInternal::initiate(VEK_InputStorage* storage, const VEK_ColorType* color,
                                    const VEK_RefPointer<VEK_JPEGTableInfoInternal>& tables, uint8_t option) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_JPEGInfoInternal::initiate()", kFile, 192);
    return false;
  }
  acquire();
  tables_ = tables;
  return get_jpeginfo(storage, color, option);
}

bool VEK_JPEGInfoInternal::get_jpeginfo(VEK_InputStorage* storage, const VEK_ColorType* color, uint8_t option) {
  storage_ = storage;
  jpeg_status status = JPEG_OK;
  const jpeg_source from = source();
  decoder_ = jpeg_decoder_open(&from, allocator(), static_cast<VEK_JPEGCodecHolder*>(this), &status);
  if (decoder_ == nullptr) {
    report(status, "get_jpeginfo()");
    return false;
  }
  const jpeg_decoder* donor = tables_ ? tables_->decoder() : nullptr;
  // The entropy data may run to the end of the storage, and no further.
  const int64_t rest = int64_t(storage->size()) - storage->tell();
  status = jpeg_read_header(decoder_, jpeg_color_code(color), uint32_t(rest > 0 ? rest : 0), donor);
  if (status != JPEG_OK) report(status, "get_jpeginfo()");
  if (status < 1) return false;
  jpeg_set_luminance_only(decoder_, 0);
  jpeg_set_line_count(decoder_, option);
  status = jpeg_set_scale(decoder_, 1);
  if (status < 1) {
    report(status, "get_jpeginfo()");
    return false;
  }
  return true;
}

bool VEK_JPEGInfoInternal::has_jfif() const { return has_segment(decoder_, 0xE0, 5, "JFIF", 5); }
bool VEK_JPEGInfoInternal::has_exif() const { return has_segment(decoder_, 0xE1, 6, "Exif", 4); }
bool VEK_JPEGInfoInternal::has_g3fax() const { return has_segment(decoder_, 0xE1, 10, "G3FAX", 6); }
bool VEK_JPEGInfoInternal::has_adobe() const { return has_segment(decoder_, 0xEE, 12, "Adobe", 5); }

void VEK_JPEGInfoInternal::report(jpeg_status status, const char* step) const {
  vek_jpeg_report_step(manager_, status == JPEG_ERR_END_OF_INPUT ? JPEG_ERR_DATA : status,
                       "VEK_JPEGInfoInternal::", step);
}
