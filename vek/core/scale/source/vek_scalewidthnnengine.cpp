#include <cstring>

#include "vek_errorhandler.h"
#include "vek_scalennengine.h"
#include "vek_scalennsupport.h"

namespace {
constexpr const char* kFile = "core/scale/source/vek_scalewidthnnengine.cpp";
constexpr const char* kInitiate = "VEK_ScaleWidthNNEngine::initiate()";

template <uint32_t B>
void pick(const uint8_t* in, const uint32_t* table, uint32_t count, uint8_t* out) {
  for (uint32_t i = 0; i < count; ++i, out += B) std::memcpy(out, in + table[i], B);
}
}  // namespace

bool VEK_ScaleWidthNNEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                      uint32_t width) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_ScaleWidthEngine::initiate(header, source, destination, width)) return false;
  if (!vek_scale_nn_supported(*header)) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  bits_ = header->bits();
  pixel_bytes_ = bits_ == 1 ? 1 : uint32_t(bits_) / 8 * channels_;
  table_ = vek_scale_position_table(manager_, src_width_, width_, pixel_bytes_, kInitiate, kFile, __LINE__);
  return table_ != nullptr;
}

bool VEK_ScaleWidthNNEngine::terminate() {
  manager_->free(table_);
  table_ = nullptr;
  return VEK_ScaleWidthEngine::terminate();
}

bool VEK_ScaleWidthNNEngine::execute() {
  const uint8_t* in = static_cast<const uint8_t*>(src_->get(nullptr));
  if (in == nullptr) return false;
  uint8_t* out = static_cast<uint8_t*>(dst_->get());
  if (out == nullptr) {
    src_->release();
    return false;
  }
  if (bits_ == 1) {
    vek_scale_pick_bits(in, table_, width_, out);
  } else {
    switch (pixel_bytes_) {
      case 1:
        for (uint32_t i = 0; i < width_; ++i) out[i] = in[table_[i]];
        break;
      case 2:
        pick<2>(in, table_, width_, out);
        break;
      case 3:
        pick<3>(in, table_, width_, out);
        break;
      case 4:
        pick<4>(in, table_, width_, out);
        break;
      default:
        for (uint32_t i = 0; i < width_; ++i, out += pixel_bytes_) std::memcpy(out, in + table_[i], pixel_bytes_);
    }
  }
  const bool released = src_->release();
  return dst_->release(line_bytes_) && released;
}
