#pragma once

#include <cstdint>

// Result of every kernel operation: 0 success, negative an error, positive a warning.
using kernel_status = int32_t;

inline constexpr kernel_status kernel_ok = 0;
inline constexpr kernel_status kernel_out_of_range = -5;     // negative length, bad precision, predictor ...
inline constexpr kernel_status kernel_size_below_one = -6;   // count, length, width or height below 1
inline constexpr kernel_status kernel_null_pointer = -8;
inline constexpr kernel_status kernel_step_below_one = -14;    // row step below 1
inline constexpr kernel_status kernel_input_exhausted = -62;   // entropy-coded data ran out, or output full
inline constexpr kernel_status kernel_marker_reached = -63;    // marker met, or no Huffman code matched
inline constexpr kernel_status kernel_bad_huffman_table = -64;
inline constexpr kernel_status kernel_division_by_zero = 6;     // warning: the output is complete
inline constexpr kernel_status kernel_processor_warning = 20;   // no cpuid, or not "GenuineIntel"
