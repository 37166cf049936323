#pragma once
// The eight sample types that the conversion families are instantiated for, how a
// (data type, bits) pair picks one, and the tables that turn that pick into a call.

#include <array>
#include <cstdint>
#include <type_traits>

#include "vek_types.h"

template <class... T>
struct VEK_TypeList {};

// Indices 0..7: u8, s8, u16, s16, u32, s32, float, double. Eight-bit "char" samples are signed char.
using VEK_SampleTypes = VEK_TypeList<uint8_t, int8_t, uint16_t, int16_t, uint32_t, int32_t, float, double>;
// Indices 0..5 of the same list.
using VEK_IntegerSampleTypes = VEK_TypeList<uint8_t, int8_t, uint16_t, int16_t, uint32_t, int32_t>;

template <class T>
inline constexpr uint16_t vek_sample_bits = uint16_t(sizeof(T) * 8);

// 8 and 16 bits: unsigned for u_integer, signed for anything else; 32 bits: u32, s32, or float
// for any other type; any other depth: double (whose initiate then refuses a wrong depth).
inline uint32_t vek_sample_index(const VEK_DataType* type, uint16_t bits) {
  const bool is_unsigned = type == VEK_DataType::u_integer;
  switch (bits) {
    case 8:
      return is_unsigned ? 0 : 1;
    case 16:
      return is_unsigned ? 2 : 3;
    case 32:
      return is_unsigned ? 4 : type == VEK_DataType::s_integer ? 5 : 6;
    default:
      return 7;
  }
}

// The index of T in VEK_SampleTypes, the inverse of vek_visit_sample.
template <class T, class... L>
constexpr uint32_t vek_index_in(VEK_TypeList<L...>) {
  uint32_t i = 0;
  ((std::is_same_v<T, L> ? false : (++i, true)) && ...);
  return i;
}
template <class T>
inline constexpr uint32_t vek_sample_index_of = vek_index_in<T>(VEK_SampleTypes{});

// Width and bounds of the sample type of an index, the bounds exact as doubles.
struct VEK_SampleLimits {
  uint16_t bits;
  double high;
  double low;
};
inline const VEK_SampleLimits& vek_sample_limits(uint32_t index) {
  static constexpr VEK_SampleLimits limits[8] = {
      {8, 255.0, 0.0},
      {8, 127.0, -128.0},
      {16, 65535.0, 0.0},
      {16, 32767.0, -32768.0},
      {32, 4294967295.0, 0.0},
      {32, 2147483647.0, -2147483648.0},
      {32, 3.4028234663852886e38, -3.4028234663852886e38},
      {64, 1.7976931348623157e308, -1.7976931348623157e308},
  };
  return limits[index];
}

// Integers only: 8, 16, anything else 32 bits; unsigned for u_integer, signed otherwise.
inline uint32_t vek_integer_sample_index(const VEK_DataType* type, uint16_t bits) {
  const uint32_t width = bits == 8 ? 0 : bits == 16 ? 2 : 4;
  return width + (type == VEK_DataType::u_integer ? 0 : 1);
}

// One entry per type of the list: Pick<T>::get() for each T, in list order.
template <template <class> class Pick, class... T>
constexpr auto vek_dispatch_table(VEK_TypeList<T...>) {
  return std::array{Pick<T>::get()...};
}

// Calls visit(T{}) with the sample type of the given index (see vek_sample_index).
template <class Visitor>
decltype(auto) vek_visit_sample(uint32_t index, Visitor&& visit) {
  switch (index) {
    case 0:
      return visit(uint8_t{});
    case 1:
      return visit(int8_t{});
    case 2:
      return visit(uint16_t{});
    case 3:
      return visit(int16_t{});
    case 4:
      return visit(uint32_t{});
    case 5:
      return visit(int32_t{});
    case 6:
      return visit(float{});
    default:
      return visit(double{});
  }
}
