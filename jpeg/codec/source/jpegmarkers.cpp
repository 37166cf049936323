#include "jpeg/jpegmarkers.h"

#include <cstring>

#include "jpeg/jpegtables.h"

namespace {

// ---- input in either mode ----

bool DecodeMode(const jpeg_decoder* decoder)
{
    return decoder->input_buffer != nullptr;
}

// The built-in memory source read in place, without a call per byte; null for any other source.
jpeg_mem_source* Memory(const jpeg_decoder* decoder)
{
    return decoder->get_byte == &jpeg_mem_get_byte ? static_cast<jpeg_mem_source*>(decoder->source_handle) : nullptr;
}

size_t MemoryLeft(const jpeg_mem_source* memory)
{
    return static_cast<size_t>(memory->base + memory->size - memory->current);
}

int32_t InByte(jpeg_decoder* decoder)
{
    if (DecodeMode(decoder)) {
        return jpeg_input_byte(decoder);
    }
    if (jpeg_mem_source* memory = Memory(decoder)) {
        return MemoryLeft(memory) != 0 ? *memory->current++ : -1;
    }
    return jpeg_src_get_byte(decoder);
}

// 0..65535, or -1 when input ends.
int32_t InU16(jpeg_decoder* decoder)
{
    if (!DecodeMode(decoder)) {
        jpeg_mem_source* memory = Memory(decoder);
        if (memory == nullptr) {
            return jpeg_src_get_u16(decoder);
        }
        if (MemoryLeft(memory) < 2) {
            memory->current += MemoryLeft(memory);
            return -1;
        }
        const int32_t value = memory->current[0] << 8 | memory->current[1];
        memory->current += 2;
        return value;
    }
    const int32_t high = jpeg_input_byte(decoder);
    if (high < 0) {
        return -1;
    }
    const int32_t low = jpeg_input_byte(decoder);
    return low < 0 ? -1 : (high << 8 | low);
}

// Reads exactly count bytes: 1, or -11.
jpeg_status InRead(jpeg_decoder* decoder, uint8_t* buffer, uint32_t count)
{
    if (DecodeMode(decoder)) {
        for (uint32_t i = 0; i < count; ++i) {
            const int32_t byte = jpeg_input_byte(decoder);
            if (byte < 0) {
                return JPEG_ERR_END_OF_INPUT;
            }
            buffer[i] = static_cast<uint8_t>(byte);
        }
        return JPEG_OK;
    }
    if (jpeg_mem_source* memory = Memory(decoder)) {
        const size_t left = MemoryLeft(memory);
        if (left < count) {
            memory->current += left;
            return JPEG_ERR_END_OF_INPUT;
        }
        std::memcpy(buffer, memory->current, count);
        memory->current += count;
        return JPEG_OK;
    }
    uint32_t done = 0;
    while (done < count) {
        const int32_t got = jpeg_src_read(decoder, buffer + done, count - done);
        if (got <= 0) {
            return JPEG_ERR_END_OF_INPUT;
        }
        done += static_cast<uint32_t>(got) < count - done ? static_cast<uint32_t>(got) : count - done;
    }
    return JPEG_OK;
}

// Forward only; impossible in decode mode. 1, or -11.
jpeg_status InSkip(jpeg_decoder* decoder, uint32_t count)
{
    if (count == 0) {
        return JPEG_OK;
    }
    if (DecodeMode(decoder)) {
        return JPEG_ERR_END_OF_INPUT;
    }
    if (jpeg_mem_source* memory = Memory(decoder)) {
        const size_t left = MemoryLeft(memory);
        memory->current += count < left ? count : left;
        return count <= left ? JPEG_OK : JPEG_ERR_END_OF_INPUT;
    }
    const int64_t from = jpeg_src_tell(decoder);
    if (from < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    const int64_t to = from + count;
    return jpeg_src_seek(decoder, to) == to ? JPEG_OK : JPEG_ERR_END_OF_INPUT;
}

// A segment length: the value, or a failure (-11 missing, -13 below the minimum).
int32_t ReadLength(jpeg_decoder* decoder, int32_t minimum)
{
    const int32_t length = InU16(decoder);
    if (length < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    return length < minimum ? JPEG_ERR_SYNTAX : length;
}

// Grows a slot array to hold index; new slots are zero. 1 or -1.
template <typename T>
jpeg_status GrowSlots(jpeg_decoder* decoder, T*& slots, int32_t& count, int32_t& capacity, uint32_t index)
{
    if (static_cast<int32_t>(index) < count) {
        return JPEG_OK;
    }
    if (static_cast<int32_t>(index) < capacity) {
        count = static_cast<int32_t>(index) + 1;   // the slots behind the count are still zero
        return JPEG_OK;
    }
    const uint32_t room = index + 1 < 4 ? 4 : index + 1;
    auto* grown = static_cast<T*>(jpeg_calloc(decoder, room, sizeof(T)));
    if (grown == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    if (slots != nullptr && count > 0) {
        std::memcpy(static_cast<void*>(grown), slots, sizeof(T) * static_cast<size_t>(count));
    }
    jpeg_free(decoder, slots);
    slots = grown;
    count = static_cast<int32_t>(index) + 1;
    capacity = static_cast<int32_t>(room);
    return JPEG_OK;
}

bool IsSofMarker(int32_t code)
{
    return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}

}   // namespace

int32_t jpeg_input_byte(jpeg_decoder* decoder)
{
    if (decoder->buffer_position >= decoder->buffered) {
        decoder->buffered = 0;
        decoder->buffer_position = 0;
        if (decoder->bytes_left == 0) {
            decoder->end_of_data = -1;
            return -1;
        }
        const uint32_t request = decoder->bytes_left < static_cast<uint32_t>(JPEG_INPUT_BUFFER_SIZE)
                                     ? decoder->bytes_left
                                     : static_cast<uint32_t>(JPEG_INPUT_BUFFER_SIZE);
        decoder->bytes_left -= request;
        const int32_t got = jpeg_src_read(decoder, decoder->input_buffer, request);
        if (got <= 0) {
            decoder->end_of_data = -1;
            return -1;
        }
        decoder->buffered = got < static_cast<int32_t>(request) ? got : static_cast<int32_t>(request);
    }
    return decoder->input_buffer[decoder->buffer_position++];
}

jpeg_status jpeg_input_buffer_create(jpeg_decoder* decoder)
{
    if (decoder->input_buffer == nullptr) {
        decoder->input_buffer = static_cast<uint8_t*>(jpeg_malloc(decoder, JPEG_INPUT_BUFFER_SIZE));
        if (decoder->input_buffer == nullptr) {
            return JPEG_ERR_MEMORY;
        }
    }
    decoder->buffered = 0;
    decoder->buffer_position = 0;
    decoder->end_of_data = 0;
    return JPEG_OK;
}

// ---- markers ----

namespace {

// The marker the entropy decoder already consumed, or 0.
int32_t TakePending(jpeg_decoder* decoder)
{
    const int32_t code = static_cast<int32_t>(decoder->pending_marker);
    decoder->pending_marker = 0;
    return code;
}

// After a 0xFF: passes over fill bytes; the code byte (0 when the pair was stuffed data), or -11.
int32_t CodeAfterFill(jpeg_decoder* decoder)
{
    int32_t byte = 0;
    do {
        byte = InByte(decoder);
    } while (byte == 0xFF);
    return byte < 0 ? JPEG_ERR_END_OF_INPUT : byte;
}

int32_t Found(jpeg_decoder* decoder, int32_t code)
{
    decoder->last_marker = static_cast<uint8_t>(code);
    return code;
}

}   // namespace

jpeg_status jpeg_next_marker(jpeg_decoder* decoder)
{
    if (const int32_t pending = TakePending(decoder)) {
        return Found(decoder, pending);
    }
    const int32_t byte = InByte(decoder);
    if (byte < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    if (byte != 0xFF) {
        return JPEG_ERR_SYNTAX;
    }
    const int32_t code = CodeAfterFill(decoder);
    if (code < 0) {
        return code;
    }
    return code == 0 ? JPEG_ERR_SYNTAX : Found(decoder, code);
}

jpeg_status jpeg_find_marker(jpeg_decoder* decoder)
{
    if (const int32_t pending = TakePending(decoder)) {
        return Found(decoder, pending);
    }
    for (;;) {
        const int32_t byte = InByte(decoder);
        if (byte < 0) {
            return JPEG_ERR_END_OF_INPUT;
        }
        if (byte == 0xFF) {
            const int32_t code = CodeAfterFill(decoder);
            if (code != 0) {
                return code < 0 ? code : Found(decoder, code);
            }
        }
    }
}

jpeg_status jpeg_skip_segment(jpeg_decoder* decoder)
{
    const int32_t length = InU16(decoder);
    if (length < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    // A length below 2 would step backwards over the length itself.
    if (length < 2) {
        return JPEG_ERR_SYNTAX;
    }
    return InSkip(decoder, static_cast<uint32_t>(length - 2));
}

jpeg_status jpeg_read_markers(jpeg_decoder* decoder)
{
    decoder->restart_interval = 0;
    decoder->density_x = 0;
    decoder->density_y = 0;
    decoder->image_color = 0;
    jpeg_status result = JPEG_OK;

    const int32_t first = jpeg_next_marker(decoder);
    if (first < 0 && first != JPEG_ERR_SYNTAX) {
        return first;
    }
    if (first != 0xD8) {
        return JPEG_ERR_NO_SOI;
    }
    for (;;) {
        int32_t code = jpeg_next_marker(decoder);
        if (code < 1) {
            code = jpeg_find_marker(decoder);
            if (code < 1) {
                return code;
            }
        }
        jpeg_status status = JPEG_OK;
        bool scan = false;
        if (code == 0x01) {
            status = JPEG_WARN_SKIPPED_MARKER;
        } else if (code <= 0xBF) {
            status = jpeg_skip_segment(decoder);
            status = status == JPEG_OK ? JPEG_WARN_SKIPPED_MARKER : status;
        } else if (IsSofMarker(code)) {
            decoder->frame_marker = static_cast<uint32_t>(code);
            status = jpeg_read_sof(decoder);
        } else if (code == 0xC4) {
            status = jpeg_read_dht(decoder);
        } else if (code == 0xC8 || code == 0xCC || code == 0xDE || code == 0xDF) {
            status = JPEG_ERR_UNSUPPORTED;
        } else if (code >= 0xD0 && code <= 0xD8) {
            status = JPEG_ERR_PRECISION;
        } else if (code == 0xD9) {
            return result;
        } else if (code == 0xDA) {
            scan = true;
            if (decoder->selected_component < 1) {
                status = jpeg_read_sos(decoder);
            } else {
                for (int32_t n = 0; n < decoder->selected_component && status >= 1; ++n) {
                    status = jpeg_next_scan(decoder);
                }
            }
        } else if (code == 0xDB) {
            status = jpeg_read_dqt(decoder);
        } else if (code == 0xDC) {
            status = jpeg_read_dnl(decoder);
        } else if (code == 0xDD) {
            status = jpeg_read_dri(decoder);
        } else if (code >= 0xE0 && code <= 0xEF) {
            status = jpeg_read_app(decoder, static_cast<uint32_t>(code));
        } else if (code >= 0xF0 && code <= 0xFD) {
            status = jpeg_skip_segment(decoder);
            status = status == JPEG_OK ? JPEG_WARN_SKIPPED_MARKER : status;
        } else if (code == 0xFE) {
            status = jpeg_read_com(decoder);
        }
        if (status < 1) {
            return status;
        }
        if (status != JPEG_OK) {
            result = status;
        }
        if (scan) {
            break;
        }
    }
    if (decoder->image_color == 0) {
        decoder->image_color = JPEG_COLOR_NONE;
    } else if (decoder->component_count == 1) {
        if (decoder->image_color == JPEG_COLOR_YCBCR) {
            decoder->image_color = JPEG_COLOR_GREY;
        } else if (decoder->image_color == JPEG_COLOR_LAB_ITU || decoder->image_color == JPEG_COLOR_LAB_ICC) {
            decoder->image_color = JPEG_COLOR_LSTAR;
        }
    }
    return result;
}

// ---- segments ----

jpeg_status jpeg_read_sof(jpeg_decoder* decoder)
{
    const int32_t length = ReadLength(decoder, 2);
    if (length < 0) {
        return length;
    }
    const int32_t precision = InByte(decoder);
    if (precision < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    const uint32_t marker = decoder->frame_marker;
    bool allowed = false;
    if (marker == 0xC0) {
        allowed = precision == 8;
    } else if (marker == 0xC1 || marker == 0xC2) {
        allowed = precision == 8 || precision == 12;
    } else {
        allowed = precision >= 2 && precision <= 16;
    }
    if (!allowed) {
        return JPEG_ERR_PRECISION;
    }
    const int32_t lines = InU16(decoder);
    const int32_t samples = lines < 0 ? -1 : InU16(decoder);
    const int32_t count = samples < 0 ? -1 : InByte(decoder);
    if (count < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    if (lines == 0) {
        decoder->height = 0;
        const jpeg_status found = jpeg_find_dnl_ahead(decoder);
        if (found < 1) {
            return found;
        }
    } else {
        decoder->height = static_cast<uint16_t>(lines);
    }
    decoder->width = static_cast<uint16_t>(samples);
    if (count > 4) {
        return JPEG_ERR_UNSUPPORTED;
    }
    decoder->component_count = count;
    decoder->precision = precision;
    decoder->sample_bits = precision > 8 ? 16 : 8;
    if (length - 8 != 3 * count) {
        return JPEG_ERR_SYNTAX;
    }
    uint8_t bytes[12];
    const jpeg_status read = InRead(decoder, bytes, static_cast<uint32_t>(3 * count));
    if (read < 1) {
        return read;
    }
    uint8_t hmax = 0;
    uint8_t vmax = 0;
    for (int32_t c = 0; c < count; ++c) {
        decoder->component_id[c] = bytes[3 * c];
        decoder->frame_h[c] = bytes[3 * c + 1] >> 4;
        decoder->frame_v[c] = bytes[3 * c + 1] & 15;
        decoder->quant_selector[c] = bytes[3 * c + 2];
        hmax = decoder->frame_h[c] > hmax ? decoder->frame_h[c] : hmax;
        vmax = decoder->frame_v[c] > vmax ? decoder->frame_v[c] : vmax;
    }
    for (int32_t c = 0; c < count; ++c) {
        if (decoder->frame_h[c] == 0 || decoder->frame_v[c] == 0) {
            return JPEG_ERR_SYNTAX;
        }
        decoder->ratio_h[c] = static_cast<uint8_t>(hmax / decoder->frame_h[c]);
        decoder->ratio_v[c] = static_cast<uint8_t>(vmax / decoder->frame_v[c]);
    }
    jpeg_frame_header& frame = decoder->frame;
    frame.length = static_cast<uint16_t>(length);
    frame.precision = static_cast<uint8_t>(precision);
    frame.lines = static_cast<uint16_t>(lines);
    frame.samples = static_cast<uint16_t>(samples);
    frame.count = static_cast<uint8_t>(count);
    for (int32_t c = 0; c < count; ++c) {
        frame.id[c] = bytes[3 * c];
        frame.sampling[c] = bytes[3 * c + 1];
        frame.table[c] = bytes[3 * c + 2];
    }
    return JPEG_OK;
}

jpeg_status jpeg_find_dnl_ahead(jpeg_decoder* decoder)
{
    int64_t position = jpeg_src_tell(decoder);
    if (DecodeMode(decoder)) {
        position -= decoder->buffered - decoder->buffer_position;
    }
    for (;;) {
        const int32_t code = jpeg_find_marker(decoder);
        if (code < 1) {
            return code;
        }
        if (code == 0xD9) {
            return JPEG_ERR_SYNTAX;
        }
        if (code == 0xDC) {
            const jpeg_status status = jpeg_read_dnl(decoder);
            if (status < 1) {
                return status;
            }
            break;
        }
    }
    if (DecodeMode(decoder) || position < 0 || jpeg_src_seek(decoder, position) != position) {
        return JPEG_ERR_END_OF_INPUT;
    }
    return JPEG_OK;
}

jpeg_status jpeg_read_dht(jpeg_decoder* decoder)
{
    const int32_t length = ReadLength(decoder, 2);
    if (length < 0) {
        return length;
    }
    if (decoder->huff_borrowed != 0) {
        const jpeg_status owned = jpeg_own_huff_tables(decoder);
        if (owned < 1) {
            return owned;
        }
    }
    int32_t left = length - 2;
    while (left > 0) {
        const int32_t kind = InByte(decoder);
        if (kind < 0) {
            return JPEG_ERR_END_OF_INPUT;
        }
        left -= 1;
        const int32_t tc = kind >> 4;
        const uint32_t th = static_cast<uint32_t>(kind & 15);
        if (tc > 1) {
            return JPEG_ERR_SYNTAX;
        }
        const int32_t bound = tc == 0 ? 17 : 256;
        jpeg_huff_table*& slots = tc == 0 ? decoder->dc_tables : decoder->ac_tables;
        int32_t& slot_count = tc == 0 ? decoder->dc_count : decoder->ac_count;
        int32_t& capacity = tc == 0 ? decoder->dc_capacity : decoder->ac_capacity;
        const jpeg_status grown = GrowSlots(decoder, slots, slot_count, capacity, th);
        if (grown < 1) {
            return grown;
        }
        if (left < 16) {
            return JPEG_ERR_SYNTAX;
        }
        uint8_t counts[16];
        if (InRead(decoder, counts, 16) < 1) {
            return JPEG_ERR_END_OF_INPUT;
        }
        left -= 16;
        int32_t total = 0;
        for (uint8_t n : counts) {
            total += n;
        }
        decoder->symbol_totals[th] = static_cast<uint32_t>(total);
        if (left < total) {
            return JPEG_ERR_SYNTAX;
        }
        // No table has more than 256 symbols; a larger count is read into the heap only to be
        // refused by the derivation.
        uint8_t local[256];
        uint8_t* values = local;
        if (total > 256) {
            values = static_cast<uint8_t*>(jpeg_malloc(decoder, static_cast<uint32_t>(total)));
            if (values == nullptr) {
                return JPEG_ERR_MEMORY;
            }
        }
        if (InRead(decoder, values, static_cast<uint32_t>(total)) < 1) {
            if (values != local) {
                jpeg_free(decoder, values);
            }
            return JPEG_ERR_END_OF_INPUT;
        }
        left -= total;
        jpeg_status status = JPEG_OK;
        if (tc == 0) {
            for (int32_t i = 0; i < total; ++i) {
                if (values[i] >= 17) {
                    status = JPEG_ERR_UNSUPPORTED;
                }
            }
        }
        if (status == JPEG_OK) {
            status = DeriveHuffDecodeTable(decoder, &slots[th], counts, values, bound);
        }
        if (values != local) {
            jpeg_free(decoder, values);
        }
        if (status < 1) {
            return status;
        }
    }
    decoder->tables_changed = 1;
    return JPEG_OK;
}

jpeg_status jpeg_read_dqt(jpeg_decoder* decoder)
{
    const int32_t length = ReadLength(decoder, 2);
    if (length < 0) {
        return length;
    }
    decoder->quant_precision = 0;
    if (decoder->quant_borrowed != 0) {
        const jpeg_status owned = jpeg_own_quant_tables(decoder);
        if (owned < 1) {
            return owned;
        }
    }
    const int32_t tables = (length - 2) / 65;
    const uint8_t* natural = GetNaturalOrderTable();
    for (int32_t t = 0; t < tables; ++t) {
        uint8_t bytes[65];
        if (InRead(decoder, bytes, 65) < 1) {
            return JPEG_ERR_END_OF_INPUT;
        }
        const uint32_t pq = bytes[0] >> 4;
        const uint32_t tq = bytes[0] & 15;
        if (pq != 0) {
            decoder->quant_precision = pq;
            const int32_t rest = length - 2 - 65 * (t + 1);
            return InSkip(decoder, static_cast<uint32_t>(rest));
        }
        const jpeg_status grown =
            GrowSlots(decoder, decoder->quant_tables, decoder->quant_count, decoder->quant_capacity, tq);
        if (grown < 1) {
            return grown;
        }
        for (int32_t i = 0; i < 64; ++i) {
            decoder->quant_tables[tq].values[natural[i]] = bytes[1 + i];
        }
    }
    return JPEG_OK;
}

jpeg_status jpeg_read_dri(jpeg_decoder* decoder)
{
    const int32_t length = InU16(decoder);
    if (length < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    if (length != 4) {
        return JPEG_ERR_SYNTAX;
    }
    const int32_t interval = InU16(decoder);
    if (interval < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    decoder->restart_interval = static_cast<uint32_t>(interval);
    decoder->restart_counter = 0;
    return JPEG_OK;
}

jpeg_status jpeg_read_dnl(jpeg_decoder* decoder)
{
    const int32_t length = ReadLength(decoder, 4);
    if (length < 0) {
        return length;
    }
    const int32_t lines = InU16(decoder);
    if (lines < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    // The height was found ahead at the frame header (or given there): the segment is passed over.
    if (decoder->height != 0) {
        return JPEG_OK;
    }
    // An image of no lines cannot be decoded.
    if (lines == 0) {
        return JPEG_ERR_SYNTAX;
    }
    decoder->height = static_cast<uint16_t>(lines);
    return JPEG_OK;
}

jpeg_status jpeg_read_app(jpeg_decoder* decoder, uint32_t marker)
{
    const int32_t length = ReadLength(decoder, 2);
    if (length < 0) {
        return length;
    }
    const uint32_t n = static_cast<uint32_t>(length - 2);
    if (n == 0) {
        return JPEG_OK;
    }
    if (decoder->segment_count >= JPEG_MAX_SEGMENTS) {
        return InSkip(decoder, n);
    }
    uint8_t* data = nullptr;
    uint32_t owned = 1;
    jpeg_mem_source* memory = DecodeMode(decoder) ? nullptr : Memory(decoder);
    if (memory != nullptr) {
        // The caller's bytes stay put while the decoder reads them: no copy needed.
        if (MemoryLeft(memory) < n) {
            memory->current += MemoryLeft(memory);
            return JPEG_ERR_END_OF_INPUT;
        }
        data = const_cast<uint8_t*>(memory->current);
        memory->current += n;
        owned = 0;
    } else {
        data = static_cast<uint8_t*>(jpeg_malloc(decoder, n));
        if (data == nullptr) {
            return InSkip(decoder, n);
        }
        if (InRead(decoder, data, n) < 1) {
            jpeg_free(decoder, data);
            return JPEG_ERR_END_OF_INPUT;
        }
    }
    decoder->segments[decoder->segment_count++] = jpeg_app_segment{marker, n, data, owned};
    if (marker == 0xE0) {
        return jpeg_parse_jfif(decoder, data, n);
    }
    if (marker == 0xE1) {
        return jpeg_parse_g3fax(decoder, data, n);
    }
    return JPEG_OK;
}

jpeg_status jpeg_parse_jfif(jpeg_decoder* decoder, const uint8_t* data, uint32_t size)
{
    if (size < 12 || std::memcmp(data, "JFIF", 5) != 0 || data[5] != 1) {
        return JPEG_OK;
    }
    const uint8_t units = data[7];
    uint32_t x = static_cast<uint32_t>(data[8] << 8 | data[9]);
    uint32_t y = static_cast<uint32_t>(data[10] << 8 | data[11]);
    if (units == 0) {
        x = 0;
        y = 0;
    } else if (units == 2) {
        x = static_cast<uint16_t>(static_cast<uint32_t>(x * 2.54 + 0.5));
        y = static_cast<uint16_t>(static_cast<uint32_t>(y * 2.54 + 0.5));
    }
    decoder->density_x = x;
    decoder->density_y = y;
    decoder->image_color = JPEG_COLOR_YCBCR;
    return x == 0 || y == 0 ? JPEG_WARN_NO_RESOLUTION : JPEG_OK;
}

jpeg_status jpeg_parse_g3fax(jpeg_decoder* decoder, const uint8_t* data, uint32_t size)
{
    if (size < 10 || std::memcmp(data, "G3FAX", 6) != 0 || (data[6] << 8 | data[7]) != 1994) {
        return JPEG_OK;
    }
    const uint32_t resolution = static_cast<uint32_t>(data[8] << 8 | data[9]);
    decoder->density_x = resolution;
    decoder->density_y = resolution;
    decoder->image_color = JPEG_COLOR_LAB_ITU;
    return resolution == 0 ? JPEG_WARN_NO_RESOLUTION : JPEG_OK;
}

jpeg_status jpeg_read_com(jpeg_decoder* decoder)
{
    const int32_t length = ReadLength(decoder, 2);
    if (length < 0) {
        return length;
    }
    const uint32_t n = static_cast<uint32_t>(length - 2);
    if (n == 0) {
        return JPEG_OK;
    }
    // Nothing reads the comment beyond its first 64 KiB; the rest is skipped.
    const uint32_t m = decoder->comment_length;
    const uint32_t separator = decoder->comment != nullptr ? 1 : 0;
    const uint32_t room = m + separator < JPEG_MAX_COMMENT ? JPEG_MAX_COMMENT - m - separator : 0;
    const uint32_t take = n < room ? n : room;
    if (take == 0) {
        return InSkip(decoder, n);
    }
    const uint32_t needed = m + separator + take + 1;
    if (needed > decoder->comment_capacity) {
        // Grown geometrically so that many small segments cost linear time.
        uint32_t capacity = decoder->comment_capacity * 2;
        capacity = capacity < needed ? needed : capacity;
        capacity = capacity > JPEG_MAX_COMMENT + 1 ? JPEG_MAX_COMMENT + 1 : capacity;
        auto* grown = static_cast<char*>(jpeg_malloc(decoder, capacity));
        if (grown == nullptr) {
            return JPEG_ERR_MEMORY;
        }
        if (decoder->comment != nullptr) {
            std::memcpy(grown, decoder->comment, m);
        }
        jpeg_free(decoder, decoder->comment);
        decoder->comment = grown;
        decoder->comment[m] = 0;
        decoder->comment_capacity = capacity;
    }
    char* text = decoder->comment;
    if (separator != 0) {
        text[m] = '\n';
    }
    if (InRead(decoder, reinterpret_cast<uint8_t*>(text + m + separator), take) < 1) {
        text[m] = 0;
        return JPEG_ERR_END_OF_INPUT;
    }
    decoder->comment_length = m + separator + take;
    text[decoder->comment_length] = 0;
    return InSkip(decoder, n - take);
}

jpeg_status jpeg_read_sos(jpeg_decoder* decoder)
{
    const int32_t length = ReadLength(decoder, 2);
    if (length < 0) {
        return length;
    }
    const int32_t ns = InByte(decoder);
    if (ns < 0) {
        return JPEG_ERR_END_OF_INPUT;
    }
    const int32_t nf = decoder->component_count;
    const bool progressive = decoder->frame_marker == 0xC2;
    const bool lossless = decoder->frame_marker == 0xC3;
    // The scan header holds four selectors, each naming a frame component.
    if (ns < 1 || ns > 4 || ns > nf) {
        return JPEG_ERR_SYNTAX;
    }
    if (decoder->selected_component < 0 && ns == 1 && nf > 1 && !progressive) {
        if (decoder->scan_set == nullptr) {
            const jpeg_status made = jpeg_create_scan_set(decoder);
            if (made < 1) {
                return made;
            }
        }
    }
    if (decoder->scan_set != nullptr && decoder->scan_set->count >= static_cast<uint32_t>(nf)) {
        return JPEG_ERR_SYNTAX;
    }
    if (length - 3 < 2 * ns + 3) {
        return JPEG_ERR_SYNTAX;
    }
    uint8_t bytes[8];
    if (InRead(decoder, bytes, static_cast<uint32_t>(2 * ns)) < 1) {
        return JPEG_ERR_END_OF_INPUT;
    }
    uint32_t in_scan[4] = {0, 0, 0, 0};
    uint32_t dc_selector[4];
    uint32_t ac_selector[4];
    std::memcpy(dc_selector, decoder->dc_selector, sizeof dc_selector);
    std::memcpy(ac_selector, decoder->ac_selector, sizeof ac_selector);
    uint32_t max_td = 0;
    uint32_t max_ta = 0;
    for (int32_t i = 0; i < ns; ++i) {
        int32_t found = -1;
        for (int32_t c = 0; c < nf; ++c) {
            if (decoder->component_id[c] == bytes[2 * i]) {
                found = c;
                break;
            }
        }
        if (found < 0 || in_scan[found] != 0) {
            return JPEG_ERR_SYNTAX;
        }
        in_scan[found] = 1;
        dc_selector[found] = bytes[2 * i + 1] >> 4;
        ac_selector[found] = bytes[2 * i + 1] & 15;
        max_td = dc_selector[found] > max_td ? dc_selector[found] : max_td;
        max_ta = ac_selector[found] > max_ta ? ac_selector[found] : max_ta;
    }
    uint8_t tail[3];
    if (InRead(decoder, tail, 3) < 1) {
        return JPEG_ERR_END_OF_INPUT;
    }
    const uint32_t ss = tail[0];
    const uint32_t se = tail[1];
    const uint32_t ah = tail[2] >> 4;
    const uint32_t al = tail[2] & 15;
    if (progressive) {
        if (ss > se || se > 63 || (ss == 0 && se != 0) || (ss != 0 && ns > 1) || al > 13) {
            return JPEG_ERR_SYNTAX;
        }
    } else if (lossless) {
        if (ss < 1 || ss > 7 || static_cast<int32_t>(al) >= decoder->precision) {
            return JPEG_ERR_SYNTAX;
        }
    }

    std::memcpy(decoder->in_scan, in_scan, sizeof in_scan);
    std::memcpy(decoder->dc_selector, dc_selector, sizeof dc_selector);
    std::memcpy(decoder->ac_selector, ac_selector, sizeof ac_selector);
    jpeg_scan_header& scan = decoder->scan;
    scan.length = static_cast<uint16_t>(length);
    scan.count = static_cast<uint8_t>(ns);
    for (int32_t i = 0; i < ns; ++i) {
        scan.selector[i] = bytes[2 * i];
        scan.tables[i] = bytes[2 * i + 1];
    }
    scan.ss = tail[0];
    scan.se = tail[1];
    scan.approximation = tail[2];

    if (decoder->header_read != 0) {
        if (decoder->dc_count == 0 || max_td >= static_cast<uint32_t>(decoder->dc_count)) {
            return JPEG_ERR_SYNTAX;
        }
        const bool uses_ac = progressive && ss > 0;
        if (uses_ac && (decoder->ac_count == 0 || max_ta >= static_cast<uint32_t>(decoder->ac_count))) {
            return JPEG_ERR_SYNTAX;
        }
        // A table the scan decodes with must have been defined, not merely made room for.
        const bool uses_dc = !(progressive && (ss > 0 || ah != 0));
        for (int32_t c = 0; c < nf; ++c) {
            if (in_scan[c] == 0) {
                continue;
            }
            if (uses_dc && decoder->dc_tables[dc_selector[c]].counts == nullptr) {
                return JPEG_ERR_SYNTAX;
            }
            if (uses_ac && decoder->ac_tables[ac_selector[c]].counts == nullptr) {
                return JPEG_ERR_SYNTAX;
            }
        }
    }
    if (decoder->scan_set != nullptr) {
        jpeg_scan_set* set = decoder->scan_set;
        set->first_selectors[set->count++] = bytes[0];
    }
    return JPEG_OK;
}

// ---- between scans ----

jpeg_status jpeg_next_scan(jpeg_decoder* decoder)
{
    for (;;) {
        const int32_t code = jpeg_find_marker(decoder);
        if (code < 1) {
            return code;
        }
        if (code == 0xC4) {
            const jpeg_status status = jpeg_read_dht(decoder);
            if (status < 1) {
                return status;
            }
        } else if (code == 0xDA) {
            return jpeg_read_sos(decoder);
        } else if (code == 0xDC) {
            const jpeg_status status = jpeg_read_dnl(decoder);
            if (status < 1) {
                return status;
            }
        } else if (code == 0xD9) {
            return JPEG_ERR_SYNTAX;
        }
    }
}

jpeg_status jpeg_read_scan_end_marker(jpeg_decoder* decoder)
{
    const int32_t code = jpeg_next_marker(decoder);
    if (code < 1) {
        return code;
    }
    if (code == 0xDC) {
        return jpeg_read_dnl(decoder);
    }
    if ((code >= 0xD0 && code <= 0xD7) || code == 0xD9) {
        decoder->end_of_scan_marker = static_cast<uint8_t>(code);
        return JPEG_OK;
    }
    return JPEG_ERR_SYNTAX;
}

jpeg_status jpeg_skip_restart_markers(jpeg_decoder* decoder, int32_t n)
{
    int32_t found = 0;
    while (found < n) {
        const int32_t code = jpeg_find_marker(decoder);
        if (code < 1) {
            return code;
        }
        if (code >= 0xD0 && code <= 0xD7) {
            decoder->end_of_scan_marker = static_cast<uint8_t>(code);
            ++found;
        } else if (code == 0xDC) {
            jpeg_read_dnl(decoder);
            return JPEG_ERR_DATA;
        } else if (code == 0xD9) {
            return JPEG_ERR_DATA;
        }
    }
    return JPEG_OK;
}

// ---- separate-scan set ----

jpeg_status jpeg_create_scan_set(jpeg_decoder* decoder)
{
    const uint32_t nf = static_cast<uint32_t>(decoder->component_count);
    auto* set = static_cast<jpeg_scan_set*>(jpeg_calloc(decoder, 1, sizeof(jpeg_scan_set)));
    if (set == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    set->first_selectors = static_cast<uint32_t*>(jpeg_calloc(decoder, nf, sizeof(uint32_t)));
    set->decoders = static_cast<jpeg_decoder**>(jpeg_calloc(decoder, nf, sizeof(jpeg_decoder*)));
    set->release = &jpeg_destroy_scan_set;
    if (set->first_selectors == nullptr || set->decoders == nullptr) {
        jpeg_destroy_scan_set(decoder, set);
        return JPEG_ERR_MEMORY;
    }
    decoder->scan_set = set;
    return JPEG_OK;
}

void jpeg_destroy_scan_set(jpeg_decoder* owner, jpeg_scan_set* set)
{
    if (set == nullptr) {
        return;
    }
    jpeg_free(owner, set->first_selectors);
    if (set->decoders != nullptr) {
        for (uint32_t i = 0; i < set->count; ++i) {
            jpeg_decoder_destroy(set->decoders[i]);
        }
    }
    jpeg_free(owner, set->decoders);
    jpeg_free(owner, set->stream);
    jpeg_free(owner, set);
    if (owner->scan_set == set) {
        owner->scan_set = nullptr;
    }
}
