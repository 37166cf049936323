#include "vek_oppixelsengine.h"

#include <algorithm>

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/operation/source/vek_oppixelsengine.cpp";
constexpr const char* kInitiate = "VEK_OpPixelsEngine::initiate()";

bool same_kind(const VEK_Header& a, const VEK_Header& b) {
  return a.color_type() == b.color_type() && a.bits() == b.bits() && a.channels() == b.channels() &&
         a.data_type() == b.data_type() && VEK_EncodeType::is_raw(a.encode_type()) &&
         VEK_EncodeType::is_raw(b.encode_type()) && a.palette().empty() && b.palette().empty();
}

// A mask: raw unsigned samples of the second input's depth and size.
bool fits_as_mask(const VEK_Header& mask, const VEK_Header& second) {
  return VEK_EncodeType::is_raw(mask.encode_type()) && mask.bits() == second.bits() &&
         mask.channels() == second.channels() && mask.width() == second.width() && mask.height() == second.height() &&
         mask.data_type() == VEK_DataType::u_integer;
}
}  // namespace

bool VEK_OpPixelsEngine::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                  const VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_MultiInputProcessEngine::initiate(headers, sources, destination)) return false;
  const uint32_t n = src_buffer_num();
  if ((n != 2 && n != 3) || !same_kind(*headers_[0], *headers_[1]) ||
      (n == 3 && !fits_as_mask(*headers_[2], *headers_[1]))) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  line_bytes_ = out_header_.line_bytes();  // valid headers: their lines fit 32 bits
  if (!dst_->block_bytes(line_bytes_)) return false;
  for (uint32_t i = 0; i < n; ++i)
    if (!srcs_[i]->block_bytes(headers_[i]->line_bytes())) return false;
  return true;
}

void VEK_OpPixelsEngine::place(uint32_t x, uint32_t y, uint32_t c) {
  const VEK_Header& first = *headers_[0];
  const VEK_Header& second = *headers_[1];
  const uint64_t end_column = std::min<uint64_t>(first.width(), uint64_t(second.width()) + x);
  first_unit_ = uint64_t(x) * c;
  unit_count_ = end_column > x ? (end_column - x) * c : 0;
  first_line_ = y;
  end_line_ = uint32_t(std::min<uint64_t>(first.height(), uint64_t(second.height()) + y));
  if (end_line_ < first_line_) end_line_ = first_line_;
}

bool VEK_OpPixelsEngine::execute() {
  if (line_ >= out_header_.height()) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  uint32_t bytes = line_bytes_;
  bool result = true;
  if (!srcs_[0]->get(out, nullptr)) {
    bytes = 0;
    result = false;
  } else {
    // Outside the overlapped lines the second input is not read.
    if (line_ >= first_line_ && line_ < end_line_) result = combine(out, srcs_[1]);
    result = srcs_[0]->release() && result;
  }
  result = dst_->release(bytes) && result;
  ++line_;
  return result;
}
