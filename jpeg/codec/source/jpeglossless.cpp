#include <cstring>
#include <utility>

#include "huffman/huff_decode.h"
#include "jpeg/jpegdecode.h"
#include "jpeg/jpegfastlossless.h"
#include "jpeg/jpegtables.h"
#include "processor/kernel_dispatch.h"

// Lossless frames decode one sample row per call on the dispatched kernels: the Huffman row
// decoder writes 16-bit differences into each component's first row, the reconstruction kernels
// turn them into samples in the third row, which then becomes the previous row (second row).

namespace {

// A row costs at most 32 bits per sample (16 of code, 16 extra), twice that when every byte is
// stuffed: the whole row must be in the block before the kernel starts on it.
constexpr uint64_t kWorstBytesPerSample = 8;

// The components this decoder decodes: all of them, or a sub-decoder's one.
int32_t FirstDecoded(const jpeg_decoder* decoder)
{
    return decoder->selected_component >= 0 ? decoder->selected_component : 0;
}

int32_t DecodedCount(const jpeg_decoder* decoder)
{
    return decoder->selected_component >= 0 ? 1 : decoder->component_count;
}

uint32_t PointTransform(const jpeg_decoder* decoder)
{
    return decoder->scan.approximation & 0x0Fu;
}

}  // namespace

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

namespace {

jpeg_status SetupLosslessInput(jpeg_decoder* decoder)
{
    const jpeg_status status = jpeg_direct_setup(decoder);
    if (status < 1) {
        return status;
    }
    jpeg_direct_state* st = decoder->direct;
    const uint64_t row = kWorstBytesPerSample * decoder->width * static_cast<uint64_t>(DecodedCount(decoder));
    // Two worst-case rows: one to decode, one read ahead so refills stay rare.
    const uint64_t capacity = 2 * row + 1024;
    // Behind the data: zeros for a fast row that runs past its end and for the reader's
    // look-ahead (a worst-case row and 64 bytes).
    const uint64_t guard = DecodedCount(decoder) == 1 ? row + 64 : 0;
    jpeg_free(decoder, st->buffer);
    st->buffer = static_cast<uint8_t*>(jpeg_calloc(decoder, 1, capacity + guard));
    st->current = st->buffer;
    if (st->buffer == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    st->capacity = static_cast<int32_t>(capacity);
    st->guard = static_cast<int32_t>(guard);
    decoder->restart = &jpeg_direct_restart_lossless;
    if (DecodedCount(decoder) != 1) {
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
    st->lossless_fast16 =
        decoder->scan.ss == 1 && decoder->precision == 16 && PointTransform(decoder) == 0 ? 1 : 0;
    return JPEG_OK;
}

// Zeros behind the data, then the row from the block's position; false when the row could not
// be decoded within the data. With `above`, the row is reconstructed from it as it is decoded.
bool FastRow(jpeg_decoder* decoder, uint16_t* out, bool in_line, const uint16_t* above = nullptr)
{
    jpeg_direct_state* st = decoder->direct;
    jpeg_fast_tables* block = st->lossless_table;
    const int32_t x = decoder->width;
    if (st->available < 0) {
        return false;
    }
    jpeg_direct_refill(decoder, static_cast<int32_t>(kWorstBytesPerSample * x));
    uint8_t* end = st->current + st->available;
    // With a worst-case row and the look-ahead in the data, the loop cannot reach past it.
    if (static_cast<int64_t>(st->available) < static_cast<int64_t>(st->guard)) {
        std::memset(end, 0, static_cast<size_t>(st->guard));
    }
    *jpeg_fast_tables_position(block) = st->current;
    const int32_t slot = static_cast<int32_t>(decoder->dc_selector[FirstDecoded(decoder)]);
    const int32_t result = in_line ? jpeg_fast_lossless_row_p1(x, slot, block, out, &decoder->dc_pred[0])
                           : above != nullptr
                               ? jpeg_fast_lossless_row_predicted(x, slot, block, above, out, decoder->scan.ss)
                               : jpeg_fast_lossless_diffs(x, slot, block, out);
    const uint8_t* at = block->position;
    if (result != 0 || at > end || (at == end && block->bit_position > 0)) {
        st->current = end;
        st->available = 0;
        return false;
    }
    st->available -= static_cast<int32_t>(at - st->current);
    st->current = const_cast<uint8_t*>(at);
    return true;
}

// Before a restart marker: the fast loops leave the padding byte partly used.
void FastSkipPadding(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = decoder->direct;
    if (st->lossless_fast == 0 || st->lossless_table->bit_position == 0 || st->available < 1) {
        return;
    }
    const int32_t step = st->current[0] == 0xFF && st->available >= 2 && st->current[1] == 0 ? 2 : 1;
    st->current += step;
    st->available -= step;
}

const uint16_t* OutputRow(const jpeg_decoder* decoder, int32_t c)
{
    return reinterpret_cast<const uint16_t*>(decoder->line_buffers[c].second_row);
}

}  // namespace

jpeg_status jpeg_direct_decode_row_fast(jpeg_decoder* decoder, uint16_t* differences)
{
    return FastRow(decoder, differences, false) ? JPEG_OK : JPEG_ERR_DATA;
}

jpeg_status jpeg_direct_decode_row_fast16(jpeg_decoder* decoder, uint16_t* line)
{
    return FastRow(decoder, line, true) ? JPEG_OK : JPEG_ERR_DATA;
}

jpeg_status jpeg_direct_decode_row(jpeg_decoder* decoder, uint16_t* const* differences,
                                   const HuffDecodeSpec* const* specs, int32_t components)
{
    jpeg_direct_state* st = decoder->direct;
    jpeg_direct_refill(decoder, static_cast<int32_t>(kWorstBytesPerSample * decoder->width * components));
    int32_t consumed = 0;
    const kernel_status decoded = huff_decode_lossless_row(st->current, st->available, &consumed, differences,
                                                           decoder->width, components, &decoder->pending_marker,
                                                           specs, st->huff_state);
    st->current += consumed;
    st->available -= consumed;
    return decoded == kernel_ok ? JPEG_OK : JPEG_ERR_DATA;
}

void jpeg_direct_reconstruct(jpeg_decoder* decoder, uint16_t* const* differences, jpeg_line_buffer* buffers,
                             int32_t components, bool* first_row)
{
    const int32_t x = decoder->width;
    for (int32_t c = 0; c < components; ++c) {
        jpeg_line_buffer& buffer = buffers[c];
        auto* out = reinterpret_cast<uint16_t*>(buffer.third_row);
        if (*first_row) {
            lossless_reconstruct_first_row(differences[c], out, x, decoder->precision,
                                           static_cast<int32_t>(PointTransform(decoder)));
        } else {
            lossless_reconstruct_row(differences[c], reinterpret_cast<const uint16_t*>(buffer.second_row), out, x,
                                     decoder->scan.ss);
        }
        // The new row becomes the previous one.
        buffer.third_row = buffer.second_row;
        buffer.second_row = reinterpret_cast<uint8_t*>(out);
    }
    *first_row = false;
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
        status = SetupLosslessInput(decoder);
    }
    if (status >= 1) {
        status = decoder->restart(decoder);
    }
    if (status >= 1) {
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
    jpeg_direct_state* st = decoder->direct;
    const int32_t count = decoder->dc_count < 16 ? decoder->dc_count : 16;
    uint32_t totals[16]{};
    const uint8_t* values[16]{};
    const uint8_t* counts[16]{};
    for (int32_t i = 0; i < count; ++i) {
        const jpeg_huff_table& table = decoder->dc_tables[i];
        if (table.counts == nullptr || table.values == nullptr) {
            continue;
        }
        // The slot's own total: a later AC table of the same identifier may declare another.
        for (int32_t l = 0; l < 16; ++l) {
            totals[i] += table.counts[l];
        }
        values[i] = table.values;
        counts[i] = table.counts;
    }
    jpeg_free(decoder, st->lossless_table);
    st->lossless_table =
        static_cast<jpeg_fast_tables*>(jpeg_calloc(decoder, 1, jpeg_fast_tables_size(count, totals)));
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
    decoder->direct->interval_failed = 0;
    if (decoder->direct->lossless_fast != 0) {
        jpeg_fast_bits_reset(decoder->direct->lossless_table);
    }
    return huff_decode_state_init(decoder->direct->huff_state) == kernel_ok ? JPEG_OK : 0;
}

jpeg_status jpeg_decode_lossless_row(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = decoder->direct;
    const int32_t first_component = FirstDecoded(decoder);
    const int32_t nf = DecodedCount(decoder);
    const int32_t x = decoder->width;
    uint16_t* diffs[4]{};
    const HuffDecodeSpec* specs[4]{};
    jpeg_line_buffer* buffers = decoder->line_buffers + first_component;
    for (int32_t c = 0; c < nf; ++c) {
        diffs[c] = reinterpret_cast<uint16_t*>(buffers[c].base);
        specs[c] = st->dc_specs[decoder->dc_selector[first_component + c]];
    }
    jpeg_status result = JPEG_OK;
    bool damaged = st->interval_failed != 0;
    const bool in_line = st->lossless_fast16 != 0;
    auto* line = reinterpret_cast<uint16_t*>(decoder->output_line);
    // One component after the first row: decoded straight into samples of the next row buffer.
    const bool predicted = !in_line && st->lossless_fast != 0 && decoder->dc_pred[0] == 0;
    if (damaged) {
        result = JPEG_WARN_DAMAGED_DATA;
    } else {
        const jpeg_status decoded =
            in_line     ? jpeg_direct_decode_row_fast16(decoder, line)
            : predicted ? (FastRow(decoder, reinterpret_cast<uint16_t*>(buffers[0].third_row), false,
                                   reinterpret_cast<const uint16_t*>(buffers[0].second_row))
                               ? JPEG_OK
                               : JPEG_ERR_DATA)
            : st->lossless_fast != 0 ? jpeg_direct_decode_row_fast(decoder, diffs[0])
                                     : jpeg_direct_decode_row(decoder, diffs, specs, nf);
        if (decoded < 1) {
            // The bit position inside the interval is lost: the rest waits for the restart.
            st->interval_failed = 1;
            damaged = true;
            result = JPEG_WARN_DAMAGED_DATA;
        }
    }
    const uint32_t interval = decoder->restart_interval;
    decoder->mcus_since_restart += x;
    // A missing RSTn costs the warning only: the row itself decoded.
    bool restarted = false;
    if (interval != 0 && static_cast<uint32_t>(decoder->mcus_since_restart) >= interval) {
        decoder->mcus_since_restart = 0;
        restarted = true;
        FastSkipPadding(decoder);
        decoder->restart(decoder);
        if (decoder->end_of_segment(decoder) < 1) {
            result = JPEG_WARN_DAMAGED_DATA;
            decoder->skip_restarts(decoder, 1);
        }
    }
    if (in_line) {
        // Decoded and reconstructed in the caller's line; a lost row predicts the next as 0x8080.
        if (damaged) {
            std::memset(line, 128, 2 * static_cast<size_t>(x));
            st->lossless_table->first_column = 0x8080;
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
            std::swap(buffers[c].second_row, buffers[c].third_row);
        }
    } else if (predicted) {
        // The new row becomes the previous one.
        std::swap(buffers[0].second_row, buffers[0].third_row);
    } else {
        bool first = decoder->dc_pred[0] != 0;
        jpeg_direct_reconstruct(decoder, diffs, buffers, nf, &first);
    }
    decoder->dc_pred[0] = restarted ? 1 : 0;
    ++decoder->mcu_row_counter;
    return result;
}

// ---- row output: the newest row of each component, shifted back by the point transform ----

// A sub-decoder's row for its parent: the 16-bit samples as decoded.
void jpeg_row_selected_lossless(jpeg_decoder* decoder, uint8_t* line)
{
    if (decoder->direct->lossless_fast16 != 0) {
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
    if (decoder->direct->lossless_fast16 != 0) {
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
