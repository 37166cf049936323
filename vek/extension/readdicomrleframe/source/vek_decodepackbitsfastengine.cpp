#include <algorithm>
#include <cstring>

#include "vek_errorhandler.h"
#include "vek_readdicomrleframe.h"

namespace {
constexpr const char* kFile = "extension/readdicomrleframe/source/vek_decodepackbitsfastengine.cpp";
}  // namespace

bool VEK_DecodePackBitsFastEngine::DecodeStream::initiate(VEK_SrcBuffer* source, uint32_t line_bytes) {
  source_ = source;
  line_bytes_ = line_bytes;
  return source != nullptr;
}

bool VEK_DecodePackBitsFastEngine::DecodeStream::terminate() {
  // A block still held goes back with the source buffer.
  block_ = nullptr;
  return true;
}

bool VEK_DecodePackBitsFastEngine::DecodeStream::fetch() {
  if (block_ != nullptr) {
    block_ = nullptr;
    if (!source_->release()) return false;
  }
  uint32_t got = 0;
  const void* block = source_->get(&got);
  if (block == nullptr || got == 0) return false;
  block_ = static_cast<const uint8_t*>(block);
  block_bytes_ = got;
  position_ = 0;
  return true;
}

bool VEK_DecodePackBitsFastEngine::DecodeStream::read(uint8_t* out, uint32_t n) {
  while (n != 0) {
    if (position_ == block_bytes_ && !fetch()) return false;
    const uint32_t k = std::min(n, block_bytes_ - position_);
    std::memcpy(out, block_ + position_, k);
    position_ += k;
    out += k;
    n -= k;
  }
  return true;
}

bool VEK_DecodePackBitsFastEngine::DecodeStream::decode_line(uint8_t* out) {
  uint32_t written = 0;
  if (carry_position_ < carry_count_) {
    const uint32_t k = std::min<uint32_t>(carry_count_ - carry_position_, line_bytes_);
    std::memcpy(out, carry_ + carry_position_, k);
    carry_position_ = uint8_t(carry_position_ + k);
    written = k;
  }
  while (written < line_bytes_) {
    uint8_t head = 0;
    if (!read_byte(head)) return false;
    const int n = int8_t(head);
    if (n == -128) continue;
    const uint32_t run = n >= 0 ? uint32_t(n) + 1 : uint32_t(1 - n);
    const uint32_t fit = std::min(run, line_bytes_ - written);
    const uint32_t rest = run - fit;
    if (n >= 0) {
      if (!read(out + written, fit) || !read(carry_, rest)) return false;
    } else {
      uint8_t value = 0;
      if (!read_byte(value)) return false;
      std::memset(out + written, value, fit);
      std::memset(carry_, value, rest);
    }
    written += fit;
    // What did not fit opens the next line.
    carry_position_ = 0;
    carry_count_ = uint8_t(rest);
  }
  return true;
}

bool VEK_DecodePackBitsFastEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source,
                                            VEK_DstBuffer* destination) {
  if (!check_interface_version(0x01040000u)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_DecodePackBitsFastEngine::initiate()", kFile, 76);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination)) return false;
  if (header->encode_type() != VEK_EncodeType_pack_bits::instance() || header->data_type() != VEK_DataType::u_integer) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_DecodePackBitsFastEngine::initiate()", kFile, 85);
    return false;
  }
  const bool blocks = src_->block_bytes(manager_->block_bytes());
  out_header_.encode_type(VEK_EncodeType_raw::instance());
  const uint32_t line_bytes = out_header_.line_bytes();
  stream_ = vek_create<DecodeStream>(manager_, src_, line_bytes);
  if (stream_ == nullptr) return false;
  line_count_ = header->height();
  return dst_->block_bytes(line_bytes) && blocks;
}

bool VEK_DecodePackBitsFastEngine::execute() {
  if (line_ >= line_count_) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  if (!stream_->decode_line(out)) {
    vek_report(manager_, VEK_ERROR_DATA, "VEK_DecodePackBitsFastEngine::execute()", kFile, 46);
    dst_->release(0);
    return false;
  }
  ++line_;
  return dst_->release(dst_->block_bytes());
}

bool VEK_DecodePackBitsFastEngine::terminate() {
  if (stream_ != nullptr) stream_->destroy();
  stream_ = nullptr;
  return VEK_ProcessEngine::terminate();
}
