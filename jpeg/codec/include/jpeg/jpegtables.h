#pragma once

// Huffman decode tables, quantisation tables with their multipliers, and the MCU geometry.

#include "jpeg/jpegdecoder.h"

// Zigzag index to natural (row-major) position, 64 entries.
const uint8_t* GetNaturalOrderTable();

// Checks a DHT table (-2 when unusable) and keeps its counts, values and code bounds; the code
// table and the look-ahead follow in jpeg_build_lookahead, before a scan uses the table.
jpeg_status DeriveHuffDecodeTable(jpeg_decoder* decoder, jpeg_huff_table* table, const uint8_t counts[16],
                                  const uint8_t* values, int32_t symbol_bound);
jpeg_status jpeg_build_code_table(jpeg_decoder* decoder, const uint8_t counts[16], const uint8_t* values,
                                  int32_t symbol_bound, jpeg_huff_code** codes);
jpeg_status jpeg_build_lookahead(jpeg_decoder* decoder, jpeg_huff_table* table, int32_t width);
jpeg_status jpeg_rebuild_lookaheads(jpeg_decoder* decoder, int32_t width);
jpeg_status jpeg_check_scan_tables(jpeg_decoder* decoder);
// A decoder that borrowed a donor's tables takes copies of its own before changing any.
jpeg_status jpeg_own_huff_tables(jpeg_decoder* decoder);
jpeg_status jpeg_own_quant_tables(jpeg_decoder* decoder);
void jpeg_huff_table_release(jpeg_decoder* decoder, jpeg_huff_table* table);
void jpeg_huff_tables_release(jpeg_decoder* decoder);
void jpeg_entropy_release(jpeg_decoder* decoder);

// AAN scale factors with 14 fractional bits, natural order.
extern const int32_t jpeg_aan_scales[64];

jpeg_status jpeg_setup_mcu_geometry(jpeg_decoder* decoder);
jpeg_block_entry* jpeg_block_entries_create(jpeg_decoder* decoder, uint64_t count);
void jpeg_block_entries_release(jpeg_decoder* decoder);
jpeg_status jpeg_setup_quant_tables(jpeg_decoder* decoder);
jpeg_status jpeg_check_quant_tables(jpeg_decoder* decoder);
void jpeg_release_quant_tables(jpeg_decoder* decoder);
