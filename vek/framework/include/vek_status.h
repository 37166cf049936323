#pragma once
// Status codes, the status record and the interface-version check.

#include <cstdint>

class VEK_Manager;

// Bit 31: error, bit 30: warning, bits 16..26: category, low 16 bits: detail.
enum : uint32_t {
  VEK_SUCCESS = 0x00000000u,

  VEK_WARNING = 0x40000000u,
  VEK_WARNING_MEMORY = 0x40010000u,
  VEK_WARNING_IO = 0x40020000u,
  VEK_WARNING_VERSION = 0x40040000u,
  VEK_WARNING_STATE = 0x40080000u,
  VEK_WARNING_READER = 0x40100000u,
  VEK_WARNING_COMPRESSED = 0x40200000u,
  VEK_WARNING_DATA = 0x40400000u,
  VEK_WARNING_ARGUMENT = 0x40800000u,
  VEK_WARNING_FORMAT = 0x41000000u,
  VEK_WARNING_CATEGORY_25 = 0x42000000u,
  VEK_WARNING_CATEGORY_26 = 0x44000000u,

  VEK_ERROR = 0x80000000u,
  VEK_ERROR_MEMORY = 0x80010000u,
  VEK_ERROR_IO = 0x80020000u,
  VEK_ERROR_VERSION = 0x80040000u,
  VEK_ERROR_STATE = 0x80080000u,
  VEK_ERROR_READER = 0x80100000u,
  VEK_ERROR_COMPRESSED = 0x80200000u,
  VEK_ERROR_DATA = 0x80400000u,
  VEK_ERROR_ARGUMENT = 0x80800000u,
  VEK_ERROR_FORMAT = 0x81000000u,
  VEK_ERROR_CATEGORY_25 = 0x82000000u,
  VEK_ERROR_CATEGORY_26 = 0x84000000u,
};

constexpr uint32_t VEK_INTERFACE_VERSION = 0x01040100u;

constexpr bool vek_is_error(uint32_t code) { return (code & 0x80000000u) != 0; }
constexpr bool vek_is_warning(uint32_t code) { return (code & 0x40000000u) != 0; }

// Major 1.4, minor part 0x0000..0x0100.
constexpr bool check_interface_version(uint32_t version) {
  return (version & 0xFFFF0000u) == 0x01040000u && (version & 0xFFFFu) < 257u;
}
