#include <cmath>

#include "vek_dib.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/dib/source/vek_writedib.cpp";
constexpr const char* kEngine = "VEK_WriteDIB::engine()";

// The bit count the size queries assume: 0 for whatever the engine would refuse on the
// option alone, so that no caller sizes a bitmap that is never written.
uint32_t size_bit_count(const VEK_Header& header, const VEK_WriteDIBOption& option) {
  if (option.info_size != 12 && option.info_size != 40) return 0;
  switch (option.bit_count) {
    case 0:
      return vek_dib_auto_bit_count(header);
    case 1:
    case 8:
    case 16:
    case 24:
    case 32:
      return option.bit_count;
    default:
      return 0;
  }
}
}  // namespace

VEK_WriteDIBOption::VEK_WriteDIBOption(uint32_t compression, int32_t x_dpi, int32_t y_dpi, uint32_t bit_count)
    : compression(compression),
      x_pels_per_meter(pels_per_meter(x_dpi)),
      y_pels_per_meter(pels_per_meter(y_dpi)),
      bit_count(bit_count),
      info_size(40) {}

int32_t VEK_WriteDIBOption::pels_per_meter(int32_t dpi) {
  const double v = std::trunc(double(dpi) * 39.37007874015748);
  // Beyond about 54.5 million dpi the product leaves 32 bits; converting it would be undefined.
  if (v >= double(INT32_MAX)) return INT32_MAX;
  if (v <= double(INT32_MIN)) return INT32_MIN;
  return int32_t(v);
}

uint32_t vek_dib_auto_bit_count(const VEK_Header& header) {
  if (header.bits() == 8) return header.channels() == 1 ? 8 : 24;
  return header.bits() == 1 ? 1 : 0;
}

uint32_t vek_dib_color_entries(const VEK_Header& header, uint32_t bit_count) {
  if (bit_count != 1 && bit_count != 8) return 0;
  const VEK_ColorType* color = header.color_type();
  if (VEK_ColorType::is_rgb(color)) return header.palette().entries();
  if (bit_count == 1 && (VEK_ColorType::is_gray(color) || VEK_ColorType::is_gray_reverse(color))) return 2;
  if (bit_count == 8 && VEK_ColorType::is_gray(color)) return 256;
  return 0;
}

VEK_Engine* VEK_WriteDIB::engine(VEK_Engine* source, VEK_OutputStorage* storage, const VEK_WriteDIBOption& option) {
  if (!check_source(source, kEngine, kFile, 62)) return nullptr;
  switch (option.compression) {
    case 0:
      return VEK_WriteDIBRaw(manager_).engine(source->header(), source->src_buffer(), storage, option);
    case 1:
      vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 83);
      return nullptr;
    case 2:
      vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 79);
      return nullptr;
    case 3:
      vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 88);
      return nullptr;
    default:
      vek_report(manager_, VEK_ERROR_FORMAT, kEngine, kFile, 92);
      return nullptr;
  }
}

uint32_t VEK_WriteDIB::info_bytes(const VEK_Header* header, const VEK_WriteDIBOption& option) {
  if (header == nullptr) return 0;
  const uint32_t bit_count = size_bit_count(*header, option);
  if (bit_count == 0) return 0;
  return option.info_size + vek_dib_color_entries(*header, bit_count) * vek_dib_entry_bytes(option.info_size);
}

uint32_t VEK_WriteDIB::dib_bytes(const VEK_Header* header, const VEK_WriteDIBOption& option) {
  const uint32_t info = info_bytes(header, option);
  if (info == 0) return 0;
  const uint64_t stride = vek_dib_stride(size_bit_count(*header, option), header->width());
  return vek_dib_fits(info, stride, header->height(), INT32_MAX) ? uint32_t(info + stride * header->height()) : 0;
}
