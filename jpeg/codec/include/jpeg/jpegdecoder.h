#pragma once

// The JPEG decoder record and the codec's calling interface: create or open, read the header,
// set options, decode, destroy. Every function that can fail returns a jpeg_status: 1 success,
// other positive values warnings that still count as success, values below 1 failures.

#include <cstddef>
#include <cstdint>

using jpeg_status = int32_t;

enum : jpeg_status {
    JPEG_OK = 1,
    JPEG_WARN_DAMAGED_DATA = 3,
    JPEG_WARN_SKIPPED_MARKER = 14,
    JPEG_WARN_NO_RESOLUTION = 100,
    JPEG_ERR_MEMORY = -1,
    JPEG_ERR_PARAMETER = -2,
    JPEG_ERR_DATA = -3,
    JPEG_ERR_END_OF_INPUT = -11,
    JPEG_ERR_NO_SOI = -12,
    JPEG_ERR_SYNTAX = -13,
    JPEG_ERR_PRECISION = -14,
    JPEG_ERR_UNSUPPORTED = -50,
    JPEG_ERR_STATE = -9997,
    JPEG_ERR_MARKER_IN_DATA = -9999,
};

// Colour codes, for the image as coded and for the rows handed out.
enum : int32_t {
    JPEG_COLOR_RGB = 1,
    JPEG_COLOR_YCBCR = 2,
    JPEG_COLOR_LAB_ITU = 3,
    JPEG_COLOR_GREY = 4,
    JPEG_COLOR_GREY_REVERSED = 5,
    JPEG_COLOR_LSTAR = 6,
    JPEG_COLOR_CMYK = 7,
    JPEG_COLOR_CMY = 8,
    JPEG_COLOR_LAB_ICC = 9,
    JPEG_COLOR_NONE = 99999,
};

// Sizes are 32-bit: anything larger is refused before the callback is asked.
struct jpeg_allocator {
    void* (*alloc)(void* user, uint32_t size);
    void (*free)(void* user, void* pointer);
};

void* jpeg_default_alloc(void* user, uint32_t size);
void jpeg_default_free(void* user, void* pointer);

// get_byte: 0..255, or -1 at the end or on failure. read: bytes read, -1 on failure.
// tell: current position (negative on failure). seek: moves to an absolute position and returns
// the new position (negative on failure). handle: used only by the codec's own memory source;
// any other source's callbacks receive the allocator's user data.
struct jpeg_source {
    int32_t (*get_byte)(void* handle);
    int32_t (*read)(void* handle, uint8_t* buffer, uint32_t count);
    int64_t (*tell)(void* handle);
    int64_t (*seek)(void* handle, int64_t position);
    void* handle;
};

struct jpeg_decoder;
struct jpeg_direct_state;
struct jpeg_line_buffer;
struct jpeg_plane;
struct jpeg_block_entry;
struct jpeg_lossless_rows;

struct jpeg_mem_source {
    const uint8_t* base;
    const uint8_t* current;
    size_t size;
    jpeg_decoder* owner;
};

int32_t jpeg_mem_get_byte(void* handle);
int32_t jpeg_mem_read(void* handle, uint8_t* buffer, uint32_t count);
int64_t jpeg_mem_tell(void* handle);
int64_t jpeg_mem_seek(void* handle, int64_t position);
// Fills *source with the memory callbacks over [data, data + size) and a record owned by the
// decoder (freed by jpeg_decoder_destroy once the source is installed with jpeg_set_source).
// The bytes are read in place and must outlive the decoder: its APPn segments point into them.
jpeg_status jpeg_mem_source_create(jpeg_decoder* decoder, const uint8_t* data, size_t size, jpeg_source* source);

// One Huffman table slot; a slot whose counts are null is undefined.
struct jpeg_huff_code {
    uint32_t length;   // 1..16, 0 = symbol not used
    uint32_t code;
};

struct jpeg_huff_lookahead {
    int32_t length;
    uint32_t symbol;
};

struct jpeg_huff_table {
    jpeg_huff_code* codes;   // symbol_bound entries, indexed by symbol value; filled with the look-ahead
    uint8_t* counts;         // 16 counts of codes per length
    uint8_t* values;         // symbols in stream order (in the counts' block)
    int32_t cumulative[17];
    int32_t mincode[16];
    int32_t maxcode[16];
    int32_t symbol_bound;             // 17 for DC, 256 for AC
    jpeg_huff_lookahead* lookahead;   // 2^width entries
};

// 64 values in natural (row-major) order and a spare word.
struct jpeg_quant_table {
    uint32_t values[64];
    void* spare;
};

// Per component: 64 multipliers in natural order, prepared for that component's transform.
struct jpeg_multiplier_table {
    int32_t values[64];
    int32_t spare;
};

// One block of the MCU block list; the two words after the pointer belong to the drivers.
struct jpeg_block_entry {
    int32_t* coefficients;   // 64 values
    int32_t count;
    int32_t extra;
};

// Read through the built-in memory source, data points into the caller's bytes (which outlive
// the decoder's reading anyway) instead of a copy.
struct jpeg_app_segment {
    uint32_t marker;   // 0xE0..0xEF
    uint32_t length;   // bytes stored
    uint8_t* data;
    uint32_t owned;   // 1 when data is the decoder's copy
};

// Made for a top-level decoder when a non-progressive multi-component frame has a scan of one
// component: each such scan is decoded by a sub-decoder over a copy of the stream.
struct jpeg_scan_set {
    uint8_t* stream;
    uint32_t stream_size;
    uint32_t* first_selectors;   // one per frame component
    jpeg_decoder** decoders;     // one per frame component
    uint32_t count;              // scans recorded
    void (*release)(jpeg_decoder* owner, jpeg_scan_set* set);
};

struct jpeg_scan_header {
    uint16_t length;
    uint8_t count;
    uint8_t selector[4];
    uint8_t tables[4];   // Td << 4 | Ta
    uint8_t ss;
    uint8_t se;
    uint8_t approximation;   // Ah << 4 | Al
};

struct jpeg_frame_header {
    uint16_t length;
    uint8_t precision;
    uint16_t lines;
    uint16_t samples;
    uint8_t count;
    uint8_t id[4];
    uint8_t sampling[4];   // H << 4 | V
    uint8_t table[4];
};

constexpr uint32_t JPEG_MAX_SEGMENTS = 128;
constexpr uint32_t JPEG_MAX_COMMENT = 65535;
constexpr int32_t JPEG_INPUT_BUFFER_SIZE = 8192;

struct jpeg_decoder {
    int32_t output_color;
    int32_t image_color;
    int32_t sample_bits;
    int32_t output_components;
    int32_t component_count;
    int32_t precision;
    uint16_t width;
    uint16_t height;
    uint32_t density_x;
    uint32_t density_y;
    uint8_t ratio_h[4];
    uint8_t ratio_v[4];

    uint16_t rows_left_in_mcu_row;

    // MCU geometry
    int32_t mcu_rows;
    int32_t mcus_per_row;
    int32_t mcu_row_counter;
    int32_t mcus_since_restart;
    int32_t mcus_to_skip;
    int32_t block_entry_count;
    int32_t block_index;
    uint32_t blocks_h[4];
    uint32_t blocks_v[4];
    uint32_t blocks_per_mcu;
    uint32_t mcu_width[4];
    uint32_t mcu_height[4];
    uint32_t component_blocks[4];
    jpeg_block_entry* block_entries;
    int32_t* coefficient_space;

    // Tables
    uint32_t quant_selector[4];
    int32_t quant_count;
    uint32_t quant_precision;
    jpeg_quant_table* quant_tables;
    jpeg_multiplier_table* multipliers;   // one per frame component
    uint32_t restart_counter;
    uint32_t restart_interval;
    uint32_t component_id[4];
    uint8_t last_marker;
    uint8_t end_of_scan_marker;
    int32_t dc_pred[4];
    uint32_t dc_selector[4];
    uint32_t ac_selector[4];
    int32_t dc_count;
    int32_t ac_count;
    jpeg_huff_table* dc_tables;
    jpeg_huff_table* ac_tables;
    uint32_t symbol_totals[16];
    // Slots allocated behind each array (at least its count), so that defining tables 0 and 1
    // does not grow an array twice.
    int32_t dc_capacity;
    int32_t ac_capacity;
    int32_t quant_capacity;

    const uint8_t* natural_order;
    uint32_t header_read;
    uint32_t huff_borrowed;
    uint32_t quant_borrowed;
    char* comment;
    uint32_t comment_length;
    uint32_t comment_capacity;

    jpeg_scan_header scan;
    uint32_t in_scan[4];
    uint32_t frame_marker;
    jpeg_frame_header frame;
    uint32_t pending_marker;
    uint32_t luminance_only;
    int32_t lookahead_bits;
    uint32_t tables_changed;

    // Entropy input (decode mode when input_buffer is set)
    uint64_t bit_buffer;
    int32_t bit_count;
    int32_t inserted_zeros;
    int32_t input_state;
    int32_t entropy_status;
    int32_t end_of_data;
    int32_t buffered;
    int32_t buffer_position;
    uint32_t bytes_left;
    uint8_t* input_buffer;

    uint32_t scale_denominator;
    uint32_t component_scale[4];
    uint32_t lines_to_output;
    uint32_t lines_left;

    void* user;
    void* source_handle;
    uint32_t direct_mode;
    int32_t requested_color;
    uint32_t stream_length;

    void* (*alloc)(void* user, uint32_t size);
    void (*free)(void* user, void* pointer);
    int64_t (*tell)(void* handle);
    int64_t (*seek)(void* handle, int64_t position);
    int32_t (*get_byte)(void* handle);
    int32_t (*read)(void* handle, uint8_t* buffer, uint32_t count);

    int32_t state;   // 0 created, 1 header read, 2 decoding
    uint32_t segment_count;
    jpeg_app_segment segments[JPEG_MAX_SEGMENTS];
    jpeg_scan_set* scan_set;
    int32_t selected_component;   // -1 for a top-level decoder
    int64_t header_start;
    uint8_t frame_h[4];
    uint8_t frame_v[4];

    // Decoding: routines fixed at decode start, line buffers, the range-limit base.
    jpeg_direct_state* direct;
    jpeg_line_buffer* line_buffers;
    const int32_t* range_limit;   // entry 640 of the shared table
    jpeg_status (*row_decoder)(jpeg_decoder* decoder);
    uint8_t* output_line;   // the caller's line of the current row (lossless rows decoded in place)
    void (*row_output)(jpeg_decoder* decoder, uint8_t* line);
    jpeg_status (*decode_unit)(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
    // Lossless: one row of differences (or, where the unit predicts as it decodes, of samples),
    // set by the restart routine; the reconstruction of a row of differences into samples.
    jpeg_status (*decode_row_unit)(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component);
    void (*reconstruct)(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t components, int32_t* first_row);
    uint32_t single_row_lossless;   // rows decoded and reconstructed straight into the caller's line
    void (*transform[4])(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
    // Reduced sizes on the direct path: a transform that reads the 16-bit values itself (null
    // where a component has none).
    void (*transform_words[4])(const int16_t* words, const int32_t* multiplier, int32_t* out);
    void (*output_blocks)(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries);
    // The block stores through the range limit: full-size from 32-bit or 16-bit values, and the
    // top-left n x n (n 2 or 4) of a reduced block.
    void (*store_block8)(const int32_t* values, uint8_t* out, int32_t stride);
    void (*store_block8_words)(const int16_t* values, uint8_t* out, int32_t stride);
    void (*store_block_small)(const int32_t* values, uint8_t* out, int32_t stride, int32_t n);
    jpeg_status (*restart)(jpeg_decoder* decoder);
    jpeg_status (*end_of_segment)(jpeg_decoder* decoder);
    jpeg_status (*skip_restarts)(jpeg_decoder* decoder, int32_t n);
    void (*resample[4])(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines);
    uint32_t resample_width[4];
    uint32_t resample_lines[4];
    uint8_t reduced_h[4];
    uint8_t reduced_v[4];
    jpeg_status row_status;      // result of the MCU row being handed out
    int32_t eob_run;             // bands left in a progressive AC end-of-band run
    jpeg_status header_status;   // what jpeg_read_header returned: a start after a failure returns it
};

// Life cycle
jpeg_decoder* jpeg_decoder_create(const jpeg_allocator* allocator, void* user);
jpeg_decoder* jpeg_decoder_open(const jpeg_source* source, const jpeg_allocator* allocator, void* user,
                                jpeg_status* status);
// Installs the source callbacks and its handle (the handle only for the built-in memory source).
void jpeg_set_source(jpeg_decoder* decoder, const jpeg_source* source);
jpeg_status jpeg_read_header(jpeg_decoder* decoder, int32_t requested_color, uint32_t stream_length,
                             const jpeg_decoder* donor);
void jpeg_share_tables(jpeg_decoder* decoder, const jpeg_decoder* donor);
jpeg_status jpeg_set_scale(jpeg_decoder* decoder, uint32_t denominator);
jpeg_status jpeg_set_line_count(jpeg_decoder* decoder, uint32_t lines);
jpeg_status jpeg_set_luminance_only(jpeg_decoder* decoder, uint32_t flag);
jpeg_status jpeg_decoder_destroy(jpeg_decoder* decoder);

// Accessors, valid after jpeg_read_header
int32_t jpeg_output_color_code(const jpeg_decoder* decoder);
int32_t jpeg_image_color_code(const jpeg_decoder* decoder);
uint32_t jpeg_width(const jpeg_decoder* decoder);
uint32_t jpeg_height(const jpeg_decoder* decoder);
int32_t jpeg_precision(const jpeg_decoder* decoder);
uint32_t jpeg_resolution_x(const jpeg_decoder* decoder);
uint32_t jpeg_resolution_y(const jpeg_decoder* decoder);
bool jpeg_is_progressive(const jpeg_decoder* decoder);
bool jpeg_is_lossless(const jpeg_decoder* decoder);
bool jpeg_is_separate_scan(const jpeg_decoder* decoder);
uint32_t jpeg_sampling_code(const jpeg_decoder* decoder);
int32_t jpeg_color_code_channels(int32_t color);
uint32_t jpeg_segment_count(const jpeg_decoder* decoder);
const jpeg_app_segment* jpeg_segment_at(const jpeg_decoder* decoder, uint32_t index);

// Helpers every part of the codec uses. The source helpers call the record's callbacks with its
// handle; jpeg_src_get_u16 reads two bytes high first: 0..65535, or -1 when input ends.
int32_t jpeg_src_get_byte(jpeg_decoder* decoder);
int32_t jpeg_src_read(jpeg_decoder* decoder, uint8_t* buffer, uint32_t count);
int64_t jpeg_src_tell(jpeg_decoder* decoder);
int64_t jpeg_src_seek(jpeg_decoder* decoder, int64_t position);
int32_t jpeg_src_get_u16(jpeg_decoder* decoder);
// Sizes are computed in 64 bits; more than the allocator's 32-bit size gives null.
void* jpeg_malloc(jpeg_decoder* decoder, uint64_t size);
void* jpeg_calloc(jpeg_decoder* decoder, uint64_t count, uint64_t size);
void jpeg_free(jpeg_decoder* decoder, void* pointer);
