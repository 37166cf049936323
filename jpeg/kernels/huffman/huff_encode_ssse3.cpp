#include <tmmintrin.h>

#include <cstring>

#include "huffman/huff_encode.h"

namespace {

int32_t category(uint32_t magnitude)
{
    return magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
}

// The top n bytes of w, most significant first, each 0xFF followed by 0x00; false when the
// buffer has no byte left for the next byte or stuffed zero.
bool write_stuffed(uint64_t w, int32_t n, uint8_t* buf, int32_t bufLen, int32_t* p)
{
    for (int32_t i = 0; i < n; ++i) {
        if (*p >= bufLen)
            return false;
        const uint8_t byte = static_cast<uint8_t>(w >> (56 - 8 * i));
        buf[(*p)++] = byte;
        if (byte == 0xFF) {
            if (*p >= bufLen)
                return false;
            buf[(*p)++] = 0;
        }
    }
    return true;
}

// Reached with more than 48 bits in use: 6 to 8 whole bytes leave.
bool flush_row(uint64_t acc, int32_t* free, uint8_t* buf, int32_t bufLen, int32_t* p)
{
    if (bufLen - *p <= 0)
        return false;
    const uint64_t w = acc << *free;
    const int32_t n = (64 - *free) / 8;
    *free += 8 * n;
    const __m128i reversed = _mm_shuffle_epi8(_mm_cvtsi64_si128(static_cast<int64_t>(w)),
                                              _mm_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, -1, -1, -1, -1, -1, -1, -1, -1));
    if ((_mm_movemask_epi8(_mm_cmpeq_epi8(reversed, _mm_set1_epi8(-1))) & 0xFF) == 0) {
        if (bufLen - *p < n)
            return false;
        alignas(16) uint8_t bytes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(bytes), reversed);
        std::memcpy(buf + *p, bytes, static_cast<size_t>(n));
        *p += n;
        return true;
    }
    return write_stuffed(w, n, buf, bufLen, p);
}

int32_t encode_row(const int16_t* const* rows, int32_t width, int32_t componentCount, uint8_t* buf, int32_t bufLen,
                   int32_t* pos, const HuffEncodeSpec* const* specs, HuffEncodeState* state)
{
    if (componentCount < 1 || componentCount > 4)
        return 1;
    const int32_t pending = state->bitCount;
    uint64_t acc = uint64_t{state->bitAcc} >> (24 - pending);
    int32_t free = 64 - pending;
    int32_t p = *pos;
    for (int32_t x = 0; x < width; ++x) {
        for (int32_t i = 0; i < componentCount; ++i) {
            const int32_t v = rows[i][x];
            const int32_t c = category(static_cast<uint32_t>(v < 0 ? -v : v));
            const uint32_t e = specs[i]->entry[c];
            const uint32_t len = e >> 16;
            if (len == 0 || len > 16)
                return kernel_bad_huffman_table;
            if (free < static_cast<int32_t>(len) && !flush_row(acc, &free, buf, bufLen, &p))
                return kernel_input_exhausted;
            acc = acc << len | (e & ((1u << len) - 1));
            free -= static_cast<int32_t>(len);
            if (c == 16)
                continue;
            if (free < c && !flush_row(acc, &free, buf, bufLen, &p))
                return kernel_input_exhausted;
            acc = acc << c | (static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << c) - 1));
            free -= c;
        }
    }
    const int32_t n = (64 - free) / 8;
    if (n > 0) {
        if (bufLen - p <= 0)
            return kernel_input_exhausted;
        if (!write_stuffed(acc << free, n, buf, bufLen, &p))
            return kernel_input_exhausted;
        free += 8 * n;
    }
    const int32_t k = 64 - free;
    *pos = p;
    state->bitAcc = static_cast<uint32_t>(acc & ((1u << k) - 1)) << (24 - k);
    state->bitCount = k;
    return 0;
}

}   // namespace

template <int Level>
int32_t EncodeHuffmanLosslessRowSsse3(const int16_t* const* rows, int32_t width, int32_t componentCount, uint8_t* buf,
                                      int32_t bufLen, int32_t* pos, const HuffEncodeSpec* const* specs,
                                      HuffEncodeState* state)
{
    return encode_row(rows, width, componentCount, buf, bufLen, pos, specs, state);
}

template int32_t EncodeHuffmanLosslessRowSsse3<4>(const int16_t* const*, int32_t, int32_t, uint8_t*, int32_t, int32_t*,
                                                  const HuffEncodeSpec* const*, HuffEncodeState*);
template int32_t EncodeHuffmanLosslessRowSsse3<5>(const int16_t* const*, int32_t, int32_t, uint8_t*, int32_t, int32_t*,
                                                  const HuffEncodeSpec* const*, HuffEncodeState*);
