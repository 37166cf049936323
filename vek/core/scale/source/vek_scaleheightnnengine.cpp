#include <cstring>

#include "vek_errorhandler.h"
#include "vek_scalennengine.h"
#include "vek_scalennsupport.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scaleheightnnengine.cpp";
}

bool VEK_ScaleHeightNNEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                       uint32_t height) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, "VEK_ScaleHeightNNEngine::initiate()", kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleHeightEngine::initiate(header, source, destination, height)) return false;
  if (!vek_scale_nn_supported(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, "VEK_ScaleHeightNNEngine::initiate()", kFile, __LINE__);
    return false;
  }
  position_ = step_ * 0.5;
  return true;
}

bool VEK_ScaleHeightNNEngine::terminate() {
  held_ = nullptr;  // the source buffer ends with the input side
  return VEK_ScaleHeightEngine::terminate();
}

// Takes and drops source lines until line is the next one to take.
bool VEK_ScaleHeightNNEngine::skip_to(uint32_t line) {
  if (held_ != nullptr) {
    held_ = nullptr;
    if (!src_->release()) return false;
  }
  return vek_scale_skip_lines(src_, lines_taken_, line);
}

bool VEK_ScaleHeightNNEngine::execute() {
  if (lines_made_ >= height_) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) return false;
  const uint32_t t = line_at(position_);
  const bool last = lines_made_ + 1 == height_;
  const bool repeats = !last && line_at(position_ + step_) == t;  // the next output line shows t too
  bool ok = true;
  if (held_ != nullptr && lines_taken_ == t + 1) {
    std::memcpy(out, held_, line_bytes_);
    if (!repeats) {
      held_ = nullptr;
      ok = src_->release();
    }
  } else if (!skip_to(t)) {
    ok = false;
  } else if (repeats) {
    held_ = static_cast<const uint8_t*>(src_->get(nullptr));
    ok = held_ != nullptr;
    if (ok) {
      ++lines_taken_;
      std::memcpy(out, held_, line_bytes_);
    }
  } else {
    uint32_t got = 0;
    ok = src_->get(out, &got) && src_->release();
    ++lines_taken_;
  }
  // A line that could not be made ends the job: nothing is committed for it.
  if (!ok) {
    dst_->release(0);
    return false;
  }
  ++lines_made_;
  position_ += step_;
  return dst_->release(line_bytes_);
}
