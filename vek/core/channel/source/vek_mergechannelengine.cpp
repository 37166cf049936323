#include "vek_mergechannelengine.h"

#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/channel/source/vek_mergechannelengine.cpp";
constexpr const char* kMethod = "VEK_MergeChannelEngine::initiate()";
}  // namespace

bool VEK_MergeChannelEngine::initiate(const VEK_Vector<const VEK_Header*>& headers,
                                      const VEK_Vector<VEK_SrcBuffer*>& sources, VEK_DstBuffer* destination,
                                      const VEK_ColorType* color_type) {
  if (!VEK_MultiInputProcessEngine::initiate(headers, sources, destination)) return false;
  for (const VEK_Header* h : headers)
    if (!VEK_EncodeType::is_raw(h->encode_type()) || !h->palette().empty()) {
      vek_report(manager_, VEK_ERROR_FORMAT, kMethod, kFile, __LINE__);
      return false;
    }
  // In 32 bits: a sum wrapped to a few channels would pass the header and overrun every line.
  uint32_t channels = 0;
  for (uint32_t i = 0; i < headers.size(); ++i) {
    const VEK_Header* h = headers[i];
    const VEK_Header* before = headers[i == 0 ? 0 : i - 1];
    if (h->data_type() != before->data_type() || h->bits() != before->bits() || h->height() != before->height() ||
        h->width() != before->width()) {
      vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
      return false;
    }
    channels += h->channels();
  }
  bits_ = headers[0]->bits();
  width_ = headers[0]->width();
  height_ = headers[0]->height();
  if (channels > UINT16_MAX || color_type == nullptr) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return false;
  }
  out_header_.channels(uint16_t(channels));
  out_header_.color_type(color_type);
  if (!out_header_.is_valid()) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, kMethod, kFile, __LINE__);
    return false;
  }
  for (uint32_t i = 0; i < headers.size(); ++i)
    if (!sources[i]->block_bytes(headers[i]->line_bytes())) return false;
  return dst_->block_bytes(out_header_.line_bytes());
}

bool VEK_MergeChannelEngine::allocate_lines() {
  lines_ = static_cast<const uint8_t**>(manager_->allocate(src_buffer_num() * sizeof(const uint8_t*)));
  return lines_ != nullptr;
}

bool VEK_MergeChannelEngine::execute() {
  if (++line_ > height_) {
    line_ = height_ + 1;  // stays past the end however often it is asked
    return false;
  }
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  const uint32_t n = src_buffer_num();
  for (uint32_t i = 0; i < n; ++i) {
    lines_[i] = static_cast<const uint8_t*>(srcs_[i]->get(nullptr));
    if (lines_[i] == nullptr) {
      for (uint32_t k = 0; k < i; ++k) srcs_[k]->release();
      dst_->release(0);
      return false;
    }
  }
  merge_line(lines_, out);
  bool result = true;
  for (uint32_t i = 0; i < n; ++i) result = srcs_[i]->release() && result;
  return dst_->release(out_header_.line_bytes()) && result;
}

bool VEK_MergeChannelEngine::terminate() {
  release();
  return VEK_MultiInputProcessEngine::terminate();
}

void VEK_MergeChannelEngine::release() {
  manager_->free(lines_);
  lines_ = nullptr;
}
