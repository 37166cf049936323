// The direct kernel path: its state, kernel tables, input block, decode units and markers.

#include <cstring>

#include "huffman/huff_decode.h"
#include "jpegdecode_internal.h"

namespace {

constexpr int32_t kDirectCapacity = 4096;

bool IsRestartMarker(int32_t code)
{
    return code >= 0xD0 && code <= 0xD7;
}

}   // namespace

jpeg_status jpeg_direct_state_create(jpeg_decoder* decoder)
{
    if (jpeg_rec_direct_state(decoder) != nullptr) {
        return JPEG_OK;
    }
    auto* st = static_cast<jpeg_direct_state*>(jpeg_calloc(decoder, 1, sizeof(jpeg_direct_state)));
    jpeg_rec_set_direct_state(decoder, st);
    return st != nullptr ? JPEG_OK : JPEG_ERR_MEMORY;
}

void jpeg_direct_state_destroy(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (st != nullptr) {
        jpeg_direct_release(decoder);
        jpeg_direct_quant_release(decoder);
        jpeg_free(decoder, st);
        jpeg_rec_set_direct_state(decoder, nullptr);
    }
}

void jpeg_direct_release(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (st == nullptr) {
        return;
    }
    for (int32_t i = 0; st->dc_specs != nullptr && i < jpeg_rec_dc_count(decoder); ++i) {
        jpeg_free(decoder, st->dc_specs[i]);
    }
    for (int32_t i = 0; st->ac_specs != nullptr && i < jpeg_rec_ac_count(decoder); ++i) {
        jpeg_free(decoder, st->ac_specs[i]);
    }
    jpeg_free(decoder, st->dc_specs);
    jpeg_free(decoder, st->ac_specs);
    jpeg_free(decoder, st->huff_state);
    jpeg_free(decoder, st->buffer);
    jpeg_free(decoder, st->lossless_table);
    st->lossless_table = nullptr;
    st->lossless_fast = 0;
    st->lossless_fast16 = 0;
    st->predictions = nullptr;
    st->dc_specs = nullptr;
    st->ac_specs = nullptr;
    st->huff_state = nullptr;
    st->buffer = nullptr;
    st->current = nullptr;
    st->available = 0;
    st->filled = 0;
}

jpeg_status jpeg_direct_quant_setup(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    jpeg_direct_quant_release(decoder);
    const int32_t count = jpeg_rec_quant_count(decoder);
    if (count < 1) {
        return JPEG_OK;
    }
    st->quant = static_cast<uint16_t*>(jpeg_calloc(decoder, static_cast<uint32_t>(count), 128));
    if (st->quant == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    for (int32_t i = 0; i < count; ++i) {
        const jpeg_quant_table* table = jpeg_rec_quant_table(decoder, i);
        for (int32_t k = 0; k < 64; ++k) {
            st->quant[64 * i + k] = static_cast<uint16_t>(table->values[k]);
        }
    }
    return JPEG_OK;
}

void jpeg_direct_quant_release(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = decoder != nullptr ? jpeg_rec_direct_state(decoder) : nullptr;
    if (st == nullptr) {
        return;
    }
    jpeg_free(decoder, st->quant);
    st->quant = nullptr;
}

jpeg_status jpeg_direct_build_spec(jpeg_decoder* decoder, const uint8_t* counts, const uint8_t* values,
                                   HuffDecodeSpec** destination)
{
    *destination = nullptr;
    if (counts == nullptr || values == nullptr) {
        return JPEG_OK;
    }
    int32_t size = 0;
    if (huff_decode_spec_size(&size) != kernel_ok || size < 1) {
        return 0;
    }
    auto* table = static_cast<HuffDecodeSpec*>(jpeg_malloc(decoder, static_cast<uint32_t>(size)));
    if (table == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    *destination = table;
    return huff_decode_spec_init(counts, values, table) == kernel_ok ? JPEG_OK : 0;
}

namespace {

jpeg_status BuildSpecs(jpeg_decoder* decoder, bool dc, HuffDecodeSpec*** out)
{
    const int32_t count = dc ? jpeg_rec_dc_count(decoder) : jpeg_rec_ac_count(decoder);
    if (count < 1) {
        return JPEG_OK;
    }
    *out = static_cast<HuffDecodeSpec**>(jpeg_calloc(decoder, static_cast<uint32_t>(count), sizeof(HuffDecodeSpec*)));
    if (*out == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    for (int32_t i = 0; i < count; ++i) {
        const jpeg_status status = dc ? jpeg_direct_build_spec(decoder, jpeg_rec_dc_counts(decoder, i),
                                                               jpeg_rec_dc_values(decoder, i), &(*out)[i])
                                      : jpeg_direct_build_spec(decoder, jpeg_rec_ac_counts(decoder, i),
                                                               jpeg_rec_ac_values(decoder, i), &(*out)[i]);
        if (status != JPEG_OK) {
            return status;
        }
    }
    return JPEG_OK;
}

}   // namespace

// Tops the block up from the source when fewer than `threshold` bytes are left; stops reading
// once a read came back short of the capacity (the stream or its budget has ended).
void jpeg_direct_refill(jpeg_decoder* decoder, int32_t threshold)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (st->available >= threshold || (st->filled != 0 && st->filled < st->capacity)) {
        return;
    }
    if (st->available > 0 && st->current != st->buffer) {
        std::memmove(st->buffer, st->current, static_cast<size_t>(st->available));
    }
    const uint32_t want = static_cast<uint32_t>(st->capacity - st->available);
    st->available += static_cast<int32_t>(jpeg_src_read_scan(decoder, st->buffer + st->available, want));
    st->current = st->buffer;
    // Below the capacity from now on when the stream or its budget has ended.
    st->filled = st->available;
}

jpeg_status jpeg_direct_setup(jpeg_decoder* decoder)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    jpeg_direct_release(decoder);
    const bool lossless = jpeg_is_lossless(decoder);
    jpeg_rec_set_restart(decoder, lossless ? &jpeg_direct_restart_lossless : &jpeg_direct_restart_dct);
    jpeg_rec_set_end_of_segment(decoder, &jpeg_direct_scan_end_marker);
    st->decode_block = dispatch_entry<dispatch_table_huff_decode_block_8x8>(StartLevel());
    jpeg_rec_set_skip_restarts(decoder, &jpeg_direct_skip_restart_markers);
    st->consumed = 0;
    st->available = 0;
    st->filled = 0;
    // Lossless frames size their block by the row (jpeg_direct_setup_lossless).
    if (!lossless) {
        st->capacity = kDirectCapacity;
        st->buffer = static_cast<uint8_t*>(jpeg_malloc(decoder, kDirectCapacity));
        if (st->buffer == nullptr) {
            return JPEG_ERR_MEMORY;
        }
        st->current = st->buffer;
    }
    jpeg_status status = BuildSpecs(decoder, true, &st->dc_specs);
    if (status == JPEG_OK) {
        status = BuildSpecs(decoder, false, &st->ac_specs);
    }
    if (status == JPEG_OK && lossless) {
        status = jpeg_direct_setup_lossless(decoder);
    }
    if (status != JPEG_OK) {
        return status;
    }
    int32_t size = 0;
    if (huff_decode_state_size(&size) != kernel_ok || size < 1) {
        return 0;
    }
    st->huff_state = static_cast<HuffDecodeState*>(jpeg_calloc(decoder, 1, static_cast<uint32_t>(size)));
    if (st->huff_state == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    return huff_decode_state_init(st->huff_state) == kernel_ok ? JPEG_OK : 0;
}

jpeg_status jpeg_direct_restart_dct(jpeg_decoder* decoder)
{
    for (int32_t c = 0; c < 4; ++c) {
        jpeg_rec_set_dc_pred(decoder, c, 0);
    }
    jpeg_rec_set_block_decoder(decoder, jpeg_rec_scale(decoder) > 1 ? &jpeg_direct_decode_block_scaled
                                                                    : &jpeg_direct_decode_block);
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    st->interval_failed = 0;
    return huff_decode_state_init(st->huff_state) == kernel_ok ? JPEG_OK : 0;
}

jpeg_status jpeg_direct_decode_block(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    // After a failure the bit position inside the interval is lost: the rest waits for the restart.
    if (st->interval_failed != 0) {
        return JPEG_ERR_DATA;
    }
    const uint32_t dc = jpeg_rec_dc_selectors(decoder)[component];
    const uint32_t ac = jpeg_rec_ac_selectors(decoder)[component];
    if (dc >= static_cast<uint32_t>(jpeg_rec_dc_count(decoder)) ||
        ac >= static_cast<uint32_t>(jpeg_rec_ac_count(decoder)) || st->dc_specs[dc] == nullptr ||
        st->ac_specs[ac] == nullptr) {
        st->interval_failed = 1;
        return JPEG_ERR_DATA;
    }
    // The 16-bit block goes straight into the entry's coefficient space; the transform reads it
    // back with a byte copy.
    return DecodeWords(decoder, st, &huff_decode_block_8x8, st->dc_specs[dc], st->ac_specs[ac], component,
                       reinterpret_cast<int16_t*>(entry->coefficients));
}

jpeg_status jpeg_direct_decode_block_scaled(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    const jpeg_status status = jpeg_direct_decode_block(decoder, entry, component);
    if (status < 1) {
        return status;
    }
    const jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    st->widen[component](reinterpret_cast<const int16_t*>(entry->coefficients), st->multipliers[component],
                         entry->coefficients);
    return JPEG_OK;
}

void jpeg_widen_block(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    // Through a copy: value k's 32 bits cover 16-bit values 2k and 2k + 1. The products wrap as
    // the buffered decoder's do.
    int32_t wide[64];
    for (int32_t k = 0; k < 64; ++k) {
        wide[k] = static_cast<int32_t>(static_cast<uint32_t>(words[k]) * static_cast<uint32_t>(multiplier[k]));
    }
    std::memcpy(out, wide, sizeof wide);
}

void jpeg_widen_dc(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    out[0] = static_cast<int32_t>(static_cast<uint32_t>(words[0]) * static_cast<uint32_t>(multiplier[0]));
}

void jpeg_direct_transform_block(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    // The decode unit left 64 16-bit values at the start of the entry's block; the transform reads
    // them there and writes beside, so no copy comes first.
    int16_t block[64];
    dequant_idct_8x8(reinterpret_cast<const int16_t*>(entry->coefficients), block,
                     jpeg_rec_direct_state(decoder)->quant + 64 * jpeg_rec_quant_selectors(decoder)[component]);
    int32_t* out = entry->coefficients;
    for (int32_t i = 0; i < 64; ++i) {
        out[i] = block[i];
    }
}

jpeg_status jpeg_direct_get_byte(jpeg_decoder* decoder, uint8_t* byte)
{
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    if (st->available < 1) {
        st->current = st->buffer;
        st->available =
            static_cast<int32_t>(jpeg_src_read_scan(decoder, st->buffer, static_cast<uint32_t>(st->capacity)));
        st->filled = st->available;
        st->consumed = 0;
        if (st->available < 1) {
            return JPEG_ERR_END_OF_INPUT;
        }
    }
    *byte = *st->current++;
    --st->available;
    return JPEG_OK;
}

namespace {

jpeg_status TakePendingDirect(jpeg_decoder* decoder)
{
    const auto code = static_cast<jpeg_status>(jpeg_rec_marker(decoder));
    jpeg_rec_set_marker(decoder, 0);
    return code;
}

}   // namespace

jpeg_status jpeg_direct_find_marker(jpeg_decoder* decoder)
{
    jpeg_status code = TakePendingDirect(decoder);
    uint8_t byte = 0;
    while (code == 0) {
        if (jpeg_direct_get_byte(decoder, &byte) < 1) {
            return JPEG_ERR_END_OF_INPUT;
        }
        if (byte != 0xFF) {
            continue;
        }
        // Fill bytes are passed over here, so that FF FF D4 still finds RST4.
        do {
            if (jpeg_direct_get_byte(decoder, &byte) < 1) {
                return JPEG_ERR_END_OF_INPUT;
            }
        } while (byte == 0xFF);
        code = byte;
    }
    jpeg_rec_set_last_marker(decoder, static_cast<uint8_t>(code));
    return code;
}

jpeg_status jpeg_direct_read_dnl(jpeg_decoder* decoder)
{
    // Through the byte reader: a DNL at the very end of the data must not be read past.
    uint8_t bytes[4];
    for (uint8_t& byte : bytes) {
        if (jpeg_direct_get_byte(decoder, &byte) < 1) {
            return JPEG_ERR_END_OF_INPUT;
        }
    }
    jpeg_rec_set_height(decoder, static_cast<uint16_t>(bytes[2] << 8 | bytes[3]));
    return JPEG_OK;
}

jpeg_status jpeg_direct_scan_end_marker(jpeg_decoder* decoder)
{
    jpeg_status code = TakePendingDirect(decoder);
    if (code == 0) {
        uint8_t byte = 0;
        if (jpeg_direct_get_byte(decoder, &byte) < 1) {
            return JPEG_ERR_END_OF_INPUT;
        }
        if (byte != 0xFF) {
            return JPEG_ERR_DATA;
        }
        do {
            if (jpeg_direct_get_byte(decoder, &byte) < 1) {
                return JPEG_ERR_END_OF_INPUT;
            }
        } while (byte == 0xFF);
        if (byte == 0) {
            return JPEG_ERR_DATA;
        }
        code = byte;
    }
    jpeg_rec_set_last_marker(decoder, static_cast<uint8_t>(code));
    if (code == 0xDC) {
        jpeg_direct_read_dnl(decoder);
        return JPEG_ERR_DATA;
    }
    if (IsRestartMarker(code) || code == 0xD9) {
        jpeg_rec_set_restart_marker(decoder, static_cast<uint8_t>(code));
        return JPEG_OK;
    }
    return JPEG_ERR_DATA;
}

jpeg_status jpeg_direct_skip_restart_markers(jpeg_decoder* decoder, int32_t n)
{
    while (n >= 1) {
        const jpeg_status code = jpeg_direct_find_marker(decoder);
        if (code < 1) {
            return code;
        }
        if (code == 0xDC) {
            jpeg_direct_read_dnl(decoder);
            return JPEG_ERR_DATA;
        }
        if (code == 0xD9) {
            return JPEG_OK;
        }
        if (IsRestartMarker(code)) {
            jpeg_rec_set_restart_marker(decoder, static_cast<uint8_t>(code));
            --n;
        }
    }
    return JPEG_OK;
}
