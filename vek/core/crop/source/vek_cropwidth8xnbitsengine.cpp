#include <cstring>

#include "vek_cropengine.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "core/crop/source/vek_cropwidth8xnbitsengine.cpp";
constexpr const char* kInitiate = "VEK_CropWidth8xNBitsEngine::initiate()";
}  // namespace

bool VEK_CropWidth8xNBitsEngine::initiate(const VEK_Header* header, VEK_SrcBuffer* source, VEK_DstBuffer* destination,
                                          uint32_t x, uint32_t width) {
  if (!check_interface_version(VEK_INTERFACE_VERSION)) {
    vek_report(manager_, VEK_ERROR_VERSION, kInitiate, kFile, __LINE__);
    return false;
  }
  // Before the base's header test, so that a sample kind the crop cannot cut is named as such.
  if (header != nullptr) {
    const VEK_DataType* type = header->data_type();
    const uint16_t bits = header->bits();
    if ((type != VEK_DataType::u_integer && type != VEK_DataType::s_integer && type != VEK_DataType::floating) ||
        (bits != 8 && bits != 16 && bits != 32 && bits != 64)) {
      vek_report(manager_, VEK_ERROR_FORMAT, kInitiate, kFile, __LINE__);
      return false;
    }
  }
  return VEK_CropWidthEngine::initiate(header, source, destination, x, width);
}

bool VEK_CropWidth8xNBitsEngine::process_line(const void* source_line, void* destination_line) {
  std::memcpy(destination_line, static_cast<const uint8_t*>(source_line) + byte_offset_, line_bytes_);
  return true;
}
