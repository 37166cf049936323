// Line buffers and row output.

#include <algorithm>
#include <bit>
#include <cstring>

#include "jpegdecode_internal.h"

uint32_t jpeg_reduced_size(uint32_t size, uint32_t scale)
{
    if (scale <= 1) {
        return size;
    }
    const auto reduced = static_cast<uint32_t>(static_cast<double>(size) / scale + 0.5);
    return reduced == 0 ? 1 : reduced;
}

jpeg_status jpeg_line_buffers_create(jpeg_decoder* decoder)
{
    jpeg_line_buffers_release(decoder);
    const int32_t nf = decoder->component_count;
    uint32_t unit = 8;
    uint32_t rows = 8;
    for (int32_t c = 0; c < nf; ++c) {
        unit = 8 * decoder->blocks_h[c] > unit ? 8 * decoder->blocks_h[c] : unit;
        rows = 8 * decoder->blocks_v[c] > rows ? 8 * decoder->blocks_v[c] : rows;
    }
    const uint32_t width = (decoder->width + unit - 1) / unit * unit;
    decoder->line_buffers =
        static_cast<jpeg_line_buffer*>(jpeg_calloc(decoder, static_cast<uint32_t>(nf), sizeof(jpeg_line_buffer)));
    if (decoder->line_buffers == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    for (int32_t c = 0; c < nf; ++c) {
        jpeg_line_buffer& buffer = decoder->line_buffers[c];
        buffer.width = width;
        buffer.rows = rows;
        buffer.stride = width;
        buffer.band_size = width * rows;
        if (decoder->selected_component >= 0 && decoder->selected_component != c) {
            continue;
        }
        buffer.base = static_cast<uint8_t*>(jpeg_malloc(decoder, static_cast<uint64_t>(width) * rows));
        if (buffer.base == nullptr) {
            return JPEG_ERR_MEMORY;
        }
        buffer.current = buffer.base;
    }
    return JPEG_OK;
}

void jpeg_line_buffers_release(jpeg_decoder* decoder)
{
    if (decoder->line_buffers == nullptr) {
        return;
    }
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        jpeg_free(decoder, decoder->line_buffers[c].base);
    }
    jpeg_free(decoder, decoder->line_buffers);
    decoder->line_buffers = nullptr;
}

void jpeg_line_buffers_rewind(jpeg_decoder* decoder)
{
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        decoder->line_buffers[c].current = decoder->line_buffers[c].base;
    }
}

void jpeg_line_buffers_clear(jpeg_decoder* decoder)
{
    jpeg_line_buffers_rewind(decoder);
    // At a reduced size only the band's top rows are handed out, and blocks are stored no lower.
    const uint32_t scale = decoder->scale_denominator > 1 ? decoder->scale_denominator : 1;
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        jpeg_line_buffer& buffer = decoder->line_buffers[c];
        if (buffer.base == nullptr) {
            continue;
        }
        uint32_t rows = buffer.rows / scale;
        for (int32_t k = 0; k < decoder->component_count && scale > 1; ++k) {
            const uint32_t ks = decoder->component_scale[k] > 1 ? decoder->component_scale[k] : 1;
            rows = std::max(rows, decoder->mcu_height[k] / ks);
        }
        std::memset(buffer.base, 128,
                    std::min<uint64_t>(buffer.band_size, static_cast<uint64_t>(rows) * buffer.stride));
    }
}

void jpeg_row_selected(jpeg_decoder* decoder, uint8_t* line)
{
    jpeg_line_buffer& buffer = decoder->line_buffers[decoder->selected_component];
    std::memcpy(line, buffer.current, decoder->width);
    buffer.current += buffer.stride;
}

void jpeg_row_grey(jpeg_decoder* decoder, uint8_t* line)
{
    jpeg_line_buffer& buffer = decoder->line_buffers[0];
    std::memcpy(line, buffer.current, decoder->width);
    buffer.current += buffer.stride;
}

void jpeg_row_luminance(jpeg_decoder* decoder, uint8_t* line)
{
    std::memcpy(line, decoder->line_buffers[0].current, decoder->width);
    for (int32_t c = 0; c < 3; ++c) {
        decoder->line_buffers[c].current += decoder->line_buffers[c].stride;
    }
}

namespace {

// Interleaves the row's pixels from x on and moves the three rows on.
void Interleave3From(jpeg_decoder* decoder, uint8_t* line, uint32_t x)
{
    jpeg_line_buffer* buffers = decoder->line_buffers;
    const uint8_t* a = buffers[0].current;
    const uint8_t* b = buffers[1].current;
    const uint8_t* c = buffers[2].current;
    if constexpr (std::endian::native == std::endian::little) {
        // Four pixels as three words: fewer, wider stores than one byte at a time.
        for (; x + 4 <= decoder->width; x += 4) {
            uint32_t pa = 0;
            uint32_t pb = 0;
            uint32_t pc = 0;
            std::memcpy(&pa, a + x, 4);
            std::memcpy(&pb, b + x, 4);
            std::memcpy(&pc, c + x, 4);
            const uint32_t w0 = (pa & 0xFF) | (pb & 0xFF) << 8 | (pc & 0xFF) << 16 | (pa >> 8 & 0xFF) << 24;
            const uint32_t w1 =
                (pb >> 8 & 0xFF) | (pc >> 8 & 0xFF) << 8 | (pa >> 16 & 0xFF) << 16 | (pb >> 16 & 0xFF) << 24;
            const uint32_t w2 = (pc >> 16 & 0xFF) | (pa >> 24) << 8 | (pb >> 24) << 16 | (pc >> 24) << 24;
            // Word by word: one 12-byte copy out of a stack array stalls on store forwarding.
            std::memcpy(line + 3 * x, &w0, 4);
            std::memcpy(line + 3 * x + 4, &w1, 4);
            std::memcpy(line + 3 * x + 8, &w2, 4);
        }
    }
    for (; x < decoder->width; ++x) {
        line[3 * x] = a[x];
        line[3 * x + 1] = b[x];
        line[3 * x + 2] = c[x];
    }
    for (int32_t i = 0; i < 3; ++i) {
        buffers[i].current += buffers[i].stride;
    }
}

}   // namespace

void jpeg_row_interleave3(jpeg_decoder* decoder, uint8_t* line)
{
    Interleave3From(decoder, line, 0);
}

#if defined(__x86_64__) || defined(__i386__)
void jpeg_row_interleave3_ssse3(jpeg_decoder* decoder, uint8_t* line)
{
    const jpeg_line_buffer* buffers = decoder->line_buffers;
    Interleave3From(
        decoder, line,
        jpeg_interleave3_ssse3(buffers[0].current, buffers[1].current, buffers[2].current, line, decoder->width));
}
#endif

void jpeg_row_interleave4(jpeg_decoder* decoder, uint8_t* line)
{
    jpeg_line_buffer* buffers = decoder->line_buffers;
    for (uint32_t x = 0; x < decoder->width; ++x) {
        for (int32_t i = 0; i < 4; ++i) {
            line[4 * x + i] = buffers[i].current[x];
        }
    }
    for (int32_t i = 0; i < 4; ++i) {
        buffers[i].current += buffers[i].stride;
    }
}

jpeg_status jpeg_select_row_output(jpeg_decoder* decoder)
{
    decoder->rows_left_in_mcu_row = 0;
    const jpeg_status status = jpeg_line_buffers_create(decoder);
    if (status < 1) {
        return status;
    }
    const int32_t out = decoder->output_color;
    const int32_t nf = decoder->component_count;
    if (decoder->selected_component >= 0) {
        decoder->row_output = &jpeg_row_selected;
    } else if (out == JPEG_COLOR_GREY || out == JPEG_COLOR_LSTAR || out == JPEG_COLOR_GREY_REVERSED) {
        decoder->row_output = &jpeg_row_grey;
    } else if (decoder->luminance_only != 0 && nf >= 3) {
        decoder->row_output = &jpeg_row_luminance;
    } else if (nf == 4) {
        decoder->row_output = &jpeg_row_interleave4;
    } else if (nf == 3) {
        decoder->row_output = &jpeg_row_interleave3;
#if defined(__x86_64__) || defined(__i386__)
        if (StartLevel() >= 4) {
            decoder->row_output = &jpeg_row_interleave3_ssse3;
        }
#endif
    } else {
        return JPEG_ERR_UNSUPPORTED;
    }
    decoder->width = static_cast<uint16_t>(jpeg_reduced_size(decoder->width, decoder->scale_denominator));
    decoder->height = static_cast<uint16_t>(jpeg_reduced_size(decoder->height, decoder->scale_denominator));
    for (int32_t c = 0; c < nf; ++c) {
        uint32_t mcu_width = decoder->mcu_width[c];
        if (c == 0 && nf > 1 && !jpeg_layout_is_411(decoder)) {
            mcu_width *= static_cast<uint32_t>(nf);
        }
        decoder->line_buffers[c].mcu_width = static_cast<uint16_t>(mcu_width);
    }
    return JPEG_OK;
}
