#pragma once
// Byte-shuffle masks that move 16 pixels of three interleaved 8-bit channels between one
// 48-byte run and three 16-byte planes: mask entries of 0x80 give zeros, so the three shuffles
// of a run or of the planes are joined with OR.

#include <array>
#include <cstdint>

// Plane k takes from run vector v (0..2) the bytes at these positions.
constexpr std::array<uint8_t, 16> vek_deinterleave3_mask(int k, int v) {
  std::array<uint8_t, 16> mask{};
  for (int p = 0; p < 16; ++p) mask[p] = (3 * p + k) / 16 == v ? uint8_t((3 * p + k) % 16) : uint8_t(0x80);
  return mask;
}

// Run vector o (0..2) takes from plane k the bytes at these positions.
constexpr std::array<uint8_t, 16> vek_interleave3_mask(int o, int k) {
  std::array<uint8_t, 16> mask{};
  for (int i = 0; i < 16; ++i) {
    const int j = 16 * o + i;
    mask[i] = j % 3 == k ? uint8_t(j / 3) : uint8_t(0x80);
  }
  return mask;
}
