#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Forward quantisation tables: 64 8-bit steps in zigzag order become 64 unsigned 16-bit
// multipliers 32768 / Q (rounded) in natural order; a step of 0 gives 65535 and the warning 6.
// Each level has its own copy of every kernel; Level is 0 to 5.

// Row n of natural order holds the zigzag positions natural_to_zigzag[8n .. 8n + 7].
extern const uint32_t natural_to_zigzag[64];

// Table 11 entries: -8 for a null pointer, else the first non-zero status of widen, reorder and
// divide (6 when a step is 0, the table complete).
template <int Level>
kernel_status InitQuantTable(const uint8_t* steps, uint16_t* table);

// height rows of width bytes, srcStep bytes apart, widened into rows dstStep bytes apart.
// -8 null, -6 width or height below 1, -14 a step below 1, in that order.
template <int Level>
kernel_status Widen8uTo16u(const uint8_t* src, int32_t srcStep, uint16_t* dst, int32_t dstStep, int32_t width,
                           int32_t height);
// count bytes widened; dst need only be 2-byte aligned. streaming keeps the output out of the
// caches (level 1 always streams, level 0 never).
template <int Level>
void Widen8uTo16uRow(const uint8_t* src, uint16_t* dst, int64_t count, bool streaming);

// dst[n] = src[natural_to_zigzag[n]]; -8 for a null pointer.
template <int Level>
kernel_status ZigzagToNatural16(const uint16_t* src, uint16_t* dst);

// dst[i] = value / src[i] rounded (65535 and status 6 for a divisor of 0; value 0 zero-fills and
// reports 6 when a divisor is 0). -8 null, -6 count below 1. src may be dst. Off the table's
// inputs levels may differ by one: levels 0 and 1 divide in integers, 2 to 5 in single precision
// whose 8-lane loop saturates quotients above 32767 (except a divisor of 1).
template <int Level>
kernel_status DivValueBy16u(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count);
template <int Level>
kernel_status DivValueBy16uInPlace(uint16_t value, uint16_t* data, int32_t count);

// Sets byteCount bytes to zero with non-temporal stores; a count below 1 writes nothing.
void* ZeroFillStream(void* dst, int32_t byteCount);

template <>
kernel_status InitQuantTable<0>(const uint8_t* steps, uint16_t* table);
template <>
kernel_status Widen8uTo16u<0>(const uint8_t*, int32_t, uint16_t*, int32_t, int32_t, int32_t);
template <>
void Widen8uTo16uRow<0>(const uint8_t* src, uint16_t* dst, int64_t count, bool streaming);
template <>
kernel_status ZigzagToNatural16<0>(const uint16_t* src, uint16_t* dst);
template <>
kernel_status DivValueBy16u<0>(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count);
template <>
kernel_status DivValueBy16uInPlace<0>(uint16_t value, uint16_t* data, int32_t count);
