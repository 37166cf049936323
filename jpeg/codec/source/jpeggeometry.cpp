#include <cstring>

#include "jpeg/jpegtables.h"

#include "jpeg/jpegdecode.h"

// round(16384 * s(u) * s(v)), s(0) = 1, s(k) = sqrt(2) * cos(k * pi / 16).
const int32_t jpeg_aan_scales[64] = {
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520, 22725, 31521, 29692, 26722, 22725, 17855, 12299, 6270,
    21407, 29692, 27969, 25172, 21407, 16819, 11585, 5906, 19266, 26722, 25172, 22654, 19266, 15137, 10426, 5315,
    16384, 22725, 21407, 19266, 16384, 12873, 8867,  4520, 12873, 17855, 16819, 15137, 12873, 10114, 6967,  3552,
    8867,  12299, 11585, 10426, 8867,  6967,  4799,  2446, 4520,  6270,  5906,  5315,  4520,  3552,  2446,  1247,
};

// ---- MCU geometry ----

jpeg_block_entry* jpeg_block_entries_create(jpeg_decoder* decoder, uint64_t count)
{
    // 64 coefficients of 4 bytes per entry; both blocks must fit the allocator's 32-bit size
    // before either is asked for.
    if (count > UINT32_MAX / (64 * sizeof(int32_t))) {
        return nullptr;
    }
    auto* entries = static_cast<jpeg_block_entry*>(jpeg_calloc(decoder, count, sizeof(jpeg_block_entry)));
    if (entries == nullptr) {
        return nullptr;
    }
    auto* space = static_cast<int32_t*>(jpeg_calloc(decoder, count, 64 * sizeof(int32_t)));
    if (space == nullptr) {
        jpeg_free(decoder, entries);
        return nullptr;
    }
    for (uint64_t i = 0; i < count; ++i) {
        entries[i].coefficients = space + 64 * i;
    }
    decoder->coefficient_space = space;
    return entries;
}

void jpeg_block_entries_release(jpeg_decoder* decoder)
{
    jpeg_free(decoder, decoder->coefficient_space);
    jpeg_free(decoder, decoder->block_entries);
    decoder->coefficient_space = nullptr;
    decoder->block_entries = nullptr;
}

jpeg_status jpeg_setup_mcu_geometry(jpeg_decoder* decoder)
{
    const bool lossless = decoder->frame_marker == 0xC3;
    const int32_t nf = decoder->component_count;
    const uint32_t x = decoder->width;
    const uint32_t y = decoder->height;
    uint32_t m = lossless ? 1 : 8;
    decoder->mcus_since_restart = 0;
    if (nf == 1) {
        decoder->blocks_per_mcu = 1;
        decoder->blocks_h[0] = 1;
        decoder->blocks_v[0] = 1;
        decoder->mcu_width[0] = lossless ? 1 : 8;
        decoder->mcu_height[0] = lossless ? 1 : 8;
        decoder->component_blocks[0] = 1;
    } else {
        decoder->blocks_per_mcu = 0;
        for (int32_t c = 0; c < nf; ++c) {
            uint32_t h = decoder->frame_h[c];
            const uint32_t v = decoder->frame_v[c];
            if (decoder->selected_component >= 0 && !lossless) {
                // One MCU spans a whole block row of the component.
                const uint32_t ratio = decoder->ratio_h[c] != 0 ? decoder->ratio_h[c] : 1;
                h = ((x + 7) / 8 + ratio - 1) / ratio;
            }
            decoder->blocks_h[c] = h;
            decoder->blocks_v[c] = v;
            decoder->mcu_width[c] = lossless ? h : h * 8;
            decoder->mcu_height[c] = lossless ? v : v * 8;
            decoder->component_blocks[c] = h * v;
            decoder->blocks_per_mcu += h * v;
            m = decoder->mcu_height[c] > m ? decoder->mcu_height[c] : m;
        }
    }
    jpeg_setup_decode_output(decoder);
    // The widest component sets the MCU width (component 0 in every layout the library takes).
    uint32_t w = 1;
    for (int32_t c = 0; c < (nf < 1 ? 1 : nf); ++c) {
        w = decoder->mcu_width[c] > w ? decoder->mcu_width[c] : w;
    }
    const uint64_t per_row = (static_cast<uint64_t>(x) + w - 1) / w;
    const uint64_t rows = (static_cast<uint64_t>(y) + m - 1) / m;
    decoder->mcus_per_row = static_cast<int32_t>(per_row);
    decoder->mcu_rows = static_cast<int32_t>(rows);
    decoder->mcu_row_counter = 0;
    uint64_t entries = decoder->blocks_per_mcu;
    if (decoder->frame_marker == 0xC2) {
        entries *= per_row * rows;
    }
    if (entries + 1 > static_cast<uint64_t>(INT32_MAX)) {
        return JPEG_ERR_MEMORY;
    }
    decoder->block_entry_count = static_cast<int32_t>(entries);
    decoder->block_index = -1;
    jpeg_block_entries_release(decoder);
    decoder->block_entries = jpeg_block_entries_create(decoder, entries + 1);
    if (decoder->block_entries == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    return jpeg_range_table_attach(decoder);
}

// ---- quantisation ----

jpeg_status jpeg_check_quant_tables(jpeg_decoder* decoder)
{
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        const uint32_t tq = decoder->quant_selector[c];
        if (tq >= static_cast<uint32_t>(decoder->quant_count) || decoder->quant_tables == nullptr) {
            return JPEG_ERR_SYNTAX;
        }
        for (uint32_t value : decoder->quant_tables[tq].values) {
            if (value == 0) {
                return JPEG_ERR_SYNTAX;
            }
        }
    }
    return JPEG_OK;
}

jpeg_status jpeg_setup_quant_tables(jpeg_decoder* decoder)
{
    // A 16-bit table was met: the 8-bit transforms cannot use it.
    if (decoder->quant_precision != 0) {
        return JPEG_ERR_UNSUPPORTED;
    }
    if (decoder->quant_borrowed == 0) {
        for (int32_t i = 0; i < decoder->quant_count; ++i) {
            decoder->quant_tables[i].spare = nullptr;
        }
    }
    const jpeg_status checked = jpeg_check_quant_tables(decoder);
    if (checked < 1) {
        return checked;
    }
    jpeg_free(decoder, decoder->multipliers);
    const int32_t nf = decoder->component_count;
    decoder->multipliers = static_cast<jpeg_multiplier_table*>(
        jpeg_calloc(decoder, static_cast<uint32_t>(nf), sizeof(jpeg_multiplier_table)));
    if (decoder->multipliers == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    if (decoder->direct_mode != 0 && decoder->scale_denominator <= 1) {
        return jpeg_direct_quant_setup(decoder);
    }
    // One table per component, for that component's own transform: AAN-scaled for the full-size
    // fast transform, the plain values for the reduced ones.
    for (int32_t c = 0; c < nf; ++c) {
        const uint32_t* q = decoder->quant_tables[decoder->quant_selector[c]].values;
        int32_t* out = decoder->multipliers[c].values;
        if (decoder->component_scale[c] <= 1) {
            for (int32_t k = 0; k < 64; ++k) {
                out[k] = static_cast<int32_t>((static_cast<int64_t>(q[k]) * jpeg_aan_scales[k] + 8) >> 4);
            }
        } else {
            for (int32_t k = 0; k < 64; ++k) {
                out[k] = static_cast<int32_t>(q[k]);
            }
        }
        // The direct path widens its reduced-size blocks by these.
        if (decoder->direct_mode != 0) {
            decoder->direct->multipliers[c] = out;
        }
    }
    return JPEG_OK;
}

void jpeg_release_quant_tables(jpeg_decoder* decoder)
{
    if (decoder->quant_borrowed == 0) {
        for (int32_t i = 0; i < decoder->quant_count; ++i) {
            jpeg_free(decoder, decoder->quant_tables[i].spare);
            decoder->quant_tables[i].spare = nullptr;
        }
        jpeg_free(decoder, decoder->quant_tables);
    }
    decoder->quant_tables = nullptr;
    decoder->quant_count = 0;
    decoder->quant_capacity = 0;
    jpeg_free(decoder, decoder->multipliers);
    decoder->multipliers = nullptr;
}

jpeg_status jpeg_own_quant_tables(jpeg_decoder* decoder)
{
    if (decoder->quant_borrowed == 0) {
        return JPEG_OK;
    }
    jpeg_quant_table* copy = nullptr;
    if (decoder->quant_count > 0) {
        copy = static_cast<jpeg_quant_table*>(
            jpeg_calloc(decoder, static_cast<uint32_t>(decoder->quant_count), sizeof(jpeg_quant_table)));
        if (copy == nullptr) {
            return JPEG_ERR_MEMORY;
        }
        for (int32_t i = 0; i < decoder->quant_count; ++i) {
            std::memcpy(copy[i].values, decoder->quant_tables[i].values, sizeof copy[i].values);
        }
    }
    decoder->quant_tables = copy;
    decoder->quant_count = copy != nullptr ? decoder->quant_count : 0;
    decoder->quant_capacity = decoder->quant_count;
    decoder->quant_borrowed = 0;
    return JPEG_OK;
}
