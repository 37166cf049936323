#include <algorithm>
#include <cstdio>

#include "jpeg/jpegdecode.h"
#include "vek_errorhandler.h"
#include "vek_jpeginfointernal.h"
#include "vek_manager.h"
#include "vek_mutex.h"

namespace {
// Guarded by the codec lock.
uint32_t g_codec_references = 0;

VEK_JPEGCodecHolder* holder(void* object) { return static_cast<VEK_JPEGCodecHolder*>(object); }
}  // namespace

void jpeg_codec_lock() { vek_global_mutex.lock(); }
void jpeg_codec_unlock() { vek_global_mutex.unlock(); }

jpeg_status jpeg_codec_acquire(const jpeg_allocator* allocator, void* user) {
  jpeg_cpu_init();
  ++g_codec_references;
  // Also after the first reference: a table that could not be made then is made now.
  return jpeg_range_table_create(allocator, user);
}

void jpeg_codec_release(const jpeg_allocator* allocator, void* user) {
  if (g_codec_references == 0) return;
  if (--g_codec_references == 0) jpeg_range_table_release(allocator, user);
}

void* jpeg_manager_alloc(void* object, uint32_t size) { return holder(object)->manager()->allocate(size); }

void jpeg_manager_free(void* object, void* pointer) { holder(object)->manager()->free(pointer); }

int32_t jpeg_source_get_byte(void* object) { return holder(object)->storage()->get(); }

int32_t jpeg_source_read(void* object, uint8_t* buffer, uint32_t count) {
  return holder(object)->storage()->read(buffer, int32_t(std::min<uint32_t>(count, INT32_MAX)));
}

int64_t jpeg_source_tell(void* object) { return holder(object)->storage()->tell(); }

// The position reached: the codec compares it with the one it asked for, and a storage that
// stops short (its end) never answers with a negative failure.
int64_t jpeg_source_seek(void* object, int64_t position) {
  VEK_InputStorage* storage = holder(object)->storage();
  storage->seek(int32_t(std::clamp<int64_t>(position, 0, INT32_MAX)));
  return std::max<int32_t>(storage->tell(), 0);
}

void jpeg_report_status(VEK_Manager* manager, jpeg_status status, const char* method) {
  uint32_t code = VEK_ERROR;
  switch (status) {
    case JPEG_OK:
    case JPEG_ERR_MEMORY:  // the manager has reported the refused allocation
    case JPEG_ERR_NO_SOI:
    case JPEG_ERR_MARKER_IN_DATA:
      return;
    case JPEG_ERR_UNSUPPORTED:
      code = VEK_ERROR_FORMAT;
      break;
    case JPEG_ERR_PRECISION:
    case JPEG_ERR_SYNTAX:
      code = VEK_ERROR_COMPRESSED;
      break;
    case JPEG_ERR_END_OF_INPUT:
      code = VEK_ERROR_IO;
      break;
    case JPEG_ERR_DATA:
      code = VEK_ERROR_DATA;
      break;
    case JPEG_ERR_PARAMETER:
      code = VEK_ERROR_ARGUMENT;
      break;
    case JPEG_WARN_DAMAGED_DATA:
      code = VEK_WARNING_DATA;
      break;
    case JPEG_WARN_SKIPPED_MARKER:
      code = VEK_WARNING_FORMAT;
      break;
    case JPEG_WARN_NO_RESOLUTION:
      code = VEK_WARNING_COMPRESSED | 0x10u;
      break;
    default:
      break;
  }
  vek_report(manager, code, method, "core/jpeg/source/vek_jpegregiststatus.cpp", 69);
}

void vek_jpeg_report_step(VEK_Manager* manager, jpeg_status status, const char* owner, const char* step) {
  char method[96];
  std::snprintf(method, sizeof(method), "%s%s", owner, step);
  jpeg_report_status(manager, status, method);
}

int32_t jpeg_color_code(const VEK_ColorType* type) {
  if (type == nullptr) return JPEG_COLOR_NONE;
  if (VEK_ColorType::is_gray(type)) return JPEG_COLOR_GREY;
  if (VEK_ColorType::is_gray_reverse(type)) return JPEG_COLOR_GREY_REVERSED;
  if (VEK_ColorType::is_lstar(type)) return JPEG_COLOR_LSTAR;
  if (VEK_ColorType::is_rgb(type)) return JPEG_COLOR_RGB;
  if (VEK_ColorType::is_ycbcr(type)) return JPEG_COLOR_YCBCR;
  if (VEK_ColorType::is_itu_lab(type)) return JPEG_COLOR_LAB_ITU;
  if (VEK_ColorType::is_icc_lab(type)) return JPEG_COLOR_LAB_ICC;
  if (VEK_ColorType::is_cmy(type)) return JPEG_COLOR_CMY;
  if (VEK_ColorType::is_cmyk(type)) return JPEG_COLOR_CMYK;
  return JPEG_COLOR_NONE;
}
