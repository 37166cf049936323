#include "jpegfuzzentry.h"

#include <cstdlib>
#include <vector>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegdecoder.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"

namespace {

// Heap with a budget, so that a frame of huge declared size is refused instead of exhausting
// the fuzzer's memory.
struct Budget {
    uint64_t left;
};

void* Alloc(void* user, uint32_t size)
{
    auto* budget = static_cast<Budget*>(user);
    if (size > budget->left) {
        return nullptr;
    }
    void* memory = std::malloc(size + sizeof(uint64_t));
    if (memory == nullptr) {
        return nullptr;
    }
    budget->left -= size;
    *static_cast<uint64_t*>(memory) = size;
    return static_cast<uint64_t*>(memory) + 1;
}

void Free(void* user, void* pointer)
{
    auto* block = static_cast<uint64_t*>(pointer) - 1;
    static_cast<Budget*>(user)->left += *block;
    std::free(block);
}

jpeg_decoder* Open(const uint8_t* data, size_t size, Budget* budget)
{
    const jpeg_allocator allocator{&Alloc, &Free};
    jpeg_decoder* decoder = jpeg_decoder_create(&allocator, budget);
    if (decoder == nullptr) {
        return nullptr;
    }
    jpeg_source source{};
    if (jpeg_mem_source_create(decoder, data, size, &source) < 1) {
        jpeg_decoder_destroy(decoder);
        return nullptr;
    }
    jpeg_set_source(decoder, &source);
    return decoder;
}

uint64_t ReadBack(const jpeg_decoder* decoder)
{
    uint64_t sum = jpeg_width(decoder) + jpeg_height(decoder) + jpeg_precision(decoder);
    sum += jpeg_output_color_code(decoder) + jpeg_image_color_code(decoder) + jpeg_sampling_code(decoder);
    sum += jpeg_resolution_x(decoder) + jpeg_resolution_y(decoder) + jpeg_is_progressive(decoder);
    sum += jpeg_is_lossless(decoder) + jpeg_is_separate_scan(decoder);
    for (uint32_t i = 0; i < jpeg_segment_count(decoder); ++i) {
        const jpeg_app_segment* segment = jpeg_segment_at(decoder, i);
        sum += segment->marker + segment->length + (segment->length != 0 ? segment->data[segment->length - 1] : 0);
    }
    for (const char* text = decoder->comment; text != nullptr && *text != 0; ++text) {
        sum += static_cast<uint8_t>(*text);
    }
    return sum;
}

// What decoding sets up after the header, and the marker readers of decode mode over the rest.
void SetUp(jpeg_decoder* decoder)
{
    jpeg_setup_quant_tables(decoder);
    jpeg_setup_mcu_geometry(decoder);
    if (jpeg_check_scan_tables(decoder) >= 1 || decoder->dc_count > 0) {
        jpeg_rebuild_lookaheads(decoder, 8);
    }
    if (jpeg_input_buffer_create(decoder) < 1) {
        return;
    }
    for (int i = 0; i < 64; ++i) {
        const jpeg_status status = (i % 3 == 2)   ? jpeg_skip_restart_markers(decoder, 2)
                                   : (i % 3 == 1) ? jpeg_read_scan_end_marker(decoder)
                                                  : jpeg_next_scan(decoder);
        if (status == JPEG_ERR_END_OF_INPUT || decoder->end_of_data != 0) {
            break;
        }
    }
}

// Decodes every row of a fresh decoder, also when its header failed (the start must refuse what
// the record cannot decode, and a frame larger than its data can code); the rows of frames above
// 4 M samples are skipped to keep runs short.
void DecodeAll(const uint8_t* data, size_t size, Budget* budget, uint32_t scale, uint32_t luminance_only)
{
    jpeg_decoder* decoder = Open(data, size, budget);
    if (decoder == nullptr) {
        return;
    }
    jpeg_cpu_init();
    jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(size), nullptr);
    jpeg_set_luminance_only(decoder, luminance_only);
    if (jpeg_set_scale(decoder, scale) >= 1 && jpeg_start_decode(decoder) >= 1 &&
        static_cast<uint64_t>(jpeg_width(decoder)) * jpeg_height(decoder) * decoder->component_count <= (4u << 20)) {
        uint64_t channels = static_cast<uint64_t>(jpeg_color_code_channels(jpeg_output_color_code(decoder)));
        // Lossless rows carry every component, 16-bit samples above 8 bits.
        channels = channels > static_cast<uint64_t>(decoder->component_count) ? channels : decoder->component_count;
        std::vector<uint8_t> line(jpeg_width(decoder) * channels * (jpeg_precision(decoder) > 8 ? 2 : 1));
        for (uint32_t y = 0; y < jpeg_height(decoder); ++y) {
            if (jpeg_decode_row(decoder, line.data()) < 1) {
                break;
            }
        }
    }
    jpeg_decoder_destroy(decoder);
}

}   // namespace

int JpegFuzzReadHeader(const uint8_t* data, size_t size)
{
    static const int32_t requests[4] = {JPEG_COLOR_NONE, JPEG_COLOR_RGB, JPEG_COLOR_LAB_ITU, JPEG_COLOR_CMYK};
    Budget budget{64u << 20};
    volatile uint64_t sink = 0;

    jpeg_decoder* donor = Open(data, size, &budget);
    if (donor == nullptr) {
        return 0;
    }
    const jpeg_status status = jpeg_read_header(donor, requests[size % 4], static_cast<uint32_t>(size), nullptr);
    sink = sink + ReadBack(donor);
    // A second decoder over the same bytes borrows the first one's tables, then changes them.
    jpeg_decoder* borrower = Open(data, size, &budget);
    if (borrower != nullptr) {
        if (size % 2 == 1) {
            borrower->selected_component = static_cast<int32_t>(size % 3);
        }
        jpeg_read_header(borrower, JPEG_COLOR_NONE, static_cast<uint32_t>(size), donor);
        sink = sink + ReadBack(borrower);
        SetUp(borrower);
        jpeg_decoder_destroy(borrower);
    }
    if (status >= 1) {
        jpeg_set_luminance_only(donor, 1);
        SetUp(donor);
    }
    jpeg_decoder_destroy(donor);
    // Every size, and luminance only at the size one byte of the input chooses.
    for (const uint32_t scale : {1u, 2u, 4u, 8u}) {
        DecodeAll(data, size, &budget, scale, 0);
    }
    DecodeAll(data, size, &budget, 1u << (size > 0 ? data[size / 2] % 4 : 0), 1);
    return 0;
}
