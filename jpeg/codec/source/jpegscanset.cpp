#include <algorithm>
#include <cstring>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"

// Frames whose components come in scans of their own: the stream is copied once and each scan
// is decoded by a sub-decoder over the copy into the parent's line buffer of its component.
// A lossy sub-decoder walks its component's blocks in raster order, one block per MCU, as a
// scan of one component codes them.

namespace {

// The frame component that scan i names.
int32_t ScanComponent(const jpeg_decoder* parent, uint32_t i)
{
    for (int32_t c = 0; c < parent->component_count; ++c) {
        if (parent->component_id[c] == parent->scan_set->first_selectors[i]) {
            return c;
        }
    }
    return -1;
}

// Restart intervals lost between the last RSTn met and the one found.
uint32_t LostIntervals(uint8_t before, uint8_t after)
{
    return static_cast<uint32_t>((after & 7) - (before & 7) - 1) & 7u;
}

// Block rows of component c in the scan: its lines rounded up to whole blocks.
uint64_t ComponentBlockRows(const jpeg_decoder* sub, int32_t c)
{
    uint32_t vmax = 1;
    for (int32_t k = 0; k < sub->component_count; ++k) {
        vmax = std::max<uint32_t>(vmax, sub->frame_v[k]);
    }
    // The reduced-size set-up shrinks the height; the frame keeps the lines as coded.
    const uint64_t lines = sub->frame.lines != 0 ? sub->frame.lines : sub->height;
    return (lines * sub->frame_v[c] + 8 * vmax - 1) / (8 * vmax);
}

}   // namespace

jpeg_status jpeg_decode_component_scan_row(jpeg_decoder* sub)
{
    const int32_t c = sub->selected_component;
    const uint32_t per_row = sub->blocks_h[c];
    const uint64_t block_rows = ComponentBlockRows(sub, c);
    const uint64_t first = static_cast<uint64_t>(sub->mcu_row_counter) * sub->blocks_v[c];
    const uint32_t rows =
        first >= block_rows ? 0 : static_cast<uint32_t>(std::min<uint64_t>(sub->blocks_v[c], block_rows - first));
    const bool last = first + rows >= block_rows;
    const uint32_t total = rows * per_row;
    jpeg_block_entry* entries = sub->block_entries;
    for (int32_t k = 0; k < c; ++k) {
        entries += sub->component_blocks[k];
    }
    // Blocks not decoded (skipped, damaged or below the image) come out mid grey.
    for (uint32_t b = 0; b < sub->component_blocks[c]; ++b) {
        std::memset(entries[b].coefficients, 0, 64 * sizeof(int32_t));
    }
    uint32_t k = 0;
    if (sub->mcus_to_skip > 0) {
        k = std::min<uint32_t>(static_cast<uint32_t>(sub->mcus_to_skip), total);
        sub->mcus_to_skip -= static_cast<int32_t>(k);
    }
    jpeg_status result = JPEG_OK;
    const uint32_t interval = sub->restart_interval;
    while (k < total) {
        jpeg_block_entry* entry = entries + k++;
        if (sub->decode_unit(sub, entry, c) >= 1) {
            sub->transform[c](sub, entry, c);
        } else {
            std::memset(entry->coefficients, 0, 64 * sizeof(int32_t));
            result = JPEG_WARN_DAMAGED_DATA;
        }
        if (interval == 0 || static_cast<uint32_t>(++sub->mcus_since_restart) < interval) {
            continue;
        }
        if (k == total && last) {
            break;
        }
        sub->mcus_since_restart = 0;
        sub->restart(sub);
        if (sub->end_of_segment(sub) >= 1) {
            continue;
        }
        result = JPEG_WARN_DAMAGED_DATA;
        const uint8_t before = sub->end_of_scan_marker;
        if (sub->skip_restarts(sub, 1) < 1) {
            break;
        }
        const uint64_t lost = static_cast<uint64_t>(LostIntervals(before, sub->end_of_scan_marker)) * interval;
        if (lost <= total - k) {
            k += static_cast<uint32_t>(lost);
        } else {
            sub->mcus_to_skip = static_cast<int32_t>(std::min<uint64_t>(lost - (total - k), INT32_MAX));
            k = total;
        }
    }
    jpeg_line_buffer& buffer = sub->line_buffers[c];
    jpeg_plane planes[4]{};
    planes[c] = {sub->mcu_width[c], sub->mcu_height[c], static_cast<int32_t>(buffer.stride), buffer.base};
    sub->output_blocks(planes, sub, sub->block_entries);
    if (sub->resample[c] != nullptr) {
        const uint32_t s = sub->scale_denominator != 0 ? sub->scale_denominator : 1;
        const uint32_t h = s == 1 ? sub->ratio_h[c] : std::max<uint32_t>(sub->reduced_h[c], 1);
        const uint32_t v = s == 1 ? sub->ratio_v[c] : std::max<uint32_t>(sub->reduced_v[c], 1);
        const uint32_t scale = std::max<uint32_t>(sub->component_scale[c], 1);
        jpeg_plane plane{buffer.stride / s / h, sub->mcu_height[c] / scale, static_cast<int32_t>(buffer.stride),
                         buffer.base};
        sub->resample[c](&plane, &plane, h, v, sub->resample_width[c], sub->resample_lines[c]);
    }
    ++sub->mcu_row_counter;
    return result;
}

jpeg_status jpeg_open_subdecoder(jpeg_decoder* parent, uint32_t i)
{
    jpeg_scan_set* set = parent->scan_set;
    const jpeg_allocator allocator{parent->alloc, parent->free};
    jpeg_decoder* sub = jpeg_decoder_create(&allocator, parent->user);
    if (sub == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    set->decoders[i] = sub;
    jpeg_source source{};
    jpeg_status status = jpeg_mem_source_create(sub, set->stream, set->stream_size, &source);
    if (status < 1) {
        return status;
    }
    jpeg_set_source(sub, &source);
    // The header reading passes over the first i scans.
    sub->selected_component = static_cast<int32_t>(i);
    status = jpeg_read_header(sub, parent->requested_color, set->stream_size, parent);
    if (status < 1) {
        return status;
    }
    // From here on the sub-decoder decodes the component its scan names, whatever the order.
    sub->selected_component = ScanComponent(parent, i);
    if (sub->selected_component < 0 || sub->in_scan[sub->selected_component] == 0) {
        return JPEG_ERR_SYNTAX;
    }
    sub->scale_denominator = parent->scale_denominator;
    status = jpeg_start_decode(sub);
    if (status >= 1 && parent->frame_marker != 0xC3) {
        sub->row_decoder = &jpeg_decode_component_scan_row;
    }
    return status;
}

jpeg_status jpeg_start_scan_set(jpeg_decoder* parent)
{
    jpeg_scan_set* set = parent->scan_set;
    const int32_t nf = parent->component_count;
    const bool lossless = parent->frame_marker == 0xC3;
    for (;;) {
        if (parent->scan.count != 1) {
            return JPEG_ERR_UNSUPPORTED;
        }
        // On to the end of the data: the copy must hold the last scan's entropy data. A table
        // between scans that could not be stored fails the start rather than a sub-decoder.
        const jpeg_status next = jpeg_next_scan(parent);
        if (next == JPEG_ERR_MEMORY) {
            return next;
        }
        if (next < 1) {
            break;
        }
    }
    // Every component in exactly one scan.
    uint32_t seen = 0;
    for (uint32_t i = 0; i < set->count; ++i) {
        const int32_t c = ScanComponent(parent, i);
        if (c < 0 || (seen >> c & 1) != 0) {
            return JPEG_ERR_SYNTAX;
        }
        seen |= 1u << c;
    }
    if (set->count != static_cast<uint32_t>(nf)) {
        return JPEG_ERR_SYNTAX;
    }
    const int64_t end = jpeg_src_tell(parent);
    const int64_t size = end - parent->header_start;
    if (parent->header_start < 0 || size < 1 || size > UINT32_MAX) {
        return JPEG_ERR_SYNTAX;
    }
    if (jpeg_src_seek(parent, parent->header_start) < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    set->stream = static_cast<uint8_t*>(jpeg_malloc(parent, static_cast<uint64_t>(size)));
    if (set->stream == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    set->stream_size = static_cast<uint32_t>(size);
    if (jpeg_src_read(parent, set->stream, set->stream_size) != static_cast<int32_t>(size)) {
        return JPEG_ERR_END_OF_INPUT;
    }
    jpeg_status status = jpeg_setup_mcu_geometry(parent);
    if (status >= 1) {
        status = lossless ? jpeg_lossless_line_buffers(parent) : jpeg_select_row_output(parent);
    }
    for (uint32_t i = 0; status >= 1 && i < set->count; ++i) {
        status = jpeg_open_subdecoder(parent, i);
    }
    if (status < 1) {
        return status;
    }
    parent->row_decoder = &jpeg_decode_scan_set_row;
    parent->mcu_row_counter = 0;
    parent->row_status = JPEG_OK;
    parent->state = 2;
    return JPEG_OK;
}

jpeg_status jpeg_decode_scan_set_row(jpeg_decoder* parent)
{
    jpeg_scan_set* set = parent->scan_set;
    const bool lossless = parent->frame_marker == 0xC3;
    // Lossy: the band of the parent's MCU row, row by row from each sub-decoder.
    const uint32_t rows = lossless ? 1 : std::min<uint32_t>(parent->rows_left_in_mcu_row, parent->lines_left);
    jpeg_status result = JPEG_OK;
    for (uint32_t i = 0; i < set->count; ++i) {
        jpeg_decoder* sub = set->decoders[i];
        const jpeg_line_buffer& buffer = parent->line_buffers[sub->selected_component];
        for (uint32_t r = 0; r < rows; ++r) {
            uint8_t* line = lossless ? buffer.second_row : buffer.base + static_cast<size_t>(r) * buffer.stride;
            const jpeg_status status = jpeg_decode_row(sub, line);
            if (status < 1) {
                return status;
            }
            // A warning of any sub-decoder is the row's.
            result = status != JPEG_OK ? status : result;
        }
    }
    ++parent->mcu_row_counter;
    return result;
}
