#include "vek_decorator.h"
#include "vek_dib.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/dib/source/vek_bitmapinfoheader.cpp";
constexpr const char* kWrite = "VEK_BitmapInfoHeader::write()";
}  // namespace

VEK_BitmapInfoHeader::VEK_BitmapInfoHeader(VEK_Manager* manager, uint32_t size, uint32_t width, uint32_t height,
                                           uint16_t bit_count, uint32_t compression, int32_t x_pels_per_meter,
                                           int32_t y_pels_per_meter, uint32_t colors)
    : VEK_Utility(manager),
      size_(size),
      width_(width),
      height_(height),
      bit_count_(bit_count),
      compression_(compression),
      x_pels_per_meter_(uint32_t(x_pels_per_meter)),
      y_pels_per_meter_(uint32_t(y_pels_per_meter)),
      colors_used_(colors) {
  // The engine refuses bitmaps beyond 32 bits before it gets here; never wrap regardless.
  const uint64_t image = vek_dib_stride(bit_count, width) * height;
  image_size_ = image > UINT32_MAX ? 0 : uint32_t(image);
}

bool VEK_BitmapInfoHeader::write(VEK_OutputStorage* storage) {
  if (storage == nullptr || storage->is_empty()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kWrite, kFile, 492);
    return false;
  }
  VEK_DataOutput* out = VEK_DataOutput::create(manager_, storage, 1);
  if (out == nullptr) return false;
  bool ok = true;
  // Each field is written only while every earlier one went through.
  auto field = [&](auto value, uint32_t line) {
    if (!ok) return;
    ok = out->write_binary(&value, int32_t(sizeof(value)));
    if (!ok) vek_report(manager_, VEK_ERROR_IO, kWrite, kFile, line);
  };
  field(size_, 509);
  if (size_ == 12) {
    field(uint16_t(width_), 517);
    field(uint16_t(height_), 523);
  } else {
    field(width_, 528);
    field(height_, 533);
  }
  field(planes_, 540);
  field(bit_count_, 545);
  if (size_ == 40) {
    field(compression_, 553);
    field(image_size_, 558);
    field(x_pels_per_meter_, 563);
    field(y_pels_per_meter_, 568);
    field(colors_used_, 573);
    field(colors_important_, 578);
  }
  out->destroy();
  return ok;
}
