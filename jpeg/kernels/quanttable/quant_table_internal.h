#pragma once

// Pieces the level copies share; the plain level defines them.

#include "quanttable/quant_table.h"

using widen_row_fn = void (*)(const uint8_t*, uint16_t*, int64_t, bool);
using divide_fn = kernel_status (*)(const uint16_t*, uint16_t, uint16_t*, int32_t);
using zero_fill16_fn = kernel_status (*)(void*, int32_t);

// Checks, then one row of width * height values when the block is contiguous, else row by row;
// streaming above the given value counts (area_limit only for rows wider than 512).
kernel_status widen_rows(const uint8_t* src, int32_t srcStep, uint16_t* dst, int32_t dstStep, int32_t width,
                         int32_t height, widen_row_fn row, int64_t contiguous_limit, int64_t area_limit);
// Checks and the value-0 path, then divide.
kernel_status div_value_checked(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count,
                                zero_fill16_fn zero_fill, divide_fn divide);
kernel_status div_integer_all(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count);
