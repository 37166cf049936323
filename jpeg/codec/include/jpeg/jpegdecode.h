#pragma once

// Decoding after the header: the decode start, the row decoders, the direct kernel path, line
// buffers and row output, block output through the range-limit table, and resampling.
//
// Calling order: jpeg_read_header, then jpeg_start_decode, then jpeg_decode_row once per output
// row (jpeg_width bytes per component), then jpeg_decoder_destroy.

#include "jpeg/jpegdecoder.h"

struct HuffDecodeSpec;
struct HuffDecodeState;
struct jpeg_fast_tables;

// One component's band of 8-bit samples (DCT).
struct jpeg_line_buffer {
    uint32_t width;   // X rounded up to the MCU width
    uint32_t rows;    // rows in one MCU row
    uint32_t stride;
    uint8_t* base;      // null for a component this decoder does not decode
    uint8_t* current;   // next row to hand out
    uint16_t mcu_width;
    uint32_t band_size;
    uint8_t* second_row;
    uint8_t* third_row;
};

// Where one component's samples of the current MCU go.
struct jpeg_plane {
    uint32_t width;
    uint32_t height;
    int32_t stride;
    uint8_t* samples;
};

// The direct kernel path: kernel tables, bit state and its own input block.
struct jpeg_direct_state {
    HuffDecodeState* huff_state;
    uint16_t* quant;   // 64 values per quantisation slot, natural order
    HuffDecodeSpec** dc_specs;
    HuffDecodeSpec** ac_specs;
    uint8_t* buffer;
    uint8_t* current;
    int32_t consumed;
    int32_t available;
    int32_t filled;
    int32_t capacity;
    uint32_t interval_failed;           // the bit position inside the restart interval is lost
    jpeg_fast_tables* lossless_table;   // one-component lossless frames only
    uint32_t lossless_fast;
    uint32_t lossless_fast16;   // predictor 1, 16 bits, no point transform
    int32_t guard;              // zeroed bytes kept behind the data for the fast loops
    int32_t* predictions;       // the record's DC predictions (the first-row flag), fast16 only
    // The block kernel of the level in use, fixed at the decode start for the reduced-size MCUs.
    int32_t (*decode_block)(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                            uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                            HuffDecodeState* state);
    // Reduced sizes: per component, the multipliers of its transform and the body that widens the
    // decoded 16-bit values by them (the DC value alone for the 1 x 1 transform).
    const int32_t* multipliers[4];
    void (*widen[4])(const int16_t* words, const int32_t* multiplier, int32_t* out);
    // The 4 x 4 and 2 x 2 transforms of the 16-bit values straight to samples (null for the others).
    void (*words_store[4])(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
    // The same for blocks whose values end before zigzag position 3.
    void (*low_store[4])(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
};

// One lossless row of the components decoded, in decoding order (a sub-decoder's one component
// first): each one's differences, the row above (null for the first row of the scan or of a
// restart interval) and the samples to make.
struct jpeg_lossless_rows {
    uint16_t* differences[4];
    const uint16_t* previous[4];
    uint16_t* output[4];
    uint32_t reconstructed;   // set by a decode unit that predicted the samples as it decoded them
};

// Codec start-up: processor identification once per process.
jpeg_status jpeg_cpu_init();

// Decode start and rows.
jpeg_status jpeg_check_mode(jpeg_decoder* decoder);
// The fewest bits the entropy-coded data of the frame's first scan can take, from the frame's
// geometry: each block codes at least its DC difference (a progressive frame's first scan of a
// component is its DC scan; an AC scan first, whose end-of-band runs would cover blocks by the
// thousand, is not a conforming stream), each lossless sample a Huffman code of a bit or more.
uint64_t jpeg_scan_min_bits(const jpeg_decoder* decoder);
jpeg_status jpeg_start_decode(jpeg_decoder* decoder);
jpeg_status jpeg_decode_row(jpeg_decoder* decoder, uint8_t* line);
jpeg_status jpeg_setup_entropy(jpeg_decoder* decoder, int32_t lookahead_width);
jpeg_status jpeg_decode_sequential_row(jpeg_decoder* decoder);
// Frees everything decoding made; jpeg_decoder_destroy calls it.
void jpeg_decode_release(jpeg_decoder* decoder);

// The buffered path: the codec's own bit reader over the 8 KiB input buffer and its block
// decoders (coefficients dequantised for sequential scans, kept quantised for progressive ones).
jpeg_status jpeg_setup_buffered_entropy(jpeg_decoder* decoder, int32_t lookahead_width);
jpeg_status jpeg_entropy_restart(jpeg_decoder* decoder);
jpeg_status jpeg_bits_pad(jpeg_decoder* decoder);
jpeg_status jpeg_decode_block_baseline(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
jpeg_status jpeg_decode_dc_first(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
jpeg_status jpeg_decode_ac_first(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
jpeg_status jpeg_decode_dc_refine(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
jpeg_status jpeg_decode_ac_refine(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
// Every scan of a progressive image into the block entries (which hold the whole image).
jpeg_status jpeg_decode_progressive_scans(jpeg_decoder* decoder);
jpeg_status jpeg_decode_progressive_row(jpeg_decoder* decoder);
// More scans than this end the coefficient pass: each one walks the whole image.
constexpr int32_t JPEG_MAX_PROGRESSIVE_SCANS = 1000;

// Transforms of the buffered path, in place, outputs centred on zero at the block's top left.
void jpeg_idct_8x8_fast(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_8x8_dequant(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_4x4(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_2x2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_1x1(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
// 64 16-bit values times their multipliers into 32 bits, wrapping, and the DC value alone; out
// may overlay words.
void jpeg_widen_block(const int16_t* words, const int32_t* multiplier, int32_t* out);
void jpeg_widen_dc(const int16_t* words, const int32_t* multiplier, int32_t* out);
// The 4 x 4 and 2 x 2 transforms of 16-bit values and their multipliers stored through the range
// table, n x n samples at `samples`.
void jpeg_idct_4x4_words_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
void jpeg_idct_2x2_words_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
// The same for blocks with values at natural 0, 1 and 8 only.
void jpeg_idct_4x4_low_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
void jpeg_idct_2x2_low_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
#if defined(__x86_64__) || defined(__i386__)
// SSE2 and SSE4.1 bodies of the two full-size transforms, with identical results;
// jpeg_setup_idct picks them from dispatch levels 2 and 5 on.
void jpeg_idct_8x8_fast_sse2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_8x8_dequant_sse2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_8x8_fast_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_8x8_dequant_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
// SSE4.1 bodies of the 4 x 4 and 2 x 2 transforms, identical to the plain ones; jpeg_setup_idct
// picks them from dispatch level 5 on. The _words forms start from the direct path's 16-bit
// values and their multipliers (out may overlay words).
void jpeg_idct_4x4_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_2x2_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_4x4_words_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out);
void jpeg_idct_2x2_words_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out);
void jpeg_idct_4x4_words_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
void jpeg_idct_2x2_words_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
// The same for blocks with values at natural 0, 1 and 8 only, with or without AVX2.
void jpeg_idct_4x4_low_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
void jpeg_idct_2x2_low_store_sse41(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
// AVX2 bodies of the full-size transforms, identical to the others; from level 5 on where the
// processor has AVX2.
void jpeg_idct_8x8_fast_avx2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_idct_8x8_dequant_avx2(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
// The words forms with AVX2, where the processor has it.
void jpeg_idct_4x4_words_avx2(const int16_t* words, const int32_t* multiplier, int32_t* out);
void jpeg_idct_2x2_words_avx2(const int16_t* words, const int32_t* multiplier, int32_t* out);
void jpeg_idct_8x8_words_avx2(const int16_t* words, const int32_t* multiplier, int32_t* out);
void jpeg_idct_4x4_words_store_avx2(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
void jpeg_idct_2x2_words_store_avx2(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);
// 64 16-bit values times their multipliers into 32 bits, wrapping; out may overlay words.
void jpeg_widen_block_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out);
#endif

// Direct kernel path.
jpeg_status jpeg_direct_state_create(jpeg_decoder* decoder);
void jpeg_direct_state_destroy(jpeg_decoder* decoder);
jpeg_status jpeg_direct_setup(jpeg_decoder* decoder);
void jpeg_direct_release(jpeg_decoder* decoder);
jpeg_status jpeg_direct_quant_setup(jpeg_decoder* decoder);
void jpeg_direct_quant_release(jpeg_decoder* decoder);
jpeg_status jpeg_direct_build_spec(jpeg_decoder* decoder, const uint8_t* counts, const uint8_t* values,
                                   HuffDecodeSpec** destination);
jpeg_status jpeg_direct_restart_dct(jpeg_decoder* decoder);
jpeg_status jpeg_direct_decode_block(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
// The same at a reduced size: the values widened and multiplied for the reduced transforms.
jpeg_status jpeg_direct_decode_block_scaled(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
void jpeg_direct_transform_block(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
jpeg_status jpeg_direct_get_byte(jpeg_decoder* decoder, uint8_t* byte);
jpeg_status jpeg_direct_find_marker(jpeg_decoder* decoder);
jpeg_status jpeg_direct_read_dnl(jpeg_decoder* decoder);
jpeg_status jpeg_direct_scan_end_marker(jpeg_decoder* decoder);
jpeg_status jpeg_direct_skip_restart_markers(jpeg_decoder* decoder, int32_t n);
void jpeg_direct_refill(jpeg_decoder* decoder, int32_t threshold);

// Lossless frames: the start (direct path, 16-bit line buffers of three rows, row output by
// sample size), the restart hook, the row decoder and the row output routines.
jpeg_status jpeg_start_lossless(jpeg_decoder* decoder);
jpeg_status jpeg_lossless_line_buffers(jpeg_decoder* decoder);

// Separate-scan frames: one sub-decoder per scan over a copy of the stream.
jpeg_status jpeg_start_scan_set(jpeg_decoder* parent);
jpeg_status jpeg_open_subdecoder(jpeg_decoder* parent, uint32_t i);
jpeg_status jpeg_decode_scan_set_row(jpeg_decoder* parent);
// One MCU row of a lossy sub-decoder's component, its blocks in the scan's raster order.
jpeg_status jpeg_decode_component_scan_row(jpeg_decoder* sub);
jpeg_status jpeg_direct_restart_lossless(jpeg_decoder* decoder);
jpeg_status jpeg_decode_lossless_row(jpeg_decoder* decoder);
jpeg_status jpeg_direct_build_lossless_table(jpeg_decoder* decoder);
// The lossless steps of jpeg_direct_setup: the input block by the row, and for one decoded
// component the fast loops' table.
jpeg_status jpeg_direct_setup_lossless(jpeg_decoder* decoder);
// Decode units of lossless rows (component: one component, or the component count for all that
// the decoder decodes). The fast one decodes differences, or on a later row predicted samples;
// the 16-bit one samples of a predictor-1 row; the kernel one differences of every component.
jpeg_status jpeg_direct_decode_row_fast(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component);
jpeg_status jpeg_direct_decode_row_fast16(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component);
jpeg_status jpeg_direct_decode_row(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component);
// Differences to samples through the reconstruction kernels; clears the first-row flag.
void jpeg_direct_reconstruct(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t components, int32_t* first_row);
// Installs jpeg_direct_reconstruct as the record's reconstruction routine.
void jpeg_direct_install_reconstruct(jpeg_decoder* decoder);
void jpeg_row_selected_lossless(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_lossless_grey8(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_lossless_grey16(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_lossless_rgb8(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_lossless_rgb16(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_lossless_interleave(jpeg_decoder* decoder, uint8_t* line);

// Range limit: one table of 2,048 entries for the process; a decoder holds entry 640.
jpeg_status jpeg_range_table_create(const jpeg_allocator* allocator, void* user);
void jpeg_range_table_release(const jpeg_allocator* allocator, void* user);
jpeg_status jpeg_range_table_attach(jpeg_decoder* decoder);
// The sample for a transform output: 0 outside the table's span.
inline uint8_t jpeg_range_sample(const int32_t* base, int32_t value)
{
    return static_cast<uint32_t>(value) + 640u < 2048u ? static_cast<uint8_t>(base[value]) : 0;
}

// The table's mapping computed with compares.
inline uint8_t jpeg_range_limit_value(int32_t value)
{
    // Branch-free: saturate to 16 bits, max(value + 128, 0), 255 above 255, 0 from 640 on.
    value = value < -32768 ? -32768 : value > 32767 ? 32767 : value;
    int32_t sample = value + 128;
    sample &= ~(sample >> 31);
    sample = (sample | ((255 - sample) >> 31)) & 255;
    return static_cast<uint8_t>(sample & ~((639 - value) >> 31));
}

// One full-size block of 8 x 8 values through the range limit: the plain body and, on x86, its
// SSE2 body; jpeg_setup_decode_output picks one by the kernels' dispatch level (0 takes the
// plain one).
void jpeg_store_block8(const int32_t* values, uint8_t* out, int32_t stride);
// The same from the 16-bit values that the direct path's transform leaves.
void jpeg_store_block8_words(const int16_t* values, uint8_t* out, int32_t stride);
// The top-left n x n (n 2 or 4) of a block, as the table maps them.
void jpeg_store_block_small(const int32_t* values, uint8_t* out, int32_t stride, int32_t n);
#if defined(__x86_64__) || defined(__i386__)
void jpeg_store_block8_sse2(const int32_t* values, uint8_t* out, int32_t stride);
void jpeg_store_block8_words_sse2(const int16_t* values, uint8_t* out, int32_t stride);
void jpeg_store_block_small_sse2(const int32_t* values, uint8_t* out, int32_t stride, int32_t n);
// Interleaves whole groups of 16 samples of three planes into line; returns the samples done.
uint32_t jpeg_interleave3_ssse3(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* line, uint32_t width);
#endif

// Transforms and block output. The set-up routines pick each body by the dispatch level in use
// when the decode starts; the rows run what they picked.
jpeg_status jpeg_setup_idct(jpeg_decoder* decoder);
void jpeg_setup_decode_output(jpeg_decoder* decoder);
bool jpeg_layout_is_444(const jpeg_decoder* decoder);
bool jpeg_layout_is_422(const jpeg_decoder* decoder);
bool jpeg_layout_is_420(const jpeg_decoder* decoder);
bool jpeg_layout_is_411(const jpeg_decoder* decoder);
void jpeg_output_blocks(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries);
void jpeg_output_blocks_first(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries);
void jpeg_output_block_single(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries);

// Line buffers and row output.
jpeg_status jpeg_select_row_output(jpeg_decoder* decoder);
jpeg_status jpeg_line_buffers_create(jpeg_decoder* decoder);
void jpeg_line_buffers_release(jpeg_decoder* decoder);
void jpeg_line_buffers_rewind(jpeg_decoder* decoder);
void jpeg_line_buffers_clear(jpeg_decoder* decoder);
// The reduced output size: size / scale rounded, at least 1.
uint32_t jpeg_reduced_size(uint32_t size, uint32_t scale);
void jpeg_row_selected(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_grey(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_luminance(jpeg_decoder* decoder, uint8_t* line);
void jpeg_row_interleave3(jpeg_decoder* decoder, uint8_t* line);
#if defined(__x86_64__) || defined(__i386__)
// The same, whole groups of 16 pixels with SSSE3 (from dispatch level 4 on).
void jpeg_row_interleave3_ssse3(jpeg_decoder* decoder, uint8_t* line);
#endif
void jpeg_row_interleave4(jpeg_decoder* decoder, uint8_t* line);

// Resampling in place (source and target may be the same descriptor).
void jpeg_setup_resample(jpeg_decoder* decoder);
void jpeg_upsample_h(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines);
void jpeg_upsample_v(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines);
void jpeg_upsample_hv(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines);
void jpeg_downsample_v(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines);
// Averages rows, then replicates the averaged rows across, keeping the plane's stride.
void jpeg_downsample_v_upsample_h(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width,
                                  uint32_t lines);
