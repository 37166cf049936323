#include <cstring>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"

// Frames whose components come in scans of their own: the stream is copied once and each scan
// is decoded by a sub-decoder over the copy into the parent's line buffer of its component.

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

}  // namespace

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
    return jpeg_start_decode(sub);
}

jpeg_status jpeg_start_scan_set(jpeg_decoder* parent)
{
    jpeg_scan_set* set = parent->scan_set;
    const int32_t nf = parent->component_count;
    // Lossy frames in separate scans take a path that is not built here.
    if (parent->frame_marker != 0xC3) {
        return JPEG_ERR_UNSUPPORTED;
    }
    for (;;) {
        if (parent->scan.count != 1) {
            return JPEG_ERR_UNSUPPORTED;
        }
        // On to the end of the data: the copy must hold the last scan's entropy data.
        if (jpeg_next_scan(parent) < 1) {
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
        status = jpeg_lossless_line_buffers(parent);
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
    jpeg_status result = JPEG_OK;
    for (uint32_t i = 0; i < set->count; ++i) {
        jpeg_decoder* sub = set->decoders[i];
        const jpeg_status status = jpeg_decode_row(sub, parent->line_buffers[sub->selected_component].second_row);
        if (status < 1) {
            return status;
        }
        // A warning of any sub-decoder is the row's.
        result = status != JPEG_OK ? status : result;
    }
    ++parent->mcu_row_counter;
    return result;
}
