#include <cstring>

#include "jpeg/jpegtables.h"

const uint8_t* GetNaturalOrderTable()
{
    static const uint8_t natural[64] = {
        0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
        41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
        30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
    };
    return natural;
}

namespace {

// No more symbols than the bound, every value below it, and codes that fit their lengths with
// the all-ones code left free (an over-full table would give look-ahead indexes past the
// table's end). The symbol total, or -2.
int32_t CheckTable(const uint8_t counts[16], const uint8_t* values, int32_t symbol_bound)
{
    int32_t total = 0;
    uint32_t code = 0;
    for (uint32_t length = 1; length <= 16; ++length) {
        code = (code << 1) + counts[length - 1];
        total += counts[length - 1];
        if (code >= (1u << length)) {
            return JPEG_ERR_PARAMETER;
        }
    }
    if (total > symbol_bound) {
        return JPEG_ERR_PARAMETER;
    }
    for (int32_t i = 0; symbol_bound <= 255 && i < total; ++i) {
        if (values[i] >= symbol_bound) {
            return JPEG_ERR_PARAMETER;
        }
    }
    return total;
}

}   // namespace

jpeg_status jpeg_build_code_table(jpeg_decoder* decoder, const uint8_t counts[16], const uint8_t* values,
                                  int32_t symbol_bound, jpeg_huff_code** codes)
{
    jpeg_free(decoder, *codes);
    *codes = nullptr;
    const int32_t total = CheckTable(counts, values, symbol_bound);
    if (total < 0) {
        return total;
    }
    auto* table =
        static_cast<jpeg_huff_code*>(jpeg_calloc(decoder, static_cast<uint32_t>(symbol_bound), sizeof(jpeg_huff_code)));
    if (table == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    uint32_t code = 0;
    const uint8_t* value = values;
    for (uint32_t length = 1; length <= 16; ++length) {
        code <<= 1;
        for (const uint8_t* end = value + counts[length - 1]; value < end; ++value, ++code) {
            table[*value] = jpeg_huff_code{length, code};
        }
    }
    *codes = table;
    return JPEG_OK;
}

// The code table is filled with the look-ahead, when a scan is about to use the table: a header
// read only checks the table and keeps its counts and values.
jpeg_status DeriveHuffDecodeTable(jpeg_decoder* decoder, jpeg_huff_table* table, const uint8_t counts[16],
                                  const uint8_t* values, int32_t symbol_bound)
{
    jpeg_free(decoder, table->codes);
    jpeg_free(decoder, table->counts);   // the values live in the same block
    table->codes = nullptr;
    table->counts = nullptr;
    table->values = nullptr;
    const int32_t total = CheckTable(counts, values, symbol_bound);
    if (total < 0) {
        return total;
    }
    table->symbol_bound = symbol_bound;
    table->counts = static_cast<uint8_t*>(jpeg_malloc(decoder, 16 + static_cast<uint32_t>(total)));
    if (table->counts == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    table->values = table->counts + 16;
    std::memcpy(table->counts, counts, 16);
    std::memcpy(table->values, values, static_cast<size_t>(total));
    table->cumulative[0] = 0;
    for (int32_t k = 1; k <= 16; ++k) {
        table->cumulative[k] = table->cumulative[k - 1] + counts[k - 1];
    }
    // The first code of each length follows from the counts alone; taking it from the code
    // table would go wrong when a symbol value appears twice.
    int32_t code = 0;
    for (int32_t k = 0; k < 16; ++k) {
        if (counts[k] == 0) {
            table->mincode[k] = 0;
            table->maxcode[k] = -1;
        } else {
            table->mincode[k] = code;
            table->maxcode[k] = code + counts[k] - 1;
        }
        code = (code + counts[k]) << 1;
    }
    return JPEG_OK;
}

jpeg_status jpeg_build_lookahead(jpeg_decoder* decoder, jpeg_huff_table* table, int32_t width)
{
    const uint32_t size = 1u << width;
    jpeg_free(decoder, table->lookahead);
    table->lookahead = static_cast<jpeg_huff_lookahead*>(jpeg_calloc(decoder, size, sizeof(jpeg_huff_lookahead)));
    if (table->lookahead == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    if (table->counts == nullptr) {
        return JPEG_OK;
    }
    if (table->codes == nullptr) {
        const jpeg_status built =
            jpeg_build_code_table(decoder, table->counts, table->values, table->symbol_bound, &table->codes);
        if (built < 1) {
            return built;
        }
    }
    jpeg_huff_lookahead* entries = table->lookahead;
    // Walk the codes in canonical order (the code table is built the same way and its codes fit
    // their lengths, so every index stays below the size).
    uint32_t code = 0;
    int32_t i = 0;
    for (int32_t length = 1; length <= 16; ++length) {
        code <<= 1;
        for (uint32_t n = 0; n < table->counts[length - 1]; ++n, ++code, ++i) {
            const uint32_t index = length <= width ? code << (width - length) : code >> (length - width);
            entries[index] = jpeg_huff_lookahead{length, table->values[i]};
        }
    }
    int32_t current_length = 0;
    uint32_t current_symbol = 0;
    uint32_t base = 0;
    for (uint32_t index = 0; index < size; ++index) {
        const int32_t length = entries[index].length;
        if (length > 0 && length < width) {
            current_length = length;
            current_symbol = entries[index].symbol;
            base = index;
        } else if (length == 0 && current_length > 0 && (index & (~0u << (width - current_length))) == base) {
            entries[index] = jpeg_huff_lookahead{current_length, current_symbol};
        }
    }
    return JPEG_OK;
}

jpeg_status jpeg_rebuild_lookaheads(jpeg_decoder* decoder, int32_t width)
{
    // Borrowed tables are the donor's, shared with other borrowers on other threads and made
    // through another allocator: the derived tables go into copies of this decoder's own.
    const jpeg_status owned = jpeg_own_huff_tables(decoder);
    if (owned < 1) {
        return owned;
    }
    decoder->lookahead_bits = width;
    for (int32_t i = 0; i < decoder->dc_count; ++i) {
        const jpeg_status status = jpeg_build_lookahead(decoder, &decoder->dc_tables[i], width);
        if (status < 1) {
            return status;
        }
    }
    for (int32_t i = decoder->ac_count - 1; i >= 0; --i) {
        const jpeg_status status = jpeg_build_lookahead(decoder, &decoder->ac_tables[i], width);
        if (status < 1) {
            return status;
        }
    }
    return JPEG_OK;
}

jpeg_status jpeg_check_scan_tables(jpeg_decoder* decoder)
{
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        const uint32_t dc = decoder->dc_selector[c];
        if (dc >= static_cast<uint32_t>(decoder->dc_count) || decoder->dc_tables[dc].counts == nullptr) {
            return JPEG_ERR_SYNTAX;
        }
        if (decoder->frame_marker == 0xC0) {
            const uint32_t ac = decoder->ac_selector[c];
            if (ac >= static_cast<uint32_t>(decoder->ac_count) || decoder->ac_tables[ac].counts == nullptr) {
                return JPEG_ERR_SYNTAX;
            }
        }
    }
    return JPEG_OK;
}

void jpeg_huff_table_release(jpeg_decoder* decoder, jpeg_huff_table* table)
{
    jpeg_free(decoder, table->counts);   // the values live in the same block
    jpeg_free(decoder, table->codes);
    jpeg_free(decoder, table->lookahead);
    table->counts = nullptr;
    table->values = nullptr;
    table->codes = nullptr;
    table->lookahead = nullptr;
}

void jpeg_huff_tables_release(jpeg_decoder* decoder)
{
    for (int32_t i = 0; i < decoder->dc_count; ++i) {
        jpeg_huff_table_release(decoder, &decoder->dc_tables[i]);
    }
    jpeg_free(decoder, decoder->dc_tables);
    for (int32_t i = 0; i < decoder->ac_count; ++i) {
        jpeg_huff_table_release(decoder, &decoder->ac_tables[i]);
    }
    jpeg_free(decoder, decoder->ac_tables);
    decoder->dc_tables = nullptr;
    decoder->ac_tables = nullptr;
    decoder->dc_count = 0;
    decoder->ac_count = 0;
    decoder->dc_capacity = 0;
    decoder->ac_capacity = 0;
}

void jpeg_entropy_release(jpeg_decoder* decoder)
{
    if (decoder->huff_borrowed == 0) {
        jpeg_huff_tables_release(decoder);
    }
    jpeg_free(decoder, decoder->input_buffer);
    decoder->input_buffer = nullptr;
}

namespace {

// Copies one class of slots; on failure the copies made so far are released.
jpeg_status CopySlots(jpeg_decoder* decoder, const jpeg_huff_table* from, int32_t count, jpeg_huff_table** to)
{
    *to = nullptr;
    if (count <= 0) {
        return JPEG_OK;
    }
    auto* copy =
        static_cast<jpeg_huff_table*>(jpeg_calloc(decoder, static_cast<uint32_t>(count), sizeof(jpeg_huff_table)));
    if (copy == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    for (int32_t i = 0; i < count; ++i) {
        if (from[i].counts == nullptr) {
            continue;
        }
        const jpeg_status status =
            DeriveHuffDecodeTable(decoder, &copy[i], from[i].counts, from[i].values, from[i].symbol_bound);
        if (status < 1) {
            for (int32_t j = 0; j <= i; ++j) {
                jpeg_huff_table_release(decoder, &copy[j]);
            }
            jpeg_free(decoder, copy);
            return status;
        }
    }
    *to = copy;
    return JPEG_OK;
}

}   // namespace

jpeg_status jpeg_own_huff_tables(jpeg_decoder* decoder)
{
    if (decoder->huff_borrowed == 0) {
        return JPEG_OK;
    }
    jpeg_huff_table* dc = nullptr;
    jpeg_huff_table* ac = nullptr;
    jpeg_status status = CopySlots(decoder, decoder->dc_tables, decoder->dc_count, &dc);
    if (status >= 1) {
        status = CopySlots(decoder, decoder->ac_tables, decoder->ac_count, &ac);
        if (status < 1 && dc != nullptr) {
            for (int32_t i = 0; i < decoder->dc_count; ++i) {
                jpeg_huff_table_release(decoder, &dc[i]);
            }
            jpeg_free(decoder, dc);
        }
    }
    if (status < 1) {
        return status;
    }
    decoder->dc_tables = dc;
    decoder->ac_tables = ac;
    decoder->dc_count = dc != nullptr ? decoder->dc_count : 0;
    decoder->ac_count = ac != nullptr ? decoder->ac_count : 0;
    decoder->dc_capacity = decoder->dc_count;
    decoder->ac_capacity = decoder->ac_count;
    decoder->huff_borrowed = 0;
    decoder->tables_changed = 1;
    return JPEG_OK;
}
