#include <algorithm>
#include <cstring>

#include "vek_cropengine.h"
#include "vek_errorhandler.h"
#include "vek_qkrlelinebase.h"

namespace {
constexpr const char* kFile = "core/crop/source/vek_cropqkrleengine.cpp";
constexpr const char* kInitiate = "VEK_CropQKRLEEngine::initiate()";
}  // namespace

bool VEK_CropQKRLEEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                   uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (header != nullptr && (x >= header->width() || y >= header->height() || width == 0 || height == 0)) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  if (out_header_.bits() != 1 || out_header_.channels() != 1 ||
      out_header_.encode_type() != VEK_EncodeType_qk_rle::instance() ||
      max_line_bytes(out_header_.width()) > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  // Clipped by subtraction: x + width and y + height may pass 32 bits.
  const uint32_t columns = std::min(width, out_header_.width() - x);
  const uint32_t lines = std::min(height, out_header_.height() - y);
  first_column_ = x;
  last_column_ = x + columns - 1;
  first_line_ = y;
  last_line_ = y + lines - 1;
  out_header_.width(columns);
  out_header_.height(lines);
  reader_ = VEK_QKRLELine::create(manager_, src_, header);
  if (reader_ == nullptr) return false;
  // The longest line of the output width, at most the source's, which fits 32 bits.
  const uint32_t block = uint32_t(max_line_bytes(columns));
  room_ = block / uint32_t(sizeof(VEK_QKRLERun)) - 1;
  return dst_->block_bytes(block);
}

bool VEK_CropQKRLEEngine::terminate() {
  VEK_QKRLELine* reader = reader_;
  reader_ = nullptr;
  const bool ended = vek_destroy(reader);
  return VEK_ProcessEngine::terminate() && ended;
}

// Each kept line is written as one destination block: the reader has checked that runs ascend
// at least one clear pixel apart, so the cut runs fit the longest line of the output width.
bool VEK_CropQKRLEEngine::execute() {
  if (reader_ == nullptr || current_ > last_line_) return false;
  // Lines above are read and dropped in the first step, which then makes the first line of the
  // rectangle. A line that cannot be had ends the crop, whether or not its cause was reported:
  // no line is made up.
  do {
    if (!reader_->get_next_line()) return false;
  } while (current_++ < first_line_);
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  VEK_QKRLERunVector& runs = reader_->runs();
  uint32_t count = 0;
  uint32_t start = 0, end = 0;
  while (runs.get_next_run(start, end)) {
    if (start > last_column_) break;  // the runs ascend
    if (end < first_column_) continue;
    if (count == room_) {
      vek_report(manager_, VEK_ERROR_DATA, "VEK_CropQKRLEEngine::execute()", kFile, __LINE__);
      dst_->release(0);
      return false;
    }
    const VEK_QKRLERun run(start > first_column_ ? start - first_column_ : 0,
                           std::min(end, last_column_) - first_column_);
    std::memcpy(out + uint64_t(count) * sizeof run, &run, sizeof run);
    ++count;
  }
  const VEK_QKRLERun marker;
  std::memcpy(out + uint64_t(count) * sizeof marker, &marker, sizeof marker);
  return dst_->release((count + 1) * uint32_t(sizeof marker));
}
