#pragma once
// The sample type of a linear-interpolation engine: 8 or 16-bit integers, signed or not.

#include "vek_engine.h"
#include "vek_header.h"

// Runs f(S{}) for the source's sample type; false when it has none.
template <class Fn>
bool vek_li_with_sample(const VEK_Header& h, Fn&& f) {
  if (!VEK_EncodeType::is_raw(h.encode_type())) return false;
  const bool is_unsigned = h.data_type() == VEK_DataType::u_integer;
  if (!is_unsigned && h.data_type() != VEK_DataType::s_integer) return false;
  if (h.bits() == 8) {
    if (is_unsigned)
      f((unsigned char)0);
    else
      f((signed char)0);
    return true;
  }
  if (h.bits() == 16) {
    if (is_unsigned)
      f((unsigned short)0);
    else
      f((short)0);
    return true;
  }
  return false;
}
