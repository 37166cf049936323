#include "jpeg/jpegdecode.h"

#include "jpeg/jpegtables.h"
#include "platform/platbudget.h"

jpeg_status jpeg_setup_entropy(jpeg_decoder* decoder, int32_t lookahead_width)
{
    decoder->natural_order = GetNaturalOrderTable();
    const jpeg_status tables = jpeg_check_scan_tables(decoder);
    if (tables < 1) {
        return tables;
    }
    if (decoder->direct_mode == 0) {
        return jpeg_setup_buffered_entropy(decoder, lookahead_width);
    }
    const jpeg_status status = jpeg_direct_setup(decoder);
    if (status < 1) {
        return status;
    }
    return decoder->restart(decoder);
}

jpeg_status jpeg_check_mode(jpeg_decoder* decoder)
{
    const int32_t nf = decoder->component_count;
    if (nf > 4 || nf < 1) {
        return JPEG_ERR_UNSUPPORTED;
    }
    const uint32_t marker = decoder->frame_marker;
    if (marker != 0xC0 && marker != 0xC2 && marker != 0xC3) {
        return JPEG_ERR_UNSUPPORTED;
    }
    if (marker != 0xC3) {
        if (decoder->frame.precision != 8) {
            return JPEG_ERR_UNSUPPORTED;
        }
        // The MCU walk and the line buffers follow component 0: it must have the largest factors,
        // and every other factor must divide them.
        for (int32_t c = 0; c < nf; ++c) {
            const uint32_t h = decoder->frame_h[c];
            const uint32_t v = decoder->frame_v[c];
            if (h == 0 || v == 0 || h > decoder->frame_h[0] || v > decoder->frame_v[0] ||
                decoder->frame_h[0] % h != 0 || decoder->frame_v[0] % v != 0) {
                return JPEG_ERR_UNSUPPORTED;
            }
        }
    }
    if (marker != 0xC2 && decoder->luminance_only == 0 && decoder->lines_to_output == decoder->height) {
        decoder->direct_mode = 1;
        return jpeg_direct_state_create(decoder);
    }
    return JPEG_OK;
}

uint64_t jpeg_scan_min_bits(const jpeg_decoder* decoder)
{
    const int32_t nf = decoder->component_count < 4 ? decoder->component_count : 4;
    uint32_t hmax = 1;
    uint32_t vmax = 1;
    for (int32_t c = 0; c < nf; ++c) {
        hmax = decoder->frame_h[c] > hmax ? decoder->frame_h[c] : hmax;
        vmax = decoder->frame_v[c] > vmax ? decoder->frame_v[c] : vmax;
    }
    const bool lossless = decoder->frame_marker == 0xC3;
    uint64_t units = 0;
    for (int32_t c = 0; c < nf; ++c) {
        if (decoder->in_scan[c] == 0) {
            continue;
        }
        // The component's own size; one component alone is the frame's whatever its factors.
        const uint64_t h = nf == 1 ? hmax : (decoder->frame_h[c] != 0 ? decoder->frame_h[c] : 1);
        const uint64_t v = nf == 1 ? vmax : (decoder->frame_v[c] != 0 ? decoder->frame_v[c] : 1);
        const uint64_t columns = (decoder->width * h + hmax - 1) / hmax;
        const uint64_t lines = (decoder->height * v + vmax - 1) / vmax;
        units += lossless ? columns * lines : ((columns + 7) / 8) * ((lines + 7) / 8);
    }
    return units;
}

jpeg_status jpeg_start_decode(jpeg_decoder* decoder)
{
    if (decoder == nullptr || decoder->state != 1) {
        return JPEG_ERR_STATE;
    }
    // A header that failed left the record half read: nothing in it can be trusted to decode.
    if (decoder->header_status < 1) {
        return decoder->header_status;
    }
    jpeg_cpu_init();
    if (decoder->width == 0 || decoder->height == 0) {
        return JPEG_ERR_SYNTAX;
    }
    // Data too short for the blocks the header claims is no image of that size: refused before
    // anything of the image's size is allocated, here or by the caller.
    if (jpeg_scan_min_bits(decoder) > 8 * static_cast<uint64_t>(decoder->bytes_left)) {
        return JPEG_ERR_DATA;
    }
    // Nor is a frame that would cost more decoded than any image the reader takes, however
    // much data it has: its samples, and a progressive frame's coefficients, held whole until
    // its last scan, four bytes each.
    const uint32_t sample_bits = decoder->frame.precision > 8 ? 16 : 8;
    const uint32_t components = uint32_t(decoder->component_count);
    uint64_t cost = PlatDecodedFrameBytes(decoder->width, decoder->height, components, sample_bits);
    if (decoder->frame_marker == 0xC2) {
        const uint64_t blocks = uint64_t((decoder->width + 7) / 8) * ((decoder->height + 7) / 8) * components;
        cost = blocks * 64 * sizeof(int32_t);
    }
    if (cost > kPlatFrameDecodeBudget) {
        return JPEG_ERR_UNSUPPORTED;
    }
    if (decoder->lines_to_output == 0 || decoder->lines_to_output > decoder->height) {
        decoder->lines_to_output = decoder->height;
    }
    decoder->lines_left = decoder->lines_to_output;
    // Progressive and lossless frames decode at full size only.
    if ((decoder->frame_marker == 0xC2 || decoder->frame_marker == 0xC3) && decoder->scale_denominator != 1) {
        return JPEG_ERR_PARAMETER;
    }
    if (decoder->frame_marker == 0xC3 && decoder->scan_set == nullptr) {
        return jpeg_start_lossless(decoder);
    }
    if (decoder->scan_set != nullptr) {
        return jpeg_start_scan_set(decoder);
    }
    jpeg_status status = jpeg_check_mode(decoder);
    if (status >= 1) {
        status = jpeg_setup_entropy(decoder, 8);
    }
    if (status >= 1) {
        status = jpeg_setup_idct(decoder);
    }
    if (status >= 1) {
        status = jpeg_setup_quant_tables(decoder);
    }
    if (status >= 1) {
        status = jpeg_setup_mcu_geometry(decoder);
    }
    if (status >= 1) {
        status = jpeg_select_row_output(decoder);
    }
    if (status < 1) {
        return status;
    }
    jpeg_setup_resample(decoder);
    decoder->row_decoder = decoder->frame_marker == 0xC2 ? &jpeg_decode_progressive_row : &jpeg_decode_sequential_row;
    // As if RST7 had just been met, so that RST0 is the first one expected.
    decoder->end_of_scan_marker = 0xD7;
    decoder->mcus_to_skip = 0;
    decoder->row_status = JPEG_OK;
    decoder->state = 2;
    return JPEG_OK;
}

jpeg_status jpeg_decode_row(jpeg_decoder* decoder, uint8_t* line)
{
    if (decoder == nullptr || decoder->state != 2) {
        return JPEG_ERR_STATE;
    }
    if (decoder->rows_left_in_mcu_row == 0) {
        // One image per decoder: nothing is read past the last row.
        if (decoder->lines_left == 0 || decoder->mcu_row_counter >= decoder->mcu_rows) {
            return JPEG_ERR_STATE;
        }
        jpeg_line_buffers_clear(decoder);
        const uint32_t scale = decoder->scale_denominator != 0 ? decoder->scale_denominator : 1;
        decoder->rows_left_in_mcu_row = static_cast<uint16_t>(decoder->mcu_height[0] / scale);
        decoder->output_line = line;
        decoder->row_status = decoder->row_decoder(decoder);
        if (decoder->row_status < 1) {
            return decoder->row_status;
        }
    }
    if (decoder->lines_left == 0) {
        return JPEG_ERR_STATE;
    }
    decoder->row_output(decoder, line);
    --decoder->rows_left_in_mcu_row;
    --decoder->lines_left;
    return decoder->row_status;
}

void jpeg_decode_release(jpeg_decoder* decoder)
{
    jpeg_line_buffers_release(decoder);
    jpeg_direct_state_destroy(decoder);
}
