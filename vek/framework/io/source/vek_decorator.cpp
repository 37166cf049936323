#include <algorithm>

#include "vek_decorator.h"

void VEK_EndianConversion::reverse(void* data, uint32_t n) {
  auto* p = static_cast<uint8_t*>(data);
  std::reverse(p, p + n);
}

void VEK_EndianConversion::convert_samples(void* data, uint32_t n, uint32_t sample_bytes) const {
  if (!reverse_ || sample_bytes < 2) return;
  auto* p = static_cast<uint8_t*>(data);
  for (uint32_t i = 0; i + sample_bytes <= n; i += sample_bytes) std::reverse(p + i, p + i + sample_bytes);
}

VEK_DataInput* VEK_DataInput::create(VEK_Manager* manager, VEK_InputStorage* storage, int32_t byte_order) {
  return vek_create<VEK_DataInput>(manager, storage, byte_order);
}

bool VEK_DataInput::initiate(VEK_InputStorage* storage, int32_t byte_order) {
  VEK_EndianConversion::byte_order(byte_order);
  return VEK_InputStorageDecorator::initiate(storage);
}

bool VEK_DataInput::read_binary(void* buffer, int32_t n) {
  if (read(buffer, n) != n) return false;
  convert(buffer, uint32_t(n));
  return true;
}
