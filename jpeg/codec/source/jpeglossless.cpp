#include <cstring>
#include <utility>

#include "huffman/huff_decode.h"
#include "jpeg/jpegdecode.h"
#include "jpeg/jpegfastlossless.h"
#include "jpeg/jpegrecord.h"
#include "jpeg/jpegtables.h"
#include "processor/kernel_dispatch.h"

// Lossless frames decode one sample row per call. The row decoder hands each row to the decode
// unit that the direct path's restart routine chose: differences into each component's first
// row, which the reconstruction routine turns into samples in the third row; or, in the fast
// loops, samples predicted as they are decoded. The third row then becomes the previous row
// (second row). The direct path's routines here reach the record through jpegrecord.h only.

namespace {

// A row costs at most 32 bits per sample (16 of code, 16 extra), twice that when every byte is
// stuffed: the whole row must be in the block before the kernel starts on it.
constexpr uint64_t kWorstBytesPerSample = 8;

// The components this decoder decodes: all of them, or a sub-decoder's one.
int32_t FirstDecoded(const jpeg_decoder* decoder)
{
    return jpeg_rec_selected_component(decoder) >= 0 ? jpeg_rec_selected_component(decoder) : 0;
}

int32_t DecodedCount(const jpeg_decoder* decoder)
{
    return jpeg_rec_selected_component(decoder) >= 0 ? 1 : jpeg_rec_component_count(decoder);
}

uint32_t PointTransform(const jpeg_decoder* decoder)
{
    return jpeg_rec_al(decoder);
}

}   // namespace

// Three rows of 16-bit samples per component: differences, previous row, current row; and the
// row output routine by component count and sample size.
jpeg_status jpeg_lossless_line_buffers(jpeg_decoder* decoder)
{
    jpeg_line_buffers_release(decoder);
    const int32_t nf = decoder->component_count;
    decoder->line_buffers =
        static_cast<jpeg_line_buffer*>(jpeg_calloc(decoder, static_cast<uint32_t>(nf), sizeof(jpeg_line_buffer)));
    if (decoder->line_buffers == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    const uint32_t width = decoder->width;
    for (int32_t c = 0; c < nf; ++c) {
        jpeg_line_buffer& buffer = decoder->line_buffers[c];
        buffer.width = width;
        buffer.rows = 1;
        buffer.stride = width;
        buffer.band_size = 2 * width;
        buffer.mcu_width = 1;
        if (decoder->selected_component >= 0 && decoder->selected_component != c) {
            continue;
        }
        buffer.base = static_cast<uint8_t*>(jpeg_calloc(decoder, 3, buffer.band_size));
        if (buffer.base == nullptr) {
            return JPEG_ERR_MEMORY;
        }
        buffer.current = buffer.base;
        buffer.second_row = buffer.base + buffer.band_size;
        buffer.third_row = buffer.base + 2 * static_cast<size_t>(buffer.band_size);
    }
    const bool wide = decoder->sample_bits > 8;
    if (decoder->selected_component >= 0) {
        decoder->row_output = &jpeg_row_selected_lossless;
    } else if (nf == 1) {
        decoder->row_output = wide ? &jpeg_row_lossless_grey16 : &jpeg_row_lossless_grey8;
    } else if (nf == 3) {
        decoder->row_output = wide ? &jpeg_row_lossless_rgb16 : &jpeg_row_lossless_rgb8;
    } else {
        decoder->row_output = &jpeg_row_lossless_interleave;
    }
    decoder->rows_left_in_mcu_row = 0;
    return JPEG_OK;
}

jpeg_status jpeg_direct_setup_lossless(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    const int32_t decoded = DecodedCount(decoder);
    const uint64_t row = kWorstBytesPerSample * jpeg_rec_width(decoder) * static_cast<uint64_t>(decoded);
    // Two worst-case rows: one to decode, one read ahead so refills stay rare.
    const uint64_t capacity = 2 * row + 1024;
    // Behind the data: zeros for a fast row that runs past its end and for the reader's
    // look-ahead (a worst-case row and 64 bytes).
    const uint64_t guard = decoded == 1 ? row + 64 : 0;
    jpeg_free(decoder, st->buffer);
    st->buffer = static_cast<uint8_t*>(jpeg_calloc(decoder, 1, capacity + guard));
    st->current = st->buffer;
    if (st->buffer == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    st->capacity = static_cast<int32_t>(capacity);
    st->guard = static_cast<int32_t>(guard);
    if (decoded != 1) {
        return JPEG_OK;
    }
    const jpeg_status built = jpeg_direct_build_lossless_table(decoder);
    if (built == JPEG_ERR_UNSUPPORTED) {
        return JPEG_OK;   // the kernel row decoder serves this table
    }
    if (built < 1) {
        return built;
    }
    st->lossless_fast = 1;
    // The first row starts at 32768 in this loop: right only without a point transform.
    if (jpeg_rec_ss(decoder) == 1 && jpeg_rec_precision(decoder) == 16 && PointTransform(decoder) == 0) {
        st->lossless_fast16 = 1;
        st->predictions = jpeg_rec_dc_preds(decoder);
    }
    return JPEG_OK;
}

namespace {

// The component a fast unit decodes: the one asked for, or for all (the count) the only one.
int32_t UnitComponent(const jpeg_decoder* decoder, int32_t component)
{
    return component < jpeg_rec_component_count(decoder) ? component : 0;
}

// Zeros behind the data, then the row from the block's position; false when the row could not
// be decoded within the data, or an earlier row of the interval failed. With `first_row`, the
// 16-bit predictor-1 loop; with `above`, the row is reconstructed from it as it is decoded.
bool FastRow(jpeg_decoder* decoder, int32_t component, uint16_t* out, int32_t* first_row, const uint16_t* above)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    jpeg_fast_tables* block = st->lossless_table;
    const int32_t x = jpeg_rec_width(decoder);
    if (st->interval_failed != 0 || st->available < 0) {
        return false;
    }
    // A scan may name a table slot that no table filled: the row cannot be decoded.
    const auto slot = static_cast<int32_t>(jpeg_rec_dc_selectors(decoder)[component]);
    if (slot < 0 || slot >= 16 || block->tables[slot] == nullptr) {
        st->interval_failed = 1;
        return false;
    }
    jpeg_direct_refill(decoder, static_cast<int32_t>(kWorstBytesPerSample * x));
    uint8_t* end = st->current + st->available;
    // With a worst-case row and the look-ahead in the data, the loop cannot reach past it.
    if (static_cast<int64_t>(st->available) < static_cast<int64_t>(st->guard)) {
        std::memset(end, 0, static_cast<size_t>(st->guard));
    }
    *jpeg_fast_tables_position(block) = st->current;
    const int32_t result =
        first_row != nullptr ? jpeg_fast_lossless_row_p1(x, slot, block, out, first_row)
        : above != nullptr
            ? jpeg_fast_lossless_row_predicted(x, slot, block, above, out, static_cast<int32_t>(jpeg_rec_ss(decoder)))
            : jpeg_fast_lossless_diffs(x, slot, block, out);
    const uint8_t* at = block->position;
    if (result != 0 || at > end || (at == end && block->bit_position > 0)) {
        // The bit position inside the interval is lost: the rest waits for the restart.
        st->current = end;
        st->available = 0;
        st->interval_failed = 1;
        return false;
    }
    st->available -= static_cast<int32_t>(at - st->current);
    st->current = const_cast<uint8_t*>(at);
    return true;
}

}   // namespace

jpeg_status jpeg_direct_decode_row_fast(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component)
{
    const int32_t c = UnitComponent(decoder, component);
    // After the first row the prediction runs inside the decoding loop, so that its serial path
    // overlaps the decoding's.
    if (rows->previous[0] != nullptr) {
        if (!FastRow(decoder, c, rows->output[0], nullptr, rows->previous[0])) {
            return JPEG_ERR_DATA;
        }
        rows->reconstructed = 1;
        return JPEG_OK;
    }
    return FastRow(decoder, c, rows->differences[0], nullptr, nullptr) ? JPEG_OK : JPEG_ERR_DATA;
}

jpeg_status jpeg_direct_decode_row_fast16(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (!FastRow(decoder, UnitComponent(decoder, component), rows->output[0], st->predictions, nullptr)) {
        // The lost row comes out as bytes 128, and the next one predicts from that.
        st->lossless_table->first_column = 0x8080;
        return JPEG_ERR_DATA;
    }
    rows->reconstructed = 1;
    return JPEG_OK;
}

jpeg_status jpeg_direct_decode_row(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t component)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (st->interval_failed != 0) {
        return JPEG_ERR_DATA;
    }
    const int32_t nf = jpeg_rec_component_count(decoder);
    const uint32_t* selectors = jpeg_rec_dc_selectors(decoder);
    const HuffDecodeSpec* specs[4]{};
    int32_t count = 1;
    if (component >= nf) {
        count = nf;
        for (int32_t c = 0; c < nf; ++c) {
            specs[c] = st->dc_specs[selectors[c]];
        }
    } else {
        specs[0] = st->dc_specs[selectors[component]];
    }
    const int32_t width = jpeg_rec_width(decoder);
    jpeg_direct_refill(decoder, static_cast<int32_t>(kWorstBytesPerSample * width * count));
    uint32_t marker = jpeg_rec_marker(decoder);
    int32_t consumed = 0;
    const kernel_status decoded = huff_decode_lossless_row(st->current, st->available, &consumed, rows->differences,
                                                           width, count, &marker, specs, st->huff_state);
    jpeg_rec_set_marker(decoder, marker);
    st->current += consumed;
    st->available -= consumed;
    if (decoded != kernel_ok) {
        st->interval_failed = 1;
        return JPEG_ERR_DATA;
    }
    return JPEG_OK;
}

void jpeg_direct_reconstruct(jpeg_decoder* decoder, jpeg_lossless_rows* rows, int32_t components, int32_t* first_row)
{
    const int32_t x = jpeg_rec_width(decoder);
    for (int32_t c = 0; c < components; ++c) {
        if (*first_row != 0) {
            lossless_reconstruct_first_row(rows->differences[c], rows->output[c], x,
                                           static_cast<int32_t>(jpeg_rec_precision(decoder)),
                                           static_cast<int32_t>(PointTransform(decoder)));
        } else {
            lossless_reconstruct_row(rows->differences[c], rows->previous[c], rows->output[c], x,
                                     static_cast<int32_t>(jpeg_rec_ss(decoder)));
        }
    }
    *first_row = 0;
}

void jpeg_direct_install_reconstruct(jpeg_decoder* decoder)
{
    jpeg_rec_set_reconstruct(decoder, &jpeg_direct_reconstruct);
}

jpeg_status jpeg_start_lossless(jpeg_decoder* decoder)
{
    const int32_t nf = decoder->component_count;
    // One component of a separate-scan set is not decoded on its own here.
    if (nf < 1 || nf > 4 || decoder->precision < 2 || decoder->precision > 16 || decoder->selected_component >= nf) {
        return JPEG_ERR_UNSUPPORTED;
    }
    // The row decoders interleave one sample of each component: any other sampling would be
    // decoded as garbage.
    for (int32_t c = 0; nf > 1 && c < nf; ++c) {
        if (decoder->frame_h[c] != 1 || decoder->frame_v[c] != 1) {
            return JPEG_ERR_UNSUPPORTED;
        }
    }
    decoder->natural_order = GetNaturalOrderTable();
    for (int32_t c = FirstDecoded(decoder); c < FirstDecoded(decoder) + DecodedCount(decoder); ++c) {
        if (decoder->dc_selector[c] >= static_cast<uint32_t>(decoder->dc_count) ||
            decoder->dc_tables[decoder->dc_selector[c]].counts == nullptr) {
            return JPEG_ERR_SYNTAX;
        }
    }
    decoder->direct_mode = 1;
    jpeg_status status = jpeg_direct_state_create(decoder);
    if (status >= 1) {
        status = jpeg_direct_setup(decoder);
    }
    if (status >= 1) {
        status = decoder->restart(decoder);
    }
    if (status >= 1) {
        for (uint32_t& scale : decoder->component_scale) {
            scale = 1;
        }
        jpeg_direct_install_reconstruct(decoder);
        status = jpeg_setup_mcu_geometry(decoder);
    }
    if (status >= 1) {
        status = jpeg_lossless_line_buffers(decoder);
    }
    if (status < 1) {
        return status;
    }
    decoder->row_decoder = &jpeg_decode_lossless_row;
    decoder->dc_pred[0] = 1;   // first-row flag
    decoder->end_of_scan_marker = 0xD7;
    decoder->mcus_to_skip = 0;
    decoder->row_status = JPEG_OK;
    decoder->state = 2;
    return JPEG_OK;
}

jpeg_status jpeg_direct_build_lossless_table(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    const int32_t count = jpeg_rec_dc_count(decoder) < 16 ? jpeg_rec_dc_count(decoder) : 16;
    uint32_t totals[16]{};
    const uint8_t* values[16]{};
    const uint8_t* counts[16]{};
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* slot_counts = jpeg_rec_dc_counts(decoder, i);
        const uint8_t* slot_values = jpeg_rec_dc_values(decoder, i);
        if (slot_counts == nullptr || slot_values == nullptr) {
            continue;
        }
        // The slot's own total: a later AC table of the same identifier may declare another.
        for (int32_t l = 0; l < 16; ++l) {
            totals[i] += slot_counts[l];
        }
        values[i] = slot_values;
        counts[i] = slot_counts;
    }
    jpeg_free(decoder, st->lossless_table);
    st->lossless_table = static_cast<jpeg_fast_tables*>(jpeg_calloc(decoder, 1, jpeg_fast_tables_size(count, totals)));
    if (st->lossless_table == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    const int32_t built = jpeg_fast_tables_build(count, totals, values, counts, st->lossless_table);
    if (built != 0) {
        jpeg_free(decoder, st->lossless_table);
        st->lossless_table = nullptr;
        return built == -3 ? JPEG_ERR_UNSUPPORTED : JPEG_ERR_DATA;
    }
    return JPEG_OK;
}

jpeg_status jpeg_direct_restart_lossless(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (st->lossless_fast != 0) {
        // Before a restart marker the fast loops leave the padding byte partly used.
        if (st->lossless_table->bit_position != 0 && st->available >= 1) {
            const int32_t step = st->current[0] == 0xFF && st->available >= 2 && st->current[1] == 0 ? 2 : 1;
            st->current += step;
            st->available -= step;
        }
        if (st->lossless_fast16 != 0) {
            jpeg_rec_set_single_row(decoder);
            jpeg_rec_set_block_decoder(decoder, &jpeg_direct_decode_row_fast16);
        } else {
            jpeg_rec_set_block_decoder(decoder, &jpeg_direct_decode_row_fast);
        }
        if (jpeg_fast_bits_reset(st->lossless_table) != 0) {
            return 0;
        }
    } else {
        jpeg_rec_set_block_decoder(decoder, &jpeg_direct_decode_row);
    }
    st->interval_failed = 0;
    return huff_decode_state_init(st->huff_state) == kernel_ok ? JPEG_OK : 0;
}

jpeg_status jpeg_decode_lossless_row(jpeg_decoder* decoder)
{
    const int32_t first_component = FirstDecoded(decoder);
    const int32_t nf = DecodedCount(decoder);
    const int32_t x = decoder->width;
    const bool single = decoder->single_row_lossless != 0;
    auto* line = reinterpret_cast<uint16_t*>(decoder->output_line);
    jpeg_line_buffer* buffers = decoder->line_buffers + first_component;
    const bool first = decoder->dc_pred[0] != 0;
    jpeg_lossless_rows rows{};
    for (int32_t c = 0; c < nf; ++c) {
        rows.differences[c] = reinterpret_cast<uint16_t*>(buffers[c].base);
        rows.previous[c] = first ? nullptr : reinterpret_cast<const uint16_t*>(buffers[c].second_row);
        rows.output[c] = single ? line : reinterpret_cast<uint16_t*>(buffers[c].third_row);
    }
    // A sub-decoder's one component, or all of them together.
    const int32_t unit = decoder->selected_component >= 0 ? decoder->selected_component : decoder->component_count;
    const bool damaged = decoder->decode_row_unit(decoder, &rows, unit) < 1;
    jpeg_status result = damaged ? JPEG_WARN_DAMAGED_DATA : JPEG_OK;
    const uint32_t interval = decoder->restart_interval;
    // Counted only within an interval (at most 65535 + a row): without one it would pass 2^31.
    if (interval != 0) {
        decoder->mcus_since_restart += x;
    }
    // A missing RSTn costs the warning only: the row itself decoded.
    bool restarted = false;
    if (interval != 0 && static_cast<uint32_t>(decoder->mcus_since_restart) >= interval) {
        decoder->mcus_since_restart = 0;
        restarted = true;
        decoder->restart(decoder);
        if (decoder->end_of_segment(decoder) < 1) {
            result = JPEG_WARN_DAMAGED_DATA;
            decoder->skip_restarts(decoder, 1);
        }
    }
    if (single) {
        // Decoded and reconstructed in the caller's line, which a lost row fills with 128.
        if (damaged) {
            std::memset(line, 128, 2 * static_cast<size_t>(x));
        }
        if (restarted) {
            decoder->dc_pred[0] = 1;
        }
        ++decoder->mcu_row_counter;
        return result;
    }
    if (damaged) {
        // The next row predicts from bytes 128.
        for (int32_t c = 0; c < nf; ++c) {
            std::memset(buffers[c].third_row, 128, buffers[c].band_size);
        }
    } else if (rows.reconstructed == 0) {
        int32_t first_row = first ? 1 : 0;
        decoder->reconstruct(decoder, &rows, nf, &first_row);
    }
    // The new row becomes the previous one.
    for (int32_t c = 0; c < nf; ++c) {
        std::swap(buffers[c].second_row, buffers[c].third_row);
    }
    decoder->dc_pred[0] = restarted ? 1 : 0;
    ++decoder->mcu_row_counter;
    return result;
}

namespace {

const uint16_t* OutputRow(const jpeg_decoder* decoder, int32_t c)
{
    return reinterpret_cast<const uint16_t*>(decoder->line_buffers[c].second_row);
}

}   // namespace

// ---- row output: the newest row of each component, shifted back by the point transform ----

// A sub-decoder's row for its parent: the 16-bit samples as decoded.
void jpeg_row_selected_lossless(jpeg_decoder* decoder, uint8_t* line)
{
    if (decoder->single_row_lossless != 0) {
        return;   // the row decoder wrote the line
    }
    const jpeg_line_buffer& buffer = decoder->line_buffers[decoder->selected_component];
    std::memcpy(line, buffer.second_row, buffer.band_size);
}

void jpeg_row_lossless_grey8(jpeg_decoder* decoder, uint8_t* line)
{
    const uint16_t* row = OutputRow(decoder, 0);
    const uint32_t al = PointTransform(decoder);
    for (uint32_t x = 0; x < decoder->width; ++x) {
        line[x] = static_cast<uint8_t>(row[x] << al);
    }
}

void jpeg_row_lossless_grey16(jpeg_decoder* decoder, uint8_t* line)
{
    if (decoder->single_row_lossless != 0) {
        return;   // the row decoder wrote the line
    }
    const uint16_t* row = OutputRow(decoder, 0);
    const uint32_t al = PointTransform(decoder);
    auto* out = reinterpret_cast<uint16_t*>(line);
    if (al == 0) {
        std::memcpy(out, row, 2 * static_cast<size_t>(decoder->width));
        return;
    }
    for (uint32_t x = 0; x < decoder->width; ++x) {
        out[x] = static_cast<uint16_t>(row[x] << al);
    }
}

void jpeg_row_lossless_rgb8(jpeg_decoder* decoder, uint8_t* line)
{
    const uint16_t* a = OutputRow(decoder, 0);
    const uint16_t* b = OutputRow(decoder, 1);
    const uint16_t* c = OutputRow(decoder, 2);
    const uint32_t al = PointTransform(decoder);
    for (uint32_t x = 0; x < decoder->width; ++x) {
        line[3 * x] = static_cast<uint8_t>(a[x] << al);
        line[3 * x + 1] = static_cast<uint8_t>(b[x] << al);
        line[3 * x + 2] = static_cast<uint8_t>(c[x] << al);
    }
}

void jpeg_row_lossless_rgb16(jpeg_decoder* decoder, uint8_t* line)
{
    const uint16_t* a = OutputRow(decoder, 0);
    const uint16_t* b = OutputRow(decoder, 1);
    const uint16_t* c = OutputRow(decoder, 2);
    const uint32_t al = PointTransform(decoder);
    auto* out = reinterpret_cast<uint16_t*>(line);
    for (uint32_t x = 0; x < decoder->width; ++x) {
        out[3 * x] = static_cast<uint16_t>(a[x] << al);
        out[3 * x + 1] = static_cast<uint16_t>(b[x] << al);
        out[3 * x + 2] = static_cast<uint16_t>(c[x] << al);
    }
}

void jpeg_row_lossless_interleave(jpeg_decoder* decoder, uint8_t* line)
{
    const int32_t nf = decoder->component_count;
    const uint32_t al = PointTransform(decoder);
    auto* out16 = reinterpret_cast<uint16_t*>(line);
    for (int32_t c = 0; c < nf; ++c) {
        const uint16_t* row = OutputRow(decoder, c);
        for (uint32_t x = 0; x < decoder->width; ++x) {
            const auto value = static_cast<uint16_t>(row[x] << al);
            if (decoder->sample_bits > 8) {
                out16[x * nf + c] = value;
            } else {
                line[x * nf + c] = static_cast<uint8_t>(value);
            }
        }
    }
}
