#include "vek_errorhandler.h"
#include "vek_scaleqkrleengine.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleheightqkrleengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleHeightQKRLEEngine::initiate()";
}  // namespace

bool VEK_ScaleHeightQKRLEEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                          uint32_t height) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ProcessEngine::initiate(header, source, destination) || !start(header, height, header->height(), kInitiate))
    return false;
  src_height_ = header->height();
  height_ = height;
  ratio_ = double(src_height_) / double(height_);
  out_header_.height(height);
  return true;
}

bool VEK_ScaleHeightNNQKRLEEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                            uint32_t height) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ScaleHeightNNQKRLEEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleHeightQKRLEEngine::initiate(header, source, destination, height)) return false;
  position_ = ratio_ * 0.5;
  return true;
}

// Output line j shows source line trunc((j + 0.5) x H / h), never past the last; the run buffer
// hands out shared lines, so a repeated line costs no copy.
bool VEK_ScaleHeightNNQKRLEEngine::execute() {
  if (buffer_ == nullptr || lines_made_ >= height_) return false;
  const uint32_t last = src_height_ - 1;
  const uint32_t t = position_ >= double(last) ? last : uint32_t(position_);
  VEK_QKRLERunArray line = buffer_->runarray(t);
  if (buffer_->regist_failed()) return false;
  next_line_ = t + 1;
  ++lines_made_;
  position_ += ratio_;
  return line.put_runs(dst_);
}
