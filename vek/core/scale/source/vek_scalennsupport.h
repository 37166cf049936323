#pragma once
// What the nearest-neighbour and replication engines share: the formats they take, the
// position tables and the packing of picked 1-bit pixels.

#include <cstdint>

#include "vek_buffer.h"
#include "vek_errorhandler.h"
#include "vek_header.h"
#include "vek_manager.h"

// Raw integer samples of 8 or 16 bits, or 1-bit images of one channel.
inline bool vek_scale_nn_supported(const VEK_Header& h) {
  if (!VEK_EncodeType::is_raw(h.encode_type())) return false;
  if (h.data_type() != VEK_DataType::u_integer && h.data_type() != VEK_DataType::s_integer) return false;
  return (h.bits() == 1 && h.channels() == 1) || ((h.bits() == 8 || h.bits() == 16) && h.channels() != 0);
}

// Entry i = trunc((i + 0.5) x from / to) x unit, from a running position that starts at half a step
// as every nearest-neighbour engine walks it; never past source pixel from - 1, whatever the drift.
// Null after a reported failure.
inline uint32_t* vek_scale_position_table(VEK_Manager* manager, uint32_t from, uint32_t to, uint32_t unit,
                                          const char* method, const char* file, uint32_t line) {
  if (uint64_t(to) * sizeof(uint32_t) > UINT32_MAX) {
    vek_report(manager, VEK_ERROR_ARGUMENT, method, file, line);
    return nullptr;
  }
  uint32_t* table = static_cast<uint32_t*>(manager->allocate(uint32_t(to * sizeof(uint32_t))));
  if (table == nullptr) return nullptr;
  const double step = double(from) / double(to);
  const uint32_t last = from - 1;
  double p = step * 0.5;
  for (uint32_t i = 0; i < to; ++i, p += step) table[i] = (p >= double(last) ? last : uint32_t(p)) * unit;
  return table;
}

// Output pixel i of a 1-bit line = source bit table[i]; the bits after the last pixel are 0.
inline void vek_scale_pick_bits(const uint8_t* source, const uint32_t* table, uint32_t count, uint8_t* out) {
  auto bit = [source](uint32_t t) { return uint32_t(source[t >> 3] >> (7 - (t & 7))) & 1u; };
  uint32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint32_t b = 0;
    for (uint32_t k = 0; k < 8; ++k) b = (b << 1) | bit(table[i + k]);
    *out++ = uint8_t(b);
  }
  if (i < count) {
    uint32_t b = 0;
    const uint32_t left = count - i;
    for (uint32_t k = 0; k < left; ++k) b = (b << 1) | bit(table[i + k]);
    *out = uint8_t(b << (8 - left));
  }
}

// Takes and drops source lines until line is the next one to take; taken counts them.
inline bool vek_scale_skip_lines(VEK_SrcBuffer* source, uint32_t& taken, uint32_t line) {
  for (; taken < line; ++taken)
    if (source->get(nullptr) == nullptr || !source->release()) return false;
  return true;
}

// Skips to source line `line`, takes it and a destination line; on failure neither is held.
template <class T>
bool vek_scale_take_line(VEK_SrcBuffer* source, VEK_DstBuffer* destination, uint32_t& taken, uint32_t line,
                         const T*& in, T*& out) {
  if (!vek_scale_skip_lines(source, taken, line)) return false;
  in = static_cast<const T*>(source->get(nullptr));
  if (in == nullptr) return false;
  ++taken;
  out = static_cast<T*>(destination->get());
  if (out != nullptr) return true;
  source->release();
  return false;
}
