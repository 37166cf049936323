#include "vek_shiftdata.h"

VEK_Engine* VEK_ShiftData::engine(VEK_Engine* source, const VEK_DataType* data_type, uint16_t bits, int16_t shift_count,
                                  bool with_limit) {
  if (with_limit) return VEK_ShiftDataWL(manager_).engine(source, data_type, bits, shift_count);
  return VEK_ShiftDataNL(manager_).engine(source, data_type, bits, shift_count);
}

bool is_shiftable_source(const VEK_Header* header) {
  if (header == nullptr) return false;
  const VEK_DataType* type = header->data_type();
  const uint16_t bits = header->bits();
  return (type == VEK_DataType::u_integer || type == VEK_DataType::s_integer) &&
         (bits == 8 || bits == 16 || bits == 32) && header->palette().empty();
}
