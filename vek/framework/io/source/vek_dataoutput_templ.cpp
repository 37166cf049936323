#include "vek_decorator.h"
#include "vek_errorhandler.h"

namespace {
constexpr const char* kFile = "framework/io/source/vek_dataoutput_templ.cpp";
}  // namespace

VEK_DataOutput* VEK_DataOutput::create(VEK_Manager* manager, VEK_OutputStorage* storage, int32_t byte_order) {
  return vek_create<VEK_DataOutput>(manager, storage, byte_order);
}

bool VEK_DataOutput::initiate(VEK_OutputStorage* storage, int32_t byte_order) {
  VEK_EndianConversion::byte_order(byte_order);
  return VEK_OutputStorageDecorator::initiate(storage);
}

bool VEK_DataOutput::write_binary(void* buffer, int32_t n) {
  if (n == 0) return true;
  convert(buffer, uint32_t(n));
  if (write(buffer, n) != n) {
    vek_report(manager_, VEK_ERROR_IO, "VEK_DataOutput::write_binary()", kFile, 83);
    return false;
  }
  return true;
}
