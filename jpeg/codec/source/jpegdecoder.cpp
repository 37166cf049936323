#include "jpeg/jpegdecoder.h"

#include <cstdlib>
#include <cstring>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"

void* jpeg_default_alloc(void*, uint32_t size)
{
    return std::malloc(size == 0 ? 1 : size);
}

void jpeg_default_free(void*, void* pointer)
{
    std::free(pointer);
}

// ---- memory source ----

int32_t jpeg_mem_get_byte(void* handle)
{
    auto* source = static_cast<jpeg_mem_source*>(handle);
    if (source->current >= source->base + source->size) {
        return -1;
    }
    return *source->current++;
}

int32_t jpeg_mem_read(void* handle, uint8_t* buffer, uint32_t count)
{
    auto* source = static_cast<jpeg_mem_source*>(handle);
    const size_t left = static_cast<size_t>(source->base + source->size - source->current);
    if (left == 0) {
        return -1;
    }
    const size_t n = count < left ? count : left;
    std::memcpy(buffer, source->current, n);
    source->current += n;
    return static_cast<int32_t>(n);
}

int64_t jpeg_mem_tell(void* handle)
{
    auto* source = static_cast<jpeg_mem_source*>(handle);
    return source->current - source->base;
}

int64_t jpeg_mem_seek(void* handle, int64_t position)
{
    auto* source = static_cast<jpeg_mem_source*>(handle);
    if (position < 0) {
        return -1;
    }
    const size_t to = static_cast<uint64_t>(position) < source->size ? static_cast<size_t>(position) : source->size;
    source->current = source->base + to;
    return static_cast<int64_t>(to);
}

jpeg_status jpeg_mem_source_create(jpeg_decoder* decoder, const uint8_t* data, size_t size, jpeg_source* source)
{
    if (decoder == nullptr || source == nullptr || (data == nullptr && size != 0)) {
        return JPEG_ERR_PARAMETER;
    }
    auto* record = static_cast<jpeg_mem_source*>(jpeg_calloc(decoder, 1, sizeof(jpeg_mem_source)));
    if (record == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    record->base = data;
    record->current = data;
    record->size = size;
    record->owner = decoder;
    source->get_byte = &jpeg_mem_get_byte;
    source->read = &jpeg_mem_read;
    source->tell = &jpeg_mem_tell;
    source->seek = &jpeg_mem_seek;
    source->handle = record;
    return JPEG_OK;
}

// ---- helpers ----

int32_t jpeg_src_get_byte(jpeg_decoder* decoder)
{
    return decoder->get_byte != nullptr ? decoder->get_byte(decoder->source_handle) : -1;
}

int32_t jpeg_src_read(jpeg_decoder* decoder, uint8_t* buffer, uint32_t count)
{
    return decoder->read != nullptr ? decoder->read(decoder->source_handle, buffer, count) : -1;
}

int64_t jpeg_src_tell(jpeg_decoder* decoder)
{
    return decoder->tell != nullptr ? decoder->tell(decoder->source_handle) : -1;
}

int64_t jpeg_src_seek(jpeg_decoder* decoder, int64_t position)
{
    return decoder->seek != nullptr ? decoder->seek(decoder->source_handle, position) : -1;
}

int32_t jpeg_src_get_u16(jpeg_decoder* decoder)
{
    const int32_t high = jpeg_src_get_byte(decoder);
    if (high < 0) {
        return -1;
    }
    const int32_t low = jpeg_src_get_byte(decoder);
    if (low < 0) {
        return -1;
    }
    return (high << 8) | low;
}

void* jpeg_malloc(jpeg_decoder* decoder, uint64_t size)
{
    if (size > UINT32_MAX || decoder->alloc == nullptr) {
        return nullptr;
    }
    return decoder->alloc(decoder->user, static_cast<uint32_t>(size));
}

void* jpeg_calloc(jpeg_decoder* decoder, uint64_t count, uint64_t size)
{
    if (size != 0 && count > UINT32_MAX / size) {
        return nullptr;
    }
    const uint64_t bytes = count * size;
    void* memory = jpeg_malloc(decoder, bytes);
    if (memory != nullptr) {
        std::memset(memory, 0, bytes);
    }
    return memory;
}

void jpeg_free(jpeg_decoder* decoder, void* pointer)
{
    if (pointer != nullptr && decoder->free != nullptr) {
        decoder->free(decoder->user, pointer);
    }
}

// ---- life cycle ----

jpeg_decoder* jpeg_decoder_create(const jpeg_allocator* allocator, void* user)
{
    auto* alloc = allocator != nullptr ? allocator->alloc : &jpeg_default_alloc;
    auto* release = allocator != nullptr ? allocator->free : &jpeg_default_free;
    if (alloc == nullptr || release == nullptr) {
        return nullptr;
    }
    auto* decoder = static_cast<jpeg_decoder*>(alloc(user, sizeof(jpeg_decoder)));
    if (decoder == nullptr) {
        return nullptr;
    }
    std::memset(static_cast<void*>(decoder), 0, sizeof(jpeg_decoder));
    decoder->alloc = alloc;
    decoder->free = release;
    // Kept so that the record is freed with the user data it was allocated with.
    decoder->user = user;
    decoder->selected_component = -1;
    decoder->scale_denominator = 1;
    return decoder;
}

void jpeg_set_source(jpeg_decoder* decoder, const jpeg_source* source)
{
    decoder->get_byte = source->get_byte;
    decoder->read = source->read;
    decoder->tell = source->tell;
    decoder->seek = source->seek;
    decoder->source_handle = source->get_byte == &jpeg_mem_get_byte ? source->handle : decoder->user;
}

jpeg_decoder* jpeg_decoder_open(const jpeg_source* source, const jpeg_allocator* allocator, void* user,
                                jpeg_status* status)
{
    if (source == nullptr) {
        if (status != nullptr) {
            *status = JPEG_ERR_PARAMETER;
        }
        return nullptr;
    }
    jpeg_decoder* decoder = jpeg_decoder_create(allocator, user);
    if (decoder == nullptr) {
        if (status != nullptr) {
            *status = JPEG_ERR_MEMORY;
        }
        return nullptr;
    }
    decoder->user = user;
    jpeg_set_source(decoder, source);
    decoder->scale_denominator = 1;
    return decoder;
}

void jpeg_share_tables(jpeg_decoder* decoder, const jpeg_decoder* donor)
{
    if (donor->quant_tables != nullptr) {
        decoder->quant_count = donor->quant_count;
        decoder->quant_capacity = donor->quant_capacity;
        decoder->quant_tables = donor->quant_tables;
        decoder->quant_borrowed = 1;
    }
    if (donor->dc_count > 0 || donor->ac_count > 0) {
        decoder->dc_count = donor->dc_count;
        decoder->ac_count = donor->ac_count;
        decoder->dc_capacity = donor->dc_capacity;
        decoder->ac_capacity = donor->ac_capacity;
        decoder->dc_tables = donor->dc_tables;
        decoder->ac_tables = donor->ac_tables;
        decoder->huff_borrowed = 1;
        decoder->tables_changed = 1;
    }
}

namespace {

// Settles a requested colour code against the component count; 0 when none can be settled.
int32_t SettleColor(int32_t requested, int32_t components, bool lossless)
{
    const int32_t three = lossless ? JPEG_COLOR_RGB : JPEG_COLOR_YCBCR;
    if (requested != JPEG_COLOR_NONE && jpeg_color_code_channels(requested) == components) {
        return requested;
    }
    switch (components) {
    case 1:
        return requested == JPEG_COLOR_LAB_ITU || requested == JPEG_COLOR_LAB_ICC ? JPEG_COLOR_LSTAR : JPEG_COLOR_GREY;
    case 3: return three;
    case 4: return JPEG_COLOR_CMYK;
    default: return 0;
    }
}

}   // namespace

jpeg_status jpeg_read_header(jpeg_decoder* decoder, int32_t requested_color, uint32_t stream_length,
                             const jpeg_decoder* donor)
{
    if (decoder == nullptr) {
        return JPEG_ERR_PARAMETER;
    }
    if (decoder->state != 0) {
        return JPEG_ERR_STATE;
    }
    if (decoder->get_byte == nullptr) {
        return JPEG_ERR_PARAMETER;
    }
    if (donor != nullptr && donor != decoder) {
        jpeg_share_tables(decoder, donor);
    }
    decoder->requested_color = requested_color;
    decoder->stream_length = stream_length;
    decoder->header_read = 1;
    decoder->header_start = jpeg_src_tell(decoder);

    const jpeg_status status = jpeg_read_markers(decoder);
    decoder->header_status = status;
    if (status < 1) {
        decoder->state = 1;
        return status;
    }
    // A lossless restart interval must cover whole lines; a width of 0 is refused later.
    if (decoder->frame_marker == 0xC3 && decoder->width != 0 && decoder->restart_interval % decoder->width != 0) {
        return JPEG_ERR_SYNTAX;
    }
    if (decoder->sample_bits == 0) {
        decoder->sample_bits = 8;
    }
    const int32_t nf = decoder->component_count;
    decoder->output_components = decoder->selected_component < 0 ? nf : 1;

    const int32_t settled = SettleColor(requested_color, nf, decoder->frame_marker == 0xC3);
    if (settled == 0) {
        decoder->state = 1;
        decoder->header_status = JPEG_ERR_PRECISION;
        return JPEG_ERR_PRECISION;
    }
    decoder->requested_color = settled;
    if (decoder->image_color == JPEG_COLOR_NONE || jpeg_color_code_channels(decoder->image_color) != nf) {
        decoder->image_color = settled;
    }
    decoder->output_color = decoder->selected_component < 0 ? decoder->image_color : JPEG_COLOR_GREY;

    const int64_t position = jpeg_src_tell(decoder);
    const int64_t used =
        position >= decoder->header_start && decoder->header_start >= 0 ? position - decoder->header_start : 0;
    decoder->bytes_left = used < stream_length ? static_cast<uint32_t>(stream_length - used) : 0;
    decoder->state = 1;
    return status;
}

jpeg_status jpeg_set_scale(jpeg_decoder* decoder, uint32_t denominator)
{
    if (denominator != 1 && denominator != 2 && denominator != 4 && denominator != 8) {
        return JPEG_ERR_PARAMETER;
    }
    decoder->scale_denominator = denominator;
    return JPEG_OK;
}

jpeg_status jpeg_set_line_count(jpeg_decoder* decoder, uint32_t lines)
{
    decoder->lines_to_output = lines;
    return JPEG_OK;
}

jpeg_status jpeg_set_luminance_only(jpeg_decoder* decoder, uint32_t flag)
{
    decoder->luminance_only = flag;
    const int32_t image = decoder->image_color;
    if (flag != 0 && (image == JPEG_COLOR_YCBCR || image == JPEG_COLOR_LAB_ITU || image == JPEG_COLOR_LAB_ICC)) {
        decoder->output_components = 1;
        decoder->output_color = image == JPEG_COLOR_YCBCR ? JPEG_COLOR_GREY : JPEG_COLOR_LSTAR;
    } else if (flag == 0) {
        decoder->output_color = image;
        if (decoder->selected_component < 0) {
            decoder->output_components = decoder->component_count;
        }
    }
    return JPEG_OK;
}

jpeg_status jpeg_decoder_destroy(jpeg_decoder* decoder)
{
    if (decoder == nullptr) {
        return JPEG_OK;
    }
    jpeg_decode_release(decoder);
    jpeg_block_entries_release(decoder);
    jpeg_entropy_release(decoder);
    jpeg_release_quant_tables(decoder);
    jpeg_free(decoder, decoder->comment);
    decoder->comment = nullptr;
    for (uint32_t i = 0; i < decoder->segment_count; ++i) {
        if (decoder->segments[i].owned != 0) {
            jpeg_free(decoder, decoder->segments[i].data);
        }
    }
    decoder->segment_count = 0;
    if (decoder->get_byte == &jpeg_mem_get_byte) {
        jpeg_free(decoder, decoder->source_handle);
        decoder->source_handle = nullptr;
    }
    if (decoder->scan_set != nullptr && decoder->scan_set->release != nullptr) {
        decoder->scan_set->release(decoder, decoder->scan_set);
    }
    decoder->scan_set = nullptr;
    void (*release)(void*, void*) = decoder->free;
    void* user = decoder->user;
    release(user, decoder);
    return JPEG_OK;
}

// ---- accessors ----

int32_t jpeg_output_color_code(const jpeg_decoder* decoder)
{
    return decoder->output_color;
}

int32_t jpeg_image_color_code(const jpeg_decoder* decoder)
{
    return decoder->image_color;
}

uint32_t jpeg_width(const jpeg_decoder* decoder)
{
    return decoder->width;
}

uint32_t jpeg_height(const jpeg_decoder* decoder)
{
    return decoder->height;
}

int32_t jpeg_precision(const jpeg_decoder* decoder)
{
    return decoder->sample_bits;
}

uint32_t jpeg_resolution_x(const jpeg_decoder* decoder)
{
    return decoder->density_x & 0xFFFF;
}

uint32_t jpeg_resolution_y(const jpeg_decoder* decoder)
{
    return decoder->density_y & 0xFFFF;
}

bool jpeg_is_progressive(const jpeg_decoder* decoder)
{
    return decoder->frame_marker == 0xC2;
}

bool jpeg_is_lossless(const jpeg_decoder* decoder)
{
    return decoder->frame_marker == 0xC3;
}

bool jpeg_is_separate_scan(const jpeg_decoder* decoder)
{
    return decoder->scan_set != nullptr;
}

uint32_t jpeg_sampling_code(const jpeg_decoder* decoder)
{
    auto byte = [decoder](int i) { return static_cast<uint32_t>(decoder->frame_h[i] << 4 | decoder->frame_v[i]); };
    switch (decoder->component_count) {
    case 3: return byte(0) << 16 | byte(1) << 8 | byte(2);
    case 4: return byte(0) << 24 | byte(1) << 16 | byte(2) << 8 | byte(3);
    default: return 0x111111;
    }
}

int32_t jpeg_color_code_channels(int32_t color)
{
    switch (color) {
    case JPEG_COLOR_RGB:
    case JPEG_COLOR_YCBCR:
    case JPEG_COLOR_LAB_ITU:
    case JPEG_COLOR_CMY:
    case JPEG_COLOR_LAB_ICC: return 3;
    case JPEG_COLOR_GREY:
    case JPEG_COLOR_GREY_REVERSED:
    case JPEG_COLOR_LSTAR: return 1;
    case JPEG_COLOR_CMYK: return 4;
    default: return 0;
    }
}

uint32_t jpeg_segment_count(const jpeg_decoder* decoder)
{
    return decoder->segment_count;
}

const jpeg_app_segment* jpeg_segment_at(const jpeg_decoder* decoder, uint32_t index)
{
    return index < decoder->segment_count ? &decoder->segments[index] : nullptr;
}
