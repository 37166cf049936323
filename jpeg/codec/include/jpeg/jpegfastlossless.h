#pragma once

// Row decoders of their own for one-component lossless frames: one table look-up decodes a code
// and its extra bits together for most differences. The reader takes the byte after every 0xFF
// without looking at it (stuffed zeros vanish, no marker is seen inside a row) and does not check
// the end of the data: the caller keeps zeroed bytes behind the data for a worst-case row and
// compares the position afterwards.

#include <cstdint>

// One Huffman table: the first level indexed by the next 10 bits; codes longer than 10 bits by
// their bits after the first eight (second level), so those must not overlap there.
constexpr int32_t JPEG_FAST_BITS = 10;
struct jpeg_fast_table {
    int16_t length[1 << JPEG_FAST_BITS];   // code length + category; 0xFF: a longer code (second level)
    int16_t category[1 << JPEG_FAST_BITS];
    int16_t value[1 << JPEG_FAST_BITS];   // the whole difference when code and extra bits fit in 10 bits
    int16_t length2[256];                 // remaining code bits + category; 0xFF beyond the long codes
    int16_t category2[256];
};

struct jpeg_fast_tables {
    jpeg_fast_table* tables[16];   // per DC slot, null for a slot without symbols
    const uint8_t* position;       // first byte that still holds unread bits
    int32_t bit_position;          // bits of that byte already used
    int32_t first_column;          // first sample of the previous row (predictor 1)
};

// Bytes for `count` slots with these symbol totals.
uint64_t jpeg_fast_tables_size(int32_t count, const uint32_t* symbol_counts);
// 0; -1 null block; -2 more codes than symbols; -3 a category above 16 or a table the fast
// decoding cannot serve (codes that do not fit, long codes overlapping after their first 8 bits).
int32_t jpeg_fast_tables_build(int32_t count, const uint32_t* symbol_counts, const uint8_t* const* values,
                               const uint8_t* const* code_counts, jpeg_fast_tables* block);
// One table from its symbols' code lengths and codes; 0 or -3.
int32_t jpeg_fast_table_fill(const uint8_t* lengths, const uint16_t* codes, const uint8_t* symbols, int32_t n,
                             jpeg_fast_table* table);
const uint8_t** jpeg_fast_tables_position(jpeg_fast_tables* block);
int32_t jpeg_fast_bits_reset(jpeg_fast_tables* block);
// Predictor 1, 16 bits, no point transform: decodes and reconstructs a row. A set first-row flag
// starts the row at 32768 and is cleared; 0, or -2 for a category above 16.
int32_t jpeg_fast_lossless_row_p1(int32_t samples, int32_t table, jpeg_fast_tables* block, uint16_t* out,
                                  int32_t* first_row);
// The row's differences only; 0 or -2.
int32_t jpeg_fast_lossless_diffs(int32_t samples, int32_t table, jpeg_fast_tables* block, uint16_t* out);
// A row after the first with predictor 1 to 7, decoded and reconstructed from the row above in
// one pass, so that the prediction's serial path overlaps the decoding's; 0 or -2.
int32_t jpeg_fast_lossless_row_predicted(int32_t samples, int32_t table, jpeg_fast_tables* block, const uint16_t* above,
                                         uint16_t* out, int32_t predictor);
