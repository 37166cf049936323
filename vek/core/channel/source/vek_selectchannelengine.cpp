#include "vek_selectchannelengine.h"

#include <cstring>

#include "vek_channelkernels.h"
#include "vek_errorhandler.h"

namespace {

// Copies count samples of B bytes a pixel; offsets in 64 bits, so wide pixels pick the right bytes.
template <uint32_t B>
void copy_samples(const uint8_t* in, uint8_t* out, uint32_t width, uint64_t in_step, uint32_t count) {
  const uint64_t out_step = uint64_t(count) * B;
  if (count == 1) {
    for (uint32_t x = 0; x < width; ++x) std::memcpy(out + uint64_t(x) * B, in + x * in_step, B);
    return;
  }
  for (uint32_t x = 0; x < width; ++x) std::memcpy(out + x * out_step, in + x * in_step, out_step);
}

bool bit_at(const uint8_t* line, uint64_t i) { return (line[i >> 3] >> (7 - (i & 7))) & 1u; }

}  // namespace

bool VEK_SelectChannelEngine::select(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                     uint16_t first, uint16_t count, const VEK_ColorType* color_type, bool single,
                                     bool one_bit, const Where& where) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, where.method, where.file, where.line);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  const uint16_t channels = header->channels();
  const uint16_t wanted = color_type != nullptr ? color_type->channels() : 0;
  // In 32 bits: first 65535 and count 2 must not wrap round to pass.
  const bool fits = uint32_t(first) + count <= channels;
  const bool arguments =
      single ? first < channels && wanted == 1 : fits && count != 0 && (count == 2 || wanted == count);
  if (!arguments) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, where.method, where.file, where.line);
    return false;
  }
  const uint16_t b = header->bits();
  const bool raw = VEK_EncodeType::is_raw(header->encode_type());
  const bool format = one_bit ? b == 1 && header->data_type() == VEK_DataType::u_integer && raw
                              : (b == 8 || b == 16 || b == 32 || b == 64) && raw;
  if (!format) {
    vek_report(manager_, VEK_ERROR_FORMAT, where.method, where.file, where.line);
    return false;
  }
  out_header_.channels(count);
  out_header_.color_type(count == 2 ? VEK_ColorType_unknown::instance() : color_type);
  bits_ = b;
  channels_ = channels;
  first_ = first;
  count_ = count;
  width_ = header->width();
  src_line_bytes_ = header->line_bytes();
  dst_line_bytes_ = out_header_.line_bytes();
  return src_->block_bytes(src_line_bytes_) && dst_->block_bytes(dst_line_bytes_);
}

bool VEK_SelectChannelEngine::execute() {
  const uint8_t* in = static_cast<const uint8_t*>(src_->get(nullptr));
  if (in == nullptr) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) {
    src_->release();
    return false;
  }
  if (bits_ == 1)
    bits(in, out);
  else
    whole_bytes(in, out);
  const bool released = src_->release();
  return dst_->release(dst_line_bytes_) && released;
}

void VEK_SelectChannelEngine::whole_bytes(const uint8_t* in, uint8_t* out) const {
  const uint32_t b = bits_ / 8;
  const uint64_t step = uint64_t(channels_) * b;
  in += uint64_t(first_) * b;
  switch (b) {
    case 1:
      if (count_ == 1 && channels_ == 3) return vek_select1of3_u8_line()(in - first_, out, width_, first_);
      if (count_ == 1) {
        for (uint32_t x = 0; x < width_; ++x) out[x] = in[x * step];
        return;
      }
      return copy_samples<1>(in, out, width_, step, count_);
    case 2:
      return copy_samples<2>(in, out, width_, step, count_);
    case 4:
      return copy_samples<4>(in, out, width_, step, count_);
    default:
      return copy_samples<8>(in, out, width_, step, count_);
  }
}

void VEK_SelectChannelEngine::bits(const uint8_t* in, uint8_t* out) const {
  std::memset(out, 0, dst_line_bytes_);
  uint64_t to = 0;
  for (uint32_t x = 0; x < width_; ++x) {
    const uint64_t from = uint64_t(x) * channels_ + first_;
    for (uint16_t k = 0; k < count_; ++k, ++to)
      if (bit_at(in, from + k)) out[to >> 3] |= uint8_t(0x80u >> (to & 7));
  }
}
