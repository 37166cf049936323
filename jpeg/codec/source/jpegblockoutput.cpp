// Transforms chosen for a decode, and block output through the range limit.

#include "jpegdecode_internal.h"

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

namespace {

template <int32_t n>
void WordsStorePlain(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    alignas(16) int32_t block[64];
    jpeg_widen_block(words, multiplier, block);
    jpeg_block_entry entry{block, 0, 0};
    if constexpr (n == 4) {
        jpeg_idct_4x4(nullptr, &entry, 0);
    } else {
        jpeg_idct_2x2(nullptr, &entry, 0);
    }
    jpeg_store_block_small(block, samples, stride, n);
}

// Values at natural 0, 1 and 8 only: the passes shrink to a few products, wrapping and taking
// the shortcuts as the full bodies do.
template <int32_t n>
void LowStorePlain(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    using u32 = uint32_t;
    const auto S = [](u32 v) { return static_cast<int32_t>(v); };
    const u32 c0 = static_cast<u32>(words[0]) * static_cast<u32>(multiplier[0]);
    const u32 c1 = static_cast<u32>(words[1]) * static_cast<u32>(multiplier[1]);
    const u32 c8 = static_cast<u32>(words[8]) * static_cast<u32>(multiplier[8]);
    // Column 0 after the first pass; column 1 is c1 * 4 in every row, the others 0. The row pass
    // then adds d[k] to row r's scaled column value at output k.
    u32 column[n];
    u32 d[n];
    const u32 w1 = c1 * 4u;
    if constexpr (n == 4) {
        const u32 a0 = c0 * 16384u + 2048u;
        const u32 p = c8 * 8697u;
        const u32 q = c8 * 20995u;
        const u32 sums[4] = {a0 + q, a0 + p, a0 - p, a0 - q};
        for (int32_t k = 0; k < 4; ++k) {
            column[k] = c8 == 0 ? c0 * 4u : static_cast<u32>(S(sums[k]) >> 12);
        }
        d[0] = w1 * 20995u;
        d[1] = w1 * 8697u;
        d[2] = 0u - d[1];
        d[3] = 0u - d[0];
    } else {
        const u32 a = c0 * 32768u + 4096u;
        const u32 p = c8 * 29692u;
        column[0] = c8 == 0 ? c0 * 4u : static_cast<u32>(S(a + p) >> 13);
        column[1] = c8 == 0 ? c0 * 4u : static_cast<u32>(S(a - p) >> 13);
        d[0] = w1 * 29692u;
        d[1] = 0u - d[0];
    }
    constexpr int32_t shift = n == 4 ? 19 : 20;
    for (int32_t r = 0; r < n; ++r) {
        uint8_t* out = samples + static_cast<ptrdiff_t>(r) * stride;
        for (int32_t k = 0; k < n; ++k) {
            out[k] =
                jpeg_range_limit_value(w1 == 0 ? S(column[r] + 16u) >> 5
                                               : S((column[r] << (shift - 5)) + d[k] + (1u << (shift - 1))) >> shift);
        }
    }
}

}   // namespace

void jpeg_idct_4x4_low_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    LowStorePlain<4>(words, multiplier, samples, stride);
}

void jpeg_idct_2x2_low_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    LowStorePlain<2>(words, multiplier, samples, stride);
}

void jpeg_idct_4x4_words_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    WordsStorePlain<4>(words, multiplier, samples, stride);
}

void jpeg_idct_2x2_words_store(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride)
{
    WordsStorePlain<2>(words, multiplier, samples, stride);
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
    WordsStore store4;
    WordsStore store2;
    // For blocks with values at natural 0, 1 and 8 only.
    WordsStore low4;
    WordsStore low2;
};

TransformBodies TransformBodiesOf(int32_t level)
{
    TransformBodies b{&jpeg_idct_8x8_fast,
                      &jpeg_idct_8x8_dequant,
                      &jpeg_idct_4x4,
                      &jpeg_idct_2x2,
                      nullptr,
                      nullptr,
                      nullptr,
                      &jpeg_widen_block,
                      &jpeg_idct_4x4_words_store,
                      &jpeg_idct_2x2_words_store,
                      &jpeg_idct_4x4_low_store,
                      &jpeg_idct_2x2_low_store};
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
        b.store4 = avx2 ? &jpeg_idct_4x4_words_store_avx2 : &jpeg_idct_4x4_words_store_sse41;
        b.store2 = avx2 ? &jpeg_idct_2x2_words_store_avx2 : &jpeg_idct_2x2_words_store_sse41;
        b.low4 = &jpeg_idct_4x4_low_store_sse41;
        b.low2 = &jpeg_idct_2x2_low_store_sse41;
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
            direct->words_store[c] = scale == 2 ? bodies.store4 : scale == 4 ? bodies.store2 : nullptr;
            direct->low_store[c] = scale == 2 ? bodies.low4 : scale == 4 ? bodies.low2 : nullptr;
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
