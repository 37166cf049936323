#include <tmmintrin.h>

#include "huffman/huff_decode.h"
#include "huffman/huff_fast_body.h"

namespace {

// Levels 4 and 5: one byte shuffle reverses the group.
struct ShuffleOrder {
    static uint32_t load8(const uint8_t* p, uint64_t* v)
    {
        const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        const uint32_t ff = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, _mm_set1_epi8(-1)))) & 0xFF;
        const __m128i reversed =
            _mm_shuffle_epi8(group, _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(v), reversed);
        return ff;
    }
};

}   // namespace

template <int Level>
kernel_status DecodeHuffman8x8Simd(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                   int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc,
                                   const HuffDecodeSpec* ac, HuffDecodeState* state)
{
    return block_entry<ShuffleOrder, Level>(data, length, position, block, last_dc, marker, dc, ac, state);
}

template <int Level>
int32_t DecodeHuffman8x8Fast(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                             uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                             HuffDecodeState* state)
{
    return fast_block<ShuffleOrder>(data, length, position, block, last_dc, marker, dc, ac, state);
}

template <int Level>
int32_t DecodeHuffmanLosslessRowFast(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                     int32_t samples, int32_t components, uint32_t* marker,
                                     const HuffDecodeSpec* const* specs, HuffDecodeState* state)
{
    return fast_row<ShuffleOrder>(data, length, position, rows, samples, components, marker, specs, state);
}

template int32_t DecodeHuffman8x8Fast<4>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                         const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template int32_t DecodeHuffman8x8Fast<5>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                         const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template int32_t DecodeHuffmanLosslessRowFast<4>(const uint8_t*, int32_t, int32_t*, uint16_t* const*, int32_t, int32_t,
                                                 uint32_t*, const HuffDecodeSpec* const*, HuffDecodeState*);
template int32_t DecodeHuffmanLosslessRowFast<5>(const uint8_t*, int32_t, int32_t*, uint16_t* const*, int32_t, int32_t,
                                                 uint32_t*, const HuffDecodeSpec* const*, HuffDecodeState*);
template kernel_status DecodeHuffman8x8Simd<4>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                               const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffman8x8Simd<5>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                               const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
