#include <cstring>

#include "vek_cropengine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/crop/source/vek_cropwidth1bitbsengine.cpp";
constexpr const char* kInitiate = "VEK_CropWidth1BitBSEngine::initiate()";
}  // namespace

bool VEK_CropWidth1BitBSEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                         uint32_t x, uint32_t width) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  if (!VEK_CropWidth1BitEngine::initiate(header, source, destination, x, width)) return false;
  if (uint64_t(out_header_.channels()) * x % 8 != 0) {
    vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
    return false;
  }
  return true;
}

bool VEK_CropWidth1BitBSEngine::process_line(const void* source_line, void* destination_line) {
  uint8_t* out = static_cast<uint8_t*>(destination_line);
  std::memcpy(out, static_cast<const uint8_t*>(source_line) + byte_offset_, line_bytes_);
  out[line_bytes_ - 1] &= mask_;
  return true;
}
