#include "jpeg/jpegdecode.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <mutex>

#include "huffman/huff_decode.h"
#include "jpeg/jpegrecord.h"
#include "jpeg/jpegtables.h"
#include "processor/cpu_query.h"
#include "processor/kernel_dispatch.h"

// ---- processor set-up and the shared range-limit table ----

namespace {

std::once_flag g_cpu_once;

// Creation and release of the process-wide table race between decoders starting together.
std::mutex g_range_mutex;
int32_t* g_range_table = nullptr;
jpeg_allocator g_range_allocator{};
void* g_range_user = nullptr;

constexpr int32_t kRangeEntries = 2048;
constexpr int32_t kRangeBase = 640;
// Fewer bytes than this left in the block and the kernel may run out inside one block: a block
// of 63 coefficients needs at most 209 bytes, twice that when every byte is stuffed.
constexpr int32_t kDirectRefillThreshold = 512;
constexpr int32_t kDirectCapacity = 4096;

bool IsRestartMarker(int32_t code)
{
    return code >= 0xD0 && code <= 0xD7;
}

// The dispatch level as a decode starts: the set-up routines choose every body by it, so a level
// forced before the start takes effect at that decode and nothing later asks again.
int32_t StartLevel()
{
    return dispatch_level.load(std::memory_order_relaxed);
}

// Asked once: the query runs CPUID.
bool Avx2()
{
    static const bool avx2 = cpu_avx2_usable();
    return avx2;
}

}   // namespace

jpeg_status jpeg_cpu_init()
{
    std::call_once(g_cpu_once, [] { dispatch_init(); });
    return JPEG_OK;
}

jpeg_status jpeg_range_table_create(const jpeg_allocator* allocator, void* user)
{
    const jpeg_allocator pair =
        allocator != nullptr ? *allocator : jpeg_allocator{&jpeg_default_alloc, &jpeg_default_free};
    std::lock_guard<std::mutex> lock(g_range_mutex);
    if (g_range_table != nullptr) {
        return JPEG_OK;
    }
    auto* table = static_cast<int32_t*>(pair.alloc(user, kRangeEntries * sizeof(int32_t)));
    if (table == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    for (int32_t i = 0; i < kRangeEntries; ++i) {
        table[i] = i < 512 ? 0 : i < 768 ? i - 512 : i < 1280 ? 255 : 0;
    }
    g_range_table = table;
    g_range_allocator = pair;
    g_range_user = user;
    return JPEG_OK;
}

void jpeg_range_table_release(const jpeg_allocator*, void*)
{
    std::lock_guard<std::mutex> lock(g_range_mutex);
    if (g_range_table != nullptr) {
        // Freed through the pair that made it, whichever caller releases it.
        g_range_allocator.free(g_range_user, g_range_table);
        g_range_table = nullptr;
    }
}

jpeg_status jpeg_range_table_attach(jpeg_decoder* decoder)
{
    // A table made here outlives the decoder and its allocator: the codec makes it on the C
    // heap, and the codec's release frees it there.
    const jpeg_status status = jpeg_range_table_create(nullptr, nullptr);
    if (status < 1) {
        return status;
    }
    std::lock_guard<std::mutex> lock(g_range_mutex);
    decoder->range_limit = g_range_table + kRangeBase;
    return JPEG_OK;
}

// ---- direct kernel path ----

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
    auto* spec = static_cast<HuffDecodeSpec*>(jpeg_malloc(decoder, static_cast<uint32_t>(size)));
    if (spec == nullptr) {
        return JPEG_ERR_MEMORY;
    }
    *destination = spec;
    return huff_decode_spec_init(counts, values, spec) == kernel_ok ? JPEG_OK : 0;
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

namespace {

using BlockDecoder = dispatch_signature<dispatch_table_huff_decode_block_8x8>::type;

// One block's 16-bit values through `decode` (the block operation or its entry of the level in
// use) with tables already checked; the record's prediction and marker carried across.
[[gnu::always_inline]] inline jpeg_status DecodeWords(jpeg_decoder* decoder, jpeg_direct_state* st, BlockDecoder decode,
                                                      const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                                                      int32_t component, int16_t* block)
{
    if (st->available < kDirectRefillThreshold) {
        jpeg_direct_refill(decoder, kDirectRefillThreshold);
    }
    int32_t* predictions = jpeg_rec_dc_preds(decoder);
    auto prediction = static_cast<int16_t>(predictions[component]);
    uint32_t marker = jpeg_rec_marker(decoder);
    int32_t consumed = 0;
    const kernel_status result =
        decode(st->current, st->available, &consumed, block, &prediction, &marker, dc, ac, st->huff_state);
    predictions[component] = prediction;
    jpeg_rec_set_marker(decoder, marker);
    st->current += consumed;
    st->available -= consumed;
    if (result == kernel_ok) {
        return JPEG_OK;
    }
    st->interval_failed = 1;
    return result == kernel_marker_reached && marker != 0 ? JPEG_ERR_MARKER_IN_DATA : JPEG_ERR_DATA;
}

}   // namespace

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

// ---- transforms and block output ----

namespace {

bool LayoutIs(const jpeg_decoder* decoder, uint8_t first)
{
    return decoder->component_count == 3 && decoder->frame.sampling[0] == first && decoder->frame.sampling[1] == 0x11 &&
           decoder->frame.sampling[2] == 0x11;
}

// One block's top-left n x n values through the range-limit table.
void StoreBlock(const jpeg_decoder* decoder, const int32_t* values, uint8_t* out, int32_t stride, int32_t n)
{
    if (n == 8) {
        decoder->store_block8(values, out, stride);
    } else if (n > 1) {
        decoder->store_block_small(values, out, stride, n);
    } else {
        *out = jpeg_range_sample(decoder->range_limit, values[0]);
    }
}

// Walks one component's blocks of the MCU; returns the entry after them.
jpeg_block_entry* OutputComponent(const jpeg_plane& plane, const jpeg_decoder* decoder, jpeg_block_entry* entry,
                                  int32_t component)
{
    const uint32_t scale = decoder->component_scale[component] != 0 ? decoder->component_scale[component] : 1;
    const auto n = static_cast<int32_t>(8 / scale);
    for (uint32_t by = 0; by < plane.height / 8; ++by) {
        for (uint32_t bx = 0; bx < plane.width / 8; ++bx) {
            uint8_t* out = plane.samples + static_cast<ptrdiff_t>(by) * n * plane.stride + bx * n;
            StoreBlock(decoder, (entry++)->coefficients, out, plane.stride, n);
        }
    }
    return entry;
}

}   // namespace

namespace {

template <typename Value>
void StoreBlock8Plain(const Value* values, uint8_t* out, int32_t stride)
{
    for (int32_t y = 0; y < 8; ++y) {
        const Value* row = values + 8 * y;
        uint8_t* dst = out + static_cast<ptrdiff_t>(y) * stride;
        for (int32_t x = 0; x < 8; ++x) {
            dst[x] = jpeg_range_limit_value(row[x]);
        }
    }
}

}   // namespace

void jpeg_store_block8(const int32_t* values, uint8_t* out, int32_t stride)
{
    StoreBlock8Plain(values, out, stride);
}

void jpeg_store_block8_words(const int16_t* values, uint8_t* out, int32_t stride)
{
    StoreBlock8Plain(values, out, stride);
}

void jpeg_store_block_small(const int32_t* values, uint8_t* out, int32_t stride, int32_t n)
{
    for (int32_t y = 0; y < n; ++y) {
        const int32_t* row = values + 8 * y;
        uint8_t* dst = out + static_cast<ptrdiff_t>(y) * stride;
        for (int32_t x = 0; x < n; ++x) {
            dst[x] = jpeg_range_limit_value(row[x]);
        }
    }
}

bool jpeg_layout_is_444(const jpeg_decoder* decoder)
{
    return LayoutIs(decoder, 0x11);
}

bool jpeg_layout_is_422(const jpeg_decoder* decoder)
{
    return LayoutIs(decoder, 0x21);
}

bool jpeg_layout_is_420(const jpeg_decoder* decoder)
{
    return LayoutIs(decoder, 0x22);
}

bool jpeg_layout_is_411(const jpeg_decoder* decoder)
{
    return LayoutIs(decoder, 0x41);
}

namespace {

using Transform = void (*)(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component);
using WordsTransform = void (*)(const int16_t* words, const int32_t* multiplier, int32_t* out);

// The transform bodies of one dispatch level; all of them give the plain bodies' results.
struct TransformBodies {
    Transform full;
    Transform dequant;
    Transform idct4;
    Transform idct2;
    // The direct path's forms from its 16-bit values (null: none), and its widening.
    WordsTransform words8;
    WordsTransform words4;
    WordsTransform words2;
    WordsTransform widen;
};

TransformBodies TransformBodiesOf(int32_t level)
{
    TransformBodies b{
        &jpeg_idct_8x8_fast, &jpeg_idct_8x8_dequant, &jpeg_idct_4x4, &jpeg_idct_2x2, nullptr, nullptr, nullptr,
        &jpeg_widen_block};
#if defined(__x86_64__) || defined(__i386__)
    if (level >= 5) {
        const bool avx2 = Avx2();
        b.full = avx2 ? &jpeg_idct_8x8_fast_avx2 : &jpeg_idct_8x8_fast_sse41;
        b.dequant = avx2 ? &jpeg_idct_8x8_dequant_avx2 : &jpeg_idct_8x8_dequant_sse41;
        b.idct4 = &jpeg_idct_4x4_sse41;
        b.idct2 = &jpeg_idct_2x2_sse41;
        b.words8 = avx2 ? &jpeg_idct_8x8_words_avx2 : nullptr;
        b.words4 = avx2 ? &jpeg_idct_4x4_words_avx2 : &jpeg_idct_4x4_words_sse41;
        b.words2 = avx2 ? &jpeg_idct_2x2_words_avx2 : &jpeg_idct_2x2_words_sse41;
        b.widen = &jpeg_widen_block_sse41;
    } else if (level >= 2) {
        b.full = &jpeg_idct_8x8_fast_sse2;
        b.dequant = &jpeg_idct_8x8_dequant_sse2;
    }
#else
    (void)level;
#endif
    return b;
}

}   // namespace

jpeg_status jpeg_setup_idct(jpeg_decoder* decoder)
{
    const uint32_t s = decoder->scale_denominator;
    if (s != 1 && s != 2 && s != 4 && s != 8) {
        return JPEG_ERR_PARAMETER;
    }
    for (int32_t c = 0; c < 4; ++c) {
        decoder->transform_words[c] = nullptr;
    }
    if (decoder->direct_mode != 0 && s == 1) {
        for (int32_t c = 0; c < 4; ++c) {
            decoder->transform[c] = &jpeg_direct_transform_block;
            decoder->component_scale[c] = 1;
        }
        return JPEG_OK;
    }
    const bool progressive = decoder->frame_marker == 0xC2;
    const bool is420 = jpeg_layout_is_420(decoder);
    const bool is422 = !is420 && jpeg_layout_is_422(decoder);
    const bool is411 = !is420 && !is422 && jpeg_layout_is_411(decoder);
    // Each component gets the transform that yields the samples it needs at this scale; chroma
    // of subsampled layouts a larger one than the luminance, which saves resampling.
    const TransformBodies bodies = TransformBodiesOf(StartLevel());
    uint32_t chroma = s;
    if (s == 1) {
        chroma = 1;
    } else if (is420 || is422) {
        chroma = s / 2;
    } else if (is411) {
        chroma = s == 2 || s == 4 ? 1 : 2;
    }
    // Reduced sizes on the direct path: the decode unit widens each block for its transform.
    jpeg_direct_state* direct = decoder->direct_mode != 0 ? decoder->direct : nullptr;
    for (int32_t c = 0; c < 4; ++c) {
        const uint32_t scale = (c == 1 || c == 2) && (is420 || is422 || is411) ? chroma : s;
        decoder->component_scale[c] = scale;
        // Progressive coefficients stay quantised until their transform.
        decoder->transform[c] = progressive  ? bodies.dequant
                                : scale == 1 ? bodies.full
                                : scale == 2 ? bodies.idct4
                                : scale == 4 ? bodies.idct2
                                             : &jpeg_idct_1x1;
        if (direct != nullptr) {
            decoder->transform_words[c] = scale == 1   ? bodies.words8
                                          : scale == 2 ? bodies.words4
                                          : scale == 4 ? bodies.words2
                                                       : nullptr;
            direct->widen[c] = scale == 8 ? &jpeg_widen_dc : bodies.widen;
        }
    }
    if (s != 1) {
        decoder->reduced_h[0] = 1;
        decoder->reduced_v[0] = 1;
        for (int32_t c = 1; c < 3; ++c) {
            if (is420 || jpeg_layout_is_444(decoder)) {
                decoder->reduced_h[c] = 1;
                decoder->reduced_v[c] = 1;
            } else if (is422) {
                decoder->reduced_h[c] = 1;
                decoder->reduced_v[c] = 2;
            } else if (is411) {
                decoder->reduced_h[c] = s == 2 ? 2 : 1;
                decoder->reduced_v[c] = s == 2 ? 2 : 4;
            }
        }
    }
    return JPEG_OK;
}

void jpeg_setup_decode_output(jpeg_decoder* decoder)
{
    decoder->store_block8 = &jpeg_store_block8;
    decoder->store_block8_words = &jpeg_store_block8_words;
    decoder->store_block_small = &jpeg_store_block_small;
#if defined(__x86_64__) || defined(__i386__)
    if (StartLevel() >= 2) {
        decoder->store_block8 = &jpeg_store_block8_sse2;
        decoder->store_block8_words = &jpeg_store_block8_words_sse2;
        decoder->store_block_small = &jpeg_store_block_small_sse2;
    }
#endif
    const int32_t nf = decoder->component_count;
    if (nf == 1) {
        decoder->output_blocks = decoder->scale_denominator == 1 ? &jpeg_output_block_single : &jpeg_output_blocks;
    } else if (nf == 3 && decoder->luminance_only != 0) {
        decoder->output_blocks = &jpeg_output_blocks_first;
    } else {
        // Two components with a grey output take the general routine too.
        decoder->output_blocks = &jpeg_output_blocks;
    }
}

void jpeg_output_blocks(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries)
{
    jpeg_block_entry* entry = entries;
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        if (decoder->selected_component >= 0 && decoder->selected_component != c) {
            entry += decoder->component_blocks[c];
            continue;
        }
        entry = OutputComponent(planes[c], decoder, entry, c);
    }
}

void jpeg_output_blocks_first(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries)
{
    OutputComponent(planes[0], decoder, entries, 0);
}

void jpeg_output_block_single(jpeg_plane* planes, jpeg_decoder* decoder, jpeg_block_entry* entries)
{
    StoreBlock(decoder, entries[0].coefficients, planes[0].samples, planes[0].stride, 8);
}

// ---- line buffers and row output ----

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

// ---- resampling ----

namespace {

// Eight samples doubled into sixteen, right to left within the row (in place when to == from).
void DoubleRow(const uint8_t* from, uint8_t* to, uint32_t count)
{
    uint32_t i = count;
    while (std::endian::native == std::endian::little && i >= 8) {
        i -= 8;
        uint64_t word = 0;
        std::memcpy(&word, from + i, 8);
        uint64_t low = word & 0xFFFFFFFFu;
        uint64_t high = word >> 32;
        low = (low | low << 16) & 0x0000FFFF0000FFFFull;
        low = (low | low << 8) & 0x00FF00FF00FF00FFull;
        high = (high | high << 16) & 0x0000FFFF0000FFFFull;
        high = (high | high << 8) & 0x00FF00FF00FF00FFull;
        low |= low << 8;
        high |= high << 8;
        std::memcpy(to + 2 * i, &low, 8);
        std::memcpy(to + 2 * i + 8, &high, 8);
    }
    while (i-- > 0) {
        to[2 * i + 1] = from[i];
        to[2 * i] = from[i];
    }
}

}   // namespace

void jpeg_upsample_h(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t, uint32_t width, uint32_t)
{
    const uint32_t source_width = source->width;
    const uint32_t height = source->height;
    const int32_t stride = source->stride;
    uint8_t* samples = source->samples;
    if (source_width == 0 || h == 0) {
        return;
    }
    // From the last row and the last position down, so that the wider rows may overwrite the
    // narrower ones in the same memory.
    for (uint32_t r = height; r-- > 0;) {
        const uint8_t* from = samples + static_cast<ptrdiff_t>(r) * stride;
        uint8_t* to = samples + static_cast<ptrdiff_t>(r) * width;
        if (h == 2 && width == 2 * source_width) {
            DoubleRow(from, to, source_width);
            continue;
        }
        // Each source sample fills h positions, counted from the row's end.
        uint32_t x = width;
        for (uint32_t i = source_width; i-- > 0 && x > 0;) {
            for (uint32_t k = 0; k < h && x > 0; ++k) {
                to[--x] = from[i];
            }
        }
        while (x > 0) {
            to[--x] = from[0];
        }
    }
    target->samples = samples;
    target->width = width;
    target->height = height;
    target->stride = static_cast<int32_t>(width);
}

void jpeg_upsample_v(jpeg_plane* source, jpeg_plane* target, uint32_t, uint32_t v, uint32_t, uint32_t lines)
{
    const uint32_t height = source->height;
    const int32_t stride = source->stride;
    uint8_t* samples = source->samples;
    const auto row_bytes = static_cast<size_t>(stride);
    if (v == 0) {
        return;
    }
    for (uint32_t r = height; r-- > 1;) {
        for (uint32_t k = v; k-- > 0;) {
            const uint32_t to = r * v + k;
            if (to < lines) {
                std::memcpy(samples + static_cast<ptrdiff_t>(to) * stride, samples + static_cast<ptrdiff_t>(r) * stride,
                            row_bytes);
            }
        }
    }
    for (uint32_t k = 1; k < v && k < lines; ++k) {
        std::memcpy(samples + static_cast<ptrdiff_t>(k) * stride, samples, row_bytes);
    }
    target->samples = samples;
    target->width = source->width;
    target->height = lines;
    target->stride = stride;
}

void jpeg_upsample_hv(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines)
{
    jpeg_upsample_h(source, target, h, v, width, lines);
    jpeg_upsample_v(target, target, h, v, width, lines);
}

void jpeg_setup_resample(jpeg_decoder* decoder)
{
    const uint32_t s = decoder->scale_denominator != 0 ? decoder->scale_denominator : 1;
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        const uint32_t rh = decoder->ratio_h[c];
        const uint32_t rv = decoder->ratio_v[c];
        if (s != 1) {
            decoder->resample[c] = nullptr;
            if (c == 1 || c == 2) {
                if (jpeg_layout_is_411(decoder)) {
                    decoder->resample[c] = s == 2 ? &jpeg_downsample_v_upsample_h : &jpeg_downsample_v;
                } else if (jpeg_layout_is_422(decoder)) {
                    decoder->resample[c] = &jpeg_downsample_v;
                }
            }
        } else {
            if (rh <= 1 && rv <= 1) {
                decoder->resample[c] = nullptr;
            } else if (rh == rv) {
                decoder->resample[c] = &jpeg_upsample_hv;
            } else if (rv <= 1) {
                decoder->resample[c] = &jpeg_upsample_h;
            } else if (rh <= 1) {
                decoder->resample[c] = &jpeg_upsample_v;
            } else {
                decoder->resample[c] = &jpeg_upsample_hv;
            }
        }
        decoder->resample_lines[c] = decoder->line_buffers[c].rows / s;
        decoder->resample_width[c] = decoder->line_buffers[c].stride / s;
    }
}

// ---- row decoders ----

namespace {

// Restart intervals lost between the last RSTn met and the one found.
uint32_t LostIntervals(uint8_t before, uint8_t after)
{
    return static_cast<uint32_t>((after & 7) - (before & 7) - 1) & 7u;
}

}   // namespace

namespace {

// Whether the direct path's MCUs may skip the block entries: each block decoded, transformed and
// stored in its place at once.
bool DirectMcusApply(const jpeg_decoder* decoder)
{
    if (decoder->direct_mode == 0 || decoder->decode_unit != &jpeg_direct_decode_block ||
        decoder->scale_denominator > 1 ||
        (decoder->output_blocks != &jpeg_output_blocks && decoder->output_blocks != &jpeg_output_block_single)) {
        return false;
    }
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        if (decoder->transform[c] != &jpeg_direct_transform_block ||
            decoder->mcu_width[c] / 8 * (decoder->mcu_height[c] / 8) != decoder->component_blocks[c]) {
            return false;
        }
    }
    return true;
}

using WordStore = void (*)(const int16_t* values, uint8_t* out, int32_t stride);

// One MCU along the direct path; false when a block failed, its samples then set back to the
// 128 of the cleared row, as if nothing had been stored.
bool DirectMcu(jpeg_decoder* decoder, const jpeg_plane* at, WordStore store)
{
    alignas(16) int16_t coefficients[64];
    alignas(16) int16_t samples[64];
    jpeg_block_entry entry{reinterpret_cast<int32_t*>(coefficients), 0, 0};
    const int32_t nf = jpeg_rec_component_count(decoder);
    const int32_t selected = jpeg_rec_selected_component(decoder);
    for (int32_t c = 0; c < nf; ++c) {
        const jpeg_plane& plane = at[c];
        const bool stored = plane.samples != nullptr && (selected < 0 || selected == c);
        const uint16_t* quant = jpeg_rec_direct_state(decoder)->quant + 64 * jpeg_rec_quant_selectors(decoder)[c];
        for (uint32_t by = 0; by < decoder->mcu_height[c] / 8; ++by) {
            for (uint32_t bx = 0; bx < decoder->mcu_width[c] / 8; ++bx) {
                if (jpeg_direct_decode_block(decoder, &entry, c) < 1) {
                    for (int32_t k = 0; k <= c; ++k) {
                        if (at[k].samples == nullptr) {
                            continue;
                        }
                        for (uint32_t y = 0; y < decoder->mcu_height[k]; ++y) {
                            std::memset(at[k].samples + static_cast<ptrdiff_t>(y) * at[k].stride, 128,
                                        decoder->mcu_width[k]);
                        }
                    }
                    return false;
                }
                dequant_idct_8x8(coefficients, samples, quant);
                if (stored) {
                    store(samples, plane.samples + static_cast<ptrdiff_t>(8 * by) * plane.stride + 8 * bx,
                          plane.stride);
                }
            }
        }
    }
    return true;
}

using SmallStore = void (*)(const int32_t* values, uint8_t* out, int32_t stride, int32_t n);
using BlockStore = void (*)(const int32_t* values, uint8_t* out, int32_t stride);

// What one component's blocks need along the reduced-size MCUs of the direct path, set once a row.
struct ReducedPart {
    const HuffDecodeSpec* dc;
    const HuffDecodeSpec* ac;
    const int32_t* multiplier;
    WordsTransform transform;   // null for the 1 x 1 one
    SmallStore store;           // the 4 x 4 and 2 x 2 transforms' stores; null for the others
    int32_t n;                  // samples a side of a stored block
    uint32_t blocks_wide;
    uint32_t blocks_high;
    uint32_t mcu_wide;   // the component's samples of one MCU at its scale
    uint32_t mcu_high;
};

struct ReducedPlan {
    BlockDecoder decode;
    BlockStore store8;
    const int32_t* range_limit;
    int32_t components;
    ReducedPart parts[4];
};

// Whether reduced-size MCUs of the direct path may skip the block entries: each component with
// a transform that reads the 16-bit values itself or the 1 x 1 one, the MCU's blocks its own, its
// tables there. Fills the plan when so.
bool ReducedMcusApply(const jpeg_decoder* decoder, ReducedPlan* plan)
{
    if (decoder->direct_mode == 0 || decoder->decode_unit != &jpeg_direct_decode_block_scaled ||
        decoder->output_blocks != &jpeg_output_blocks || jpeg_rec_selected_component(decoder) >= 0) {
        return false;
    }
    const jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    const int32_t nf = jpeg_rec_component_count(decoder);
    for (int32_t c = 0; c < nf; ++c) {
        const uint32_t dc = jpeg_rec_dc_selectors(decoder)[c];
        const uint32_t ac = jpeg_rec_ac_selectors(decoder)[c];
        const WordsTransform words = decoder->transform_words[c];
        if ((words == nullptr && decoder->transform[c] != &jpeg_idct_1x1) ||
            decoder->mcu_width[c] / 8 * (decoder->mcu_height[c] / 8) != decoder->component_blocks[c] ||
            decoder->line_buffers[c].base == nullptr || dc >= static_cast<uint32_t>(jpeg_rec_dc_count(decoder)) ||
            ac >= static_cast<uint32_t>(jpeg_rec_ac_count(decoder)) || st->dc_specs[dc] == nullptr ||
            st->ac_specs[ac] == nullptr) {
            return false;
        }
        const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
        plan->parts[c] = ReducedPart{st->dc_specs[dc],
                                     st->ac_specs[ac],
                                     st->multipliers[c],
                                     words,
                                     scale > 1 ? decoder->store_block_small : nullptr,
                                     static_cast<int32_t>(8 / scale),
                                     decoder->mcu_width[c] / 8,
                                     decoder->mcu_height[c] / 8,
                                     decoder->mcu_width[c] / scale,
                                     decoder->mcu_height[c] / scale};
    }
    plan->decode = st->decode_block;
    plan->store8 = decoder->store_block8;
    plan->range_limit = decoder->range_limit;
    plan->components = nf;
    return true;
}

// One reduced-size MCU along the direct path: each block decoded, transformed and stored in its
// place at once. False when a block failed, the MCU's samples then set back to the 128 of the
// cleared row, as if nothing had been stored.
bool ReducedMcu(jpeg_decoder* decoder, const jpeg_plane* at, const ReducedPlan& plan)
{
    alignas(32) int32_t block[64];
    auto* values = reinterpret_cast<int16_t*>(block);
    jpeg_direct_state* st = jpeg_rec_direct_state(decoder);
    for (int32_t c = 0; c < plan.components; ++c) {
        const jpeg_plane& plane = at[c];
        const ReducedPart& part = plan.parts[c];
        const int32_t n = part.n;
        for (uint32_t by = 0; by < part.blocks_high; ++by) {
            uint8_t* row = plane.samples + static_cast<ptrdiff_t>(by) * n * plane.stride;
            for (uint32_t bx = 0; bx < part.blocks_wide; ++bx) {
                // After a failure the bit position inside the interval is lost: the rest waits for the restart.
                if (st->interval_failed != 0 ||
                    DecodeWords(decoder, st, plan.decode, part.dc, part.ac, c, values) < 1) {
                    for (int32_t k = 0; k <= c; ++k) {
                        for (uint32_t y = 0; y < plan.parts[k].mcu_high; ++y) {
                            std::memset(at[k].samples + static_cast<ptrdiff_t>(y) * at[k].stride, 128,
                                        plan.parts[k].mcu_wide);
                        }
                    }
                    return false;
                }
                // The products wrap as the buffered decoder's do.
                const auto dc =
                    static_cast<int32_t>(static_cast<uint32_t>(values[0]) * static_cast<uint32_t>(part.multiplier[0]));
                if (part.transform == nullptr) {
                    // The 1 x 1 transform of the dequantised DC value.
                    row[bx] = jpeg_range_sample(plan.range_limit, dc >> 3);
                } else if (n < 8 && st->huff_state->blockEnd <= 1) {
                    // No AC value: the 4 x 4 and 2 x 2 transforms give the flat DC result,
                    // (4 dc + 16) >> 5 wrapping as their lanes do, at every sample.
                    const uint8_t sample =
                        jpeg_range_limit_value(static_cast<int32_t>((static_cast<uint32_t>(dc) << 2) + 16u) >> 5);
                    const uint32_t four = sample * 0x01010101u;
                    uint8_t* out = row + bx * n;
                    for (int32_t y = 0; y < n; ++y, out += plane.stride) {
                        if (n == 4) {
                            std::memcpy(out, &four, 4);
                        } else {
                            const auto two = static_cast<uint16_t>(four);
                            std::memcpy(out, &two, 2);
                        }
                    }
                } else {
                    part.transform(values, part.multiplier, block);
                    if (part.store != nullptr) {
                        part.store(block, row + bx * n, plane.stride, n);
                    } else {
                        plan.store8(block, row + bx * n, plane.stride);
                    }
                }
            }
        }
    }
    return true;
}

}   // namespace

jpeg_status jpeg_decode_sequential_row(jpeg_decoder* decoder)
{
    const bool direct_mcus = DirectMcusApply(decoder);
    const int32_t nf = decoder->component_count;
    jpeg_plane planes[4]{};
    for (int32_t c = 0; c < nf; ++c) {
        const jpeg_line_buffer& buffer = decoder->line_buffers[c];
        planes[c].width = decoder->mcu_width[c];
        planes[c].height = decoder->mcu_height[c];
        planes[c].stride = static_cast<int32_t>(buffer.stride);
        planes[c].samples = buffer.base;
    }
    ReducedPlan plan{};
    const bool reduced_mcus = !direct_mcus && ReducedMcusApply(decoder, &plan);
    const int32_t per_row = decoder->mcus_per_row;
    int32_t mcu = 0;
    if (decoder->mcus_to_skip > 0) {
        if (decoder->mcus_to_skip <= per_row) {
            mcu = decoder->mcus_to_skip;
            decoder->mcus_to_skip = 0;
        } else {
            mcu = per_row;
            decoder->mcus_to_skip -= per_row;
        }
    }
    jpeg_status result = JPEG_OK;
    const uint32_t interval = decoder->restart_interval;
    while (mcu < per_row) {
        if (direct_mcus) {
            jpeg_plane at[4];
            for (int32_t c = 0; c < nf; ++c) {
                at[c] = planes[c];
                if (at[c].samples != nullptr) {
                    at[c].samples += static_cast<ptrdiff_t>(mcu) * decoder->mcu_width[c];
                }
            }
            if (!DirectMcu(decoder, at, decoder->store_block8_words)) {
                result = JPEG_WARN_DAMAGED_DATA;
            }
        } else if (reduced_mcus) {
            jpeg_plane at[4];
            for (int32_t c = 0; c < nf; ++c) {
                const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
                at[c] = planes[c];
                at[c].samples += static_cast<ptrdiff_t>(mcu) * (decoder->mcu_width[c] / scale);
            }
            if (!ReducedMcu(decoder, at, plan)) {
                result = JPEG_WARN_DAMAGED_DATA;
            }
        }
        jpeg_block_entry* entry = decoder->block_entries;
        bool decoded = !direct_mcus && !reduced_mcus;
        for (int32_t c = 0; c < nf && decoded; ++c) {
            const WordsTransform words = decoder->transform_words[c];
            for (uint32_t b = 0; b < decoder->component_blocks[c]; ++b, ++entry) {
                const jpeg_status status = words != nullptr ? jpeg_direct_decode_block(decoder, entry, c)
                                                            : decoder->decode_unit(decoder, entry, c);
                if (status < 1) {
                    decoded = false;
                    result = JPEG_WARN_DAMAGED_DATA;
                    break;
                }
                if (words != nullptr) {
                    words(reinterpret_cast<const int16_t*>(entry->coefficients), decoder->multipliers[c].values,
                          entry->coefficients);
                } else {
                    decoder->transform[c](decoder, entry, c);
                }
            }
        }
        if (decoded) {
            jpeg_plane at[4];
            for (int32_t c = 0; c < nf; ++c) {
                const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
                at[c] = planes[c];
                if (at[c].samples != nullptr) {
                    at[c].samples += static_cast<ptrdiff_t>(mcu) * (decoder->mcu_width[c] / scale);
                }
            }
            decoder->output_blocks(at, decoder, decoder->block_entries);
        }
        ++mcu;
        if (interval == 0 || static_cast<uint32_t>(++decoder->mcus_since_restart) < interval) {
            continue;
        }
        // After the image's last MCU nothing more is needed: data that ends there is whole.
        if (mcu == per_row && decoder->mcu_row_counter + 1 >= decoder->mcu_rows) {
            break;
        }
        decoder->mcus_since_restart = 0;
        decoder->restart(decoder);
        if (decoder->end_of_segment(decoder) >= 1) {
            continue;
        }
        result = JPEG_WARN_DAMAGED_DATA;
        const uint8_t before = decoder->end_of_scan_marker;
        if (decoder->skip_restarts(decoder, 1) < 1) {
            break;
        }
        const int64_t lost = static_cast<int64_t>(LostIntervals(before, decoder->end_of_scan_marker)) * interval;
        const int64_t left = per_row - mcu;
        if (lost <= left) {
            mcu += static_cast<int32_t>(lost);
        } else {
            decoder->mcus_to_skip = static_cast<int32_t>(lost - left);
            mcu = per_row;
        }
    }
    const uint32_t s = decoder->scale_denominator != 0 ? decoder->scale_denominator : 1;
    for (int32_t c = 0; c < nf; ++c) {
        if (decoder->resample[c] == nullptr || decoder->line_buffers[c].base == nullptr) {
            continue;
        }
        const uint32_t stride = decoder->line_buffers[c].stride;
        if (s == 1) {
            jpeg_plane plane{stride / decoder->ratio_h[c], decoder->mcu_height[c], static_cast<int32_t>(stride),
                             decoder->line_buffers[c].base};
            decoder->resample[c](&plane, &plane, decoder->ratio_h[c], decoder->ratio_v[c], decoder->resample_width[c],
                                 decoder->resample_lines[c]);
        } else {
            const uint32_t h = decoder->reduced_h[c] != 0 ? decoder->reduced_h[c] : 1;
            const uint32_t v = decoder->reduced_v[c] != 0 ? decoder->reduced_v[c] : 1;
            const uint32_t scale = decoder->component_scale[c] != 0 ? decoder->component_scale[c] : 1;
            jpeg_plane plane{stride / s / h, decoder->mcu_height[c] / scale, static_cast<int32_t>(stride),
                             decoder->line_buffers[c].base};
            decoder->resample[c](&plane, &plane, h, v, decoder->resample_width[c], decoder->resample_lines[c]);
        }
    }
    ++decoder->mcu_row_counter;
    return result;
}

// ---- decode start and rows ----

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
