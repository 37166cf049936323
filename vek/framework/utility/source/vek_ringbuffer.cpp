#include <cstring>

#include "vek_errorhandler.h"
#include "vek_readengine.h"

namespace {
constexpr const char* kFile = "framework/utility/source/vek_ringbuffer.cpp";

bool supported_sample(const VEK_Header* h) {
  const VEK_DataType* t = h->data_type();
  const uint16_t b = h->bits();
  if (t == VEK_DataType::u_integer || t == VEK_DataType::s_integer) return b == 8 || b == 16 || b == 32;
  if (t == VEK_DataType::floating) return b == 32 || b == 64;
  return false;
}
}  // namespace

VEK_RingBuffer* VEK_RingBuffer::create(VEK_Manager* manager, VEK_SrcBuffer* source, const VEK_Header* header,
                                       const VEK_KernelAttr& kernel) {
  return vek_create<VEK_RingBufferOutlineCopy>(manager, source, header, kernel);
}

bool VEK_RingBuffer::initiate(VEK_SrcBuffer* source, const VEK_Header* header, const VEK_KernelAttr& kernel) {
  if (source == nullptr || header == nullptr || kernel.width == 0 || kernel.height == 0 || kernel.x >= kernel.width ||
      kernel.y >= kernel.height) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_RingBuffer::initiate()", kFile, 58);
    return false;
  }
  if (!header->is_valid() || !VEK_EncodeType::is_raw(header->encode_type()) || !supported_sample(header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_RingBuffer::initiate()", kFile, 78);
    return false;
  }
  const uint64_t pixel = uint64_t(header->channels()) * header->bits() / 8;
  const uint64_t stride = (uint64_t(kernel.width) + header->width() - 1) * pixel;
  const uint64_t memory = stride * kernel.height;
  if (stride > UINT32_MAX || memory > UINT32_MAX || uint64_t(kernel.height) * sizeof(uint8_t*) > UINT32_MAX) {
    vek_report(manager_, VEK_ERROR_ARGUMENT, "VEK_RingBuffer::initiate()", kFile, __LINE__);
    return false;
  }
  source_ = source;
  image_width_ = header->width();
  image_height_ = header->height();
  pixel_bytes_ = uint32_t(pixel);
  kernel_ = kernel;
  left_margin_bytes_ = kernel.x * pixel_bytes_;
  last_pixel_offset_ = uint32_t((uint64_t(image_width_) + kernel.x - 1) * pixel);
  line_stride_ = uint32_t(stride);
  line_count_ = kernel.height;
  top_margin_ = kernel.y;
  memory_ = static_cast<uint8_t*>(manager_->allocate(uint32_t(memory)));
  if (memory_ == nullptr) return false;
  lines_ = static_cast<uint8_t**>(manager_->allocate(uint32_t(line_count_ * sizeof(uint8_t*))));
  if (lines_ == nullptr) return false;
  for (uint32_t i = 0; i < line_count_; ++i) lines_[i] = memory_ + uint64_t(i) * line_stride_;
  return source->block_bytes(uint32_t(pixel * image_width_));
}

bool VEK_RingBuffer::terminate() {
  if (lines_ != nullptr) manager_->free(lines_);
  if (memory_ != nullptr) manager_->free(memory_);
  lines_ = nullptr;
  memory_ = nullptr;
  return true;
}

bool VEK_RingBuffer::read_line(uint8_t* line) {
  if (!source_->get(line + left_margin_bytes_, nullptr)) return false;
  source_->release();
  ++lines_read_;
  fill_margins(line);
  return true;
}

void VEK_RingBuffer::fill_margins(uint8_t* line) const {
  const uint8_t* first = line + left_margin_bytes_;
  const uint8_t* last = line + last_pixel_offset_;
  const uint32_t right_pixels = kernel_.width - 1 - kernel_.x;
  uint8_t* right = line + last_pixel_offset_ + pixel_bytes_;
  if (pixel_bytes_ == 1) {
    std::memset(line, *first, kernel_.x);
    std::memset(right, *last, right_pixels);
    return;
  }
  for (uint32_t i = 0; i < kernel_.x; ++i) std::memcpy(line + i * pixel_bytes_, first, pixel_bytes_);
  for (uint32_t i = 0; i < right_pixels; ++i) std::memcpy(right + i * pixel_bytes_, last, pixel_bytes_);
}

bool VEK_RingBufferOutlineCopy::advance() {
  if (lines_ == nullptr) return false;
  if (lines_read_ == 0) {
    if (!read_line(lines_[0])) return false;
    for (uint32_t i = 1; i <= top_margin_; ++i) std::memcpy(lines_[i], lines_[0], line_stride_);
    for (uint32_t i = top_margin_ + 1; i < line_count_; ++i) {
      if (lines_read_ < image_height_) {
        if (!read_line(lines_[i])) return false;
      } else {
        std::memcpy(lines_[i], lines_[i - 1], line_stride_);
      }
    }
    return true;
  }
  uint8_t* first = lines_[0];
  for (uint32_t i = 0; i + 1 < line_count_; ++i) lines_[i] = lines_[i + 1];
  lines_[line_count_ - 1] = first;
  if (lines_read_ < image_height_) return read_line(first);
  if (line_count_ >= 2) std::memcpy(first, lines_[line_count_ - 2], line_stride_);
  return true;
}
