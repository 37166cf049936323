#include <emmintrin.h>

#include <cstring>

#include "huffman/huff_decode.h"
#include "huffman/huff_fast_body.h"

namespace {

// Levels 1 to 3: two 32-bit byte swaps, and one compare against eight 0xFF bytes.
struct SwapOrder {
    static uint32_t load8(const uint8_t* p, uint64_t* v)
    {
        alignas(16) static constexpr uint8_t kAllFF[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        const __m128i group = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        const __m128i all = _mm_load_si128(reinterpret_cast<const __m128i*>(kAllFF));
        const uint32_t ff = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(group, all))) & 0xFF;
        uint32_t hi, lo;
        std::memcpy(&hi, p, 4);
        std::memcpy(&lo, p + 4, 4);
        *v = uint64_t{__builtin_bswap32(hi)} << 32 | __builtin_bswap32(lo);
        return ff;
    }
};

}   // namespace

template <int Level>
kernel_status DecodeHuffman8x8Simd(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                   int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc,
                                   const HuffDecodeSpec* ac, HuffDecodeState* state)
{
    return block_entry<SwapOrder, Level>(data, length, position, block, last_dc, marker, dc, ac, state);
}

template <int Level>
int32_t DecodeHuffman8x8Fast(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                             uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                             HuffDecodeState* state)
{
    return fast_block<SwapOrder>(data, length, position, block, last_dc, marker, dc, ac, state);
}

template int32_t DecodeHuffman8x8Fast<1>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                         const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template int32_t DecodeHuffman8x8Fast<2>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                         const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template int32_t DecodeHuffman8x8Fast<3>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                         const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffman8x8Simd<1>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                               const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffman8x8Simd<2>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                               const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffman8x8Simd<3>(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*,
                                               const HuffDecodeSpec*, const HuffDecodeSpec*, HuffDecodeState*);
