#pragma once

// The decoder record as the direct kernel path sees it: the direct path reads and writes the
// record only through these, so that what it depends on stays a short, fixed list. All inline:
// the decode units call several per block or row.

#include "jpeg/jpegdecoder.h"

struct jpeg_lossless_rows;

using jpeg_block_unit = jpeg_status (*)(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
using jpeg_row_unit = jpeg_status (*)(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component);
using jpeg_reconstruct_routine = void (*)(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t components,
                                          int32_t* first_row);

// The direct path's own state.
inline jpeg_direct_state* jpeg_rec_direct_state(const jpeg_decoder* decoder)
{
    return decoder->direct;
}
inline void jpeg_rec_set_direct_state(jpeg_decoder* decoder, jpeg_direct_state* state)
{
    decoder->direct = state;
}

// Tables: quantisation records and slot counts, per-component selectors, Huffman counts and values.
inline const jpeg_quant_table* jpeg_rec_quant_table(const jpeg_decoder* decoder, int32_t i)
{
    return &decoder->quant_tables[i];
}
inline int32_t jpeg_rec_quant_count(const jpeg_decoder* decoder)
{
    return decoder->quant_count;
}
inline const uint32_t* jpeg_rec_quant_selectors(const jpeg_decoder* decoder)
{
    return decoder->quant_selector;
}
inline const uint32_t* jpeg_rec_dc_selectors(const jpeg_decoder* decoder)
{
    return decoder->dc_selector;
}
inline const uint32_t* jpeg_rec_ac_selectors(const jpeg_decoder* decoder)
{
    return decoder->ac_selector;
}
inline int32_t jpeg_rec_dc_count(const jpeg_decoder* decoder)
{
    return decoder->dc_count;
}
inline int32_t jpeg_rec_ac_count(const jpeg_decoder* decoder)
{
    return decoder->ac_count;
}
inline const uint8_t* jpeg_rec_dc_counts(const jpeg_decoder* decoder, int32_t i)
{
    return decoder->dc_tables[i].counts;
}
inline const uint8_t* jpeg_rec_dc_values(const jpeg_decoder* decoder, int32_t i)
{
    return decoder->dc_tables[i].values;
}
inline const uint8_t* jpeg_rec_ac_counts(const jpeg_decoder* decoder, int32_t i)
{
    return decoder->ac_tables[i].counts;
}
inline const uint8_t* jpeg_rec_ac_values(const jpeg_decoder* decoder, int32_t i)
{
    return decoder->ac_tables[i].values;
}
// As the DHT parser stored it for the identifier (a later table of the same identifier, DC or
// AC, replaces it).
inline uint32_t jpeg_rec_dc_symbol_total(const jpeg_decoder* decoder, int32_t i)
{
    return decoder->symbol_totals[i & 15];
}

// DC predictions (for lossless, word 0 is the first-row flag).
inline int32_t jpeg_rec_dc_pred(const jpeg_decoder* decoder, int32_t c)
{
    return decoder->dc_pred[c];
}
inline void jpeg_rec_set_dc_pred(jpeg_decoder* decoder, int32_t c, int32_t value)
{
    decoder->dc_pred[c] = value;
}
inline int32_t* jpeg_rec_dc_preds(jpeg_decoder* decoder)
{
    return decoder->dc_pred;
}

// The marker that entropy decoding met (0 for none).
inline uint32_t jpeg_rec_marker(const jpeg_decoder* decoder)
{
    return decoder->pending_marker;
}
inline void jpeg_rec_set_marker(jpeg_decoder* decoder, uint32_t code)
{
    decoder->pending_marker = code;
}

// Hooks the row decoders call.
inline void jpeg_rec_set_block_decoder(jpeg_decoder* decoder, jpeg_block_unit unit)
{
    decoder->decode_unit = unit;
}
inline void jpeg_rec_set_block_decoder(jpeg_decoder* decoder, jpeg_row_unit unit)
{
    decoder->decode_row_unit = unit;
}
inline void jpeg_rec_set_restart(jpeg_decoder* decoder, jpeg_status (*routine)(jpeg_decoder*))
{
    decoder->restart = routine;
}
inline void jpeg_rec_set_end_of_segment(jpeg_decoder* decoder, jpeg_status (*routine)(jpeg_decoder*))
{
    decoder->end_of_segment = routine;
}
inline void jpeg_rec_set_skip_restarts(jpeg_decoder* decoder, jpeg_status (*routine)(jpeg_decoder*, int32_t))
{
    decoder->skip_restarts = routine;
}
inline void jpeg_rec_set_reconstruct(jpeg_decoder* decoder, jpeg_reconstruct_routine routine)
{
    decoder->reconstruct = routine;
}

// Markers and the height a DNL segment gives.
inline void jpeg_rec_set_height(jpeg_decoder* decoder, uint16_t height)
{
    decoder->height = height;
}
inline void jpeg_rec_set_last_marker(jpeg_decoder* decoder, uint8_t code)
{
    decoder->last_marker = code;
}
inline void jpeg_rec_set_restart_marker(jpeg_decoder* decoder, uint8_t code)
{
    decoder->end_of_scan_marker = code;
}

// Frame and scan.
inline uint32_t jpeg_rec_precision(const jpeg_decoder* decoder)
{
    return static_cast<uint32_t>(decoder->precision);
}
inline uint16_t jpeg_rec_width(const jpeg_decoder* decoder)
{
    return decoder->width;
}
inline int32_t jpeg_rec_component_count(const jpeg_decoder* decoder)
{
    return decoder->component_count;
}
inline uint32_t jpeg_rec_al(const jpeg_decoder* decoder)
{
    return decoder->scan.approximation & 0x0Fu;
}
inline uint32_t jpeg_rec_ss(const jpeg_decoder* decoder)
{
    return decoder->scan.ss;
}

// The single-row lossless mode: rows decoded and reconstructed into the caller's line.
inline void jpeg_rec_set_single_row(jpeg_decoder* decoder)
{
    decoder->single_row_lossless = 1;
}

// Beyond the list above: the one component a sub-decoder of a separate-scan set decodes (-1 for
// a top-level decoder), and the scale of a reduced-size decode, both of which the direct path
// serves too.
inline int32_t jpeg_rec_selected_component(const jpeg_decoder* decoder)
{
    return decoder->selected_component;
}
inline uint32_t jpeg_rec_scale(const jpeg_decoder* decoder)
{
    return decoder->scale_denominator;
}

// Reads entropy-coded bytes within what is left of the stream after its header; the bytes
// delivered, 0 at the end.
inline uint32_t jpeg_src_read_scan(jpeg_decoder* decoder, uint8_t* buffer, uint32_t count)
{
    const uint32_t want = count < decoder->bytes_left ? count : decoder->bytes_left;
    const int32_t got = want > 0 ? jpeg_src_read(decoder, buffer, want) : 0;
    const uint32_t delivered = got < 1 ? 0 : static_cast<uint32_t>(got) < want ? static_cast<uint32_t>(got) : want;
    decoder->bytes_left -= delivered;
    return delivered;
}
