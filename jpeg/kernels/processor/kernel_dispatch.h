#pragma once

#include <atomic>
#include <cstdint>

#include "processor/kernel_status.h"

// Kernel dispatch: 29 tables of six entries, entry i of a table being its operation's body for
// dispatch level i (0 plain, 1 SSE, 2 SSE2, 3 SSE3, 4 SSSE3, 5 SSE4.1 or later). A stub of the
// operation's name reads the level and continues in that entry. Empty entries are null.

inline constexpr int dispatch_table_count = 29;
inline constexpr int dispatch_level_count = 6;

// Table numbers of the operations.
enum dispatch_table_id : int {
    dispatch_table_ycbcr_from_rgb_444_blocks = 0,
    dispatch_table_ycbcr_from_rgb_422_blocks = 1,
    dispatch_table_ycbcr_from_rgb_420_blocks = 2,
    dispatch_table_blocks_from_interleaved_444 = 3,
    dispatch_table_blocks_from_interleaved_422 = 4,
    dispatch_table_blocks_from_interleaved_420 = 5,
    dispatch_table_forward_dct_quant_8x8 = 6,
    dispatch_table_encode_huffman_8x8 = 7,
    dispatch_table_huff_encode_spec_size = 8,
    dispatch_table_huff_encode_spec_init = 9,
    dispatch_table_huff_encode_state_init = 10,
    dispatch_table_quant_table_init = 11,
    dispatch_table_dequant_idct_8x8 = 12,
    dispatch_table_huff_decode_spec_size = 13,
    dispatch_table_huff_decode_spec_init = 14,
    dispatch_table_huff_decode_state_size = 15,
    dispatch_table_huff_decode_state_init = 16,
    dispatch_table_huff_decode_block_8x8 = 17,
    dispatch_table_huff_decode_diff = 18,
    dispatch_table_huff_decode_lossless_row = 19,
    dispatch_table_lossless_reconstruct_first_row = 20,
    dispatch_table_lossless_reconstruct_row = 21,
    dispatch_table_encode_huffman_lossless_row = 22,
    dispatch_table_diff_lossless_first_row = 23,
    dispatch_table_diff_lossless_row = 24,
    dispatch_table_encode_huffman_diff = 25,
    dispatch_table_generate_huff_table = 27,
};

// Entries are stored under one pointer type; dispatch_entry<Table> gives them back typed.
using kernel_entry = void (*)();
extern const kernel_entry dispatch_tables[dispatch_table_count][dispatch_level_count];

// Each filled table names its entry type here.
template <int Table>
struct dispatch_signature;

// Tables 0-5: src, srcStep, array of three block pointers.
using block_kernel_entry = kernel_status (*)(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
template <>
struct dispatch_signature<dispatch_table_ycbcr_from_rgb_444_blocks> {
    using type = block_kernel_entry;
};
template <>
struct dispatch_signature<dispatch_table_ycbcr_from_rgb_422_blocks> {
    using type = block_kernel_entry;
};
template <>
struct dispatch_signature<dispatch_table_ycbcr_from_rgb_420_blocks> {
    using type = block_kernel_entry;
};
template <>
struct dispatch_signature<dispatch_table_blocks_from_interleaved_444> {
    using type = block_kernel_entry;
};
template <>
struct dispatch_signature<dispatch_table_blocks_from_interleaved_422> {
    using type = block_kernel_entry;
};
template <>
struct dispatch_signature<dispatch_table_blocks_from_interleaved_420> {
    using type = block_kernel_entry;
};

template <>
struct dispatch_signature<dispatch_table_forward_dct_quant_8x8> {
    using type = kernel_status (*)(int16_t* block, const uint16_t* table);
};

struct HuffEncodeSpec;
struct HuffEncodeState;

// Huffman encoding (huffman/huff_encode.h); no stub leads to these tables.
template <>
struct dispatch_signature<dispatch_table_encode_huffman_8x8> {
    using type = kernel_status (*)(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                                   const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state,
                                   int32_t flush);
};
template <>
struct dispatch_signature<dispatch_table_huff_encode_spec_size> {
    using type = kernel_status (*)(int32_t* size);
};
template <>
struct dispatch_signature<dispatch_table_huff_encode_spec_init> {
    using type = kernel_status (*)(const uint8_t* bits, const uint8_t* values, HuffEncodeSpec* spec);
};
template <>
struct dispatch_signature<dispatch_table_huff_encode_state_init> {
    using type = kernel_status (*)(HuffEncodeState* state);
};
template <>
struct dispatch_signature<dispatch_table_encode_huffman_lossless_row> {
    using type = kernel_status (*)(const int16_t* const* rows, int32_t width, int32_t componentCount, uint8_t* buf,
                                   int32_t bufLen, int32_t* pos, const HuffEncodeSpec* const* specs,
                                   HuffEncodeState* state, int32_t flush);
};
template <>
struct dispatch_signature<dispatch_table_encode_huffman_diff> {
    using type = kernel_status (*)(const int16_t* value, uint8_t* buf, int32_t bufLen, int32_t* pos,
                                   const HuffEncodeSpec* spec, HuffEncodeState* state, int32_t flush);
};

template <>
struct dispatch_signature<dispatch_table_quant_table_init> {
    using type = kernel_status (*)(const uint8_t* steps, uint16_t* table);
};

template <>
struct dispatch_signature<dispatch_table_dequant_idct_8x8> {
    using type = kernel_status (*)(const int16_t* src, int16_t* dst, const uint16_t* table);
};

struct HuffDecodeSpec;
struct HuffDecodeState;

template <>
struct dispatch_signature<dispatch_table_huff_decode_spec_size> {
    using type = kernel_status (*)(int32_t* size);
};
template <>
struct dispatch_signature<dispatch_table_huff_decode_spec_init> {
    using type = kernel_status (*)(const uint8_t* counts, const uint8_t* values, HuffDecodeSpec* spec);
};
template <>
struct dispatch_signature<dispatch_table_huff_decode_state_size> {
    using type = kernel_status (*)(int32_t* size);
};
template <>
struct dispatch_signature<dispatch_table_huff_decode_state_init> {
    using type = kernel_status (*)(HuffDecodeState* state);
};
template <>
struct dispatch_signature<dispatch_table_huff_decode_block_8x8> {
    using type = kernel_status (*)(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                   int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc,
                                   const HuffDecodeSpec* ac, HuffDecodeState* state);
};
template <>
struct dispatch_signature<dispatch_table_huff_decode_diff> {
    using type = kernel_status (*)(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff,
                                   uint32_t* marker, const HuffDecodeSpec* spec, HuffDecodeState* state);
};
template <>
struct dispatch_signature<dispatch_table_huff_decode_lossless_row> {
    using type = kernel_status (*)(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                   int32_t samples, int32_t components, uint32_t* marker,
                                   const HuffDecodeSpec* const* specs, HuffDecodeState* state);
};
template <>
struct dispatch_signature<dispatch_table_lossless_reconstruct_first_row> {
    using type = kernel_status (*)(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                   int32_t point_transform);
};
template <>
struct dispatch_signature<dispatch_table_lossless_reconstruct_row> {
    using type = kernel_status (*)(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                   int32_t predictor);
};

// Lossless differences (lossless/lossless_diff.h); no stub leads to these tables.
template <>
struct dispatch_signature<dispatch_table_diff_lossless_first_row> {
    using type = kernel_status (*)(const uint16_t* samples, uint16_t* diffs, int32_t width, int32_t precision,
                                   int32_t point_transform);
};
template <>
struct dispatch_signature<dispatch_table_diff_lossless_row> {
    using type = kernel_status (*)(const uint16_t* samples, const uint16_t* above, uint16_t* diffs, int32_t width,
                                   int32_t predictor);
};

// Huffman table generation (huffman/huff_table_gen.h); no stub leads to this table.
template <>
struct dispatch_signature<dispatch_table_generate_huff_table> {
    using type = kernel_status (*)(const int32_t* counts, uint8_t* bits, uint8_t* values);
};

template <int Table>
inline typename dispatch_signature<Table>::type dispatch_entry(int32_t level)
{
    return reinterpret_cast<typename dispatch_signature<Table>::type>(dispatch_tables[Table][level]);
}

// The process-wide level, 0 until dispatch_init; stubs read it with relaxed order.
extern std::atomic<int32_t> dispatch_level;

// Identifies the processor, stores its level (0 when PlatForcePlainKernels()) and returns 0, or
// kernel_processor_warning (20) when there is no cpuid or the vendor is not "GenuineIntel".
kernel_status dispatch_init();

// Level of a processor type code: 5, 16, 17, 64 -> 1; 6, 7, 9, 65 -> 2; 8, 10, 11, 32, 66 -> 3;
// 33, 34, 36, 67 -> 4; 35, 68, 69 -> 5; anything else 0.
int32_t dispatch_level_for_type(int32_t type);

// Highest level whose instruction sets this processor has (asks the processor itself, never a
// recording); levels above it must not run here.
int32_t dispatch_supported_level();

// Test seam: stores a level directly and returns the previous one; -5 (nothing stored) for a
// level outside 0..5 or above dispatch_supported_level().
kernel_status dispatch_set_level(int32_t level);

// Stubs. The Huffman and lossless operations are described in huffman/huff_decode.h and
// lossless/lossless_reconstruct.h; table 18 (one lossless difference) has no stub.
kernel_status ycbcr_from_rgb_444_blocks(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status ycbcr_from_rgb_422_blocks(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status ycbcr_from_rgb_420_blocks(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status blocks_from_interleaved_444(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status blocks_from_interleaved_422(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status blocks_from_interleaved_420(const uint8_t* src, int32_t srcStep, int16_t* const* blocks);
kernel_status quant_table_init(const uint8_t* steps, uint16_t* table);
kernel_status dequant_idct_8x8(const int16_t* src, int16_t* dst, const uint16_t* table);
kernel_status huff_decode_spec_size(int32_t* size);
kernel_status huff_decode_spec_init(const uint8_t* counts, const uint8_t* values, HuffDecodeSpec* spec);
kernel_status huff_decode_state_size(int32_t* size);
kernel_status huff_decode_state_init(HuffDecodeState* state);
kernel_status huff_decode_block_8x8(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                    int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc,
                                    const HuffDecodeSpec* ac, HuffDecodeState* state);
kernel_status huff_decode_lossless_row(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                       int32_t samples, int32_t components, uint32_t* marker,
                                       const HuffDecodeSpec* const* specs, HuffDecodeState* state);
kernel_status lossless_reconstruct_first_row(const uint16_t* diff, uint16_t* out, int32_t samples, int32_t precision,
                                             int32_t point_transform);
kernel_status lossless_reconstruct_row(const uint16_t* diff, const uint16_t* above, uint16_t* out, int32_t samples,
                                       int32_t predictor);
