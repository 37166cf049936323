#pragma once

// What the parts of decoding share beyond the codec's interface: the dispatch level as a decode
// starts, the body types the set-up routines choose, and the direct path's block decoding.

#include <atomic>

#include "jpeg/jpegdecode.h"
#include "jpeg/jpegrecord.h"
#include "processor/cpu_query.h"
#include "processor/kernel_dispatch.h"

// The dispatch level as a decode starts: the set-up routines choose every body by it, so a level
// forced before the start takes effect at that decode and nothing later asks again.
inline int32_t StartLevel()
{
    return dispatch_level.load(std::memory_order_relaxed);
}

// Asked once: the query runs CPUID.
inline bool Avx2()
{
    static const bool avx2 = cpu_avx2_usable();
    return avx2;
}

using WordsTransform = void (*)(const int16_t* words, const int32_t* multiplier, int32_t* out);
using WordsStore = void (*)(const int16_t* words, const int32_t* multiplier, uint8_t* samples, int32_t stride);

// Fewer bytes than this left in the block and the kernel may run out inside one block: a block
// of 63 coefficients needs at most 209 bytes, twice that when every byte is stuffed.
constexpr int32_t kDirectRefillThreshold = 512;

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
