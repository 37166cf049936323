#include <emmintrin.h>

#include <cstring>

#include "huffman/huff_encode.h"

namespace {

alignas(16) constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                             12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                             35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                             58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Bit k set for zigzag position k, per row of natural order and that row's 8-bit mask.
struct ZigzagBits {
    uint64_t bits[8][256];
};

constexpr ZigzagBits make_zigzag_bits()
{
    ZigzagBits t{};
    uint8_t position[64] = {};
    for (int k = 0; k < 64; ++k)
        position[kZigzag[k]] = uint8_t(k);
    for (int row = 0; row < 8; ++row)
        for (int m = 0; m < 256; ++m)
            for (int col = 0; col < 8; ++col)
                if (m >> col & 1)
                    t.bits[row][m] |= uint64_t{1} << position[8 * row + col];
    return t;
}

alignas(64) constexpr ZigzagBits kZigzagBits = make_zigzag_bits();

int32_t category(uint32_t magnitude)
{
    return magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
}

// Length of a table entry, 0 (no code) outside 1..16.
int32_t entry_length(uint32_t entry)
{
    const uint32_t length = entry >> 16;
    return length <= 16 ? static_cast<int32_t>(length) : 0;
}

// A 0xFF byte of w is a zero byte of ~w.
bool has_ff(uint64_t w)
{
    const uint64_t x = ~w;
    return ((x - 0x0101010101010101ull) & w & 0x8080808080808080ull) != 0;
}

// The whole bytes of w (pending bits from bit 63) one by one, each 0xFF followed by 0x00. Out
// of line: rare, and it keeps the encoder's values in registers.
__attribute__((noinline)) int32_t write_stuffed(uint64_t w, int32_t bytes, uint8_t* buf, int32_t p)
{
    for (int32_t i = 0; i < bytes; ++i) {
        const uint8_t byte = static_cast<uint8_t>(w >> (56 - 8 * i));
        buf[p++] = byte;
        if (byte == 0xFF)
            buf[p++] = 0;
    }
    return p;
}

// Whole bytes leave the accumulator (pending bits right-aligned, free empty places above them);
// false when the room is too small to be sure.
__attribute__((always_inline)) inline bool flush_bytes(uint64_t acc, int32_t& free, uint8_t* buf, int32_t bufLen,
                                                       int32_t& p)
{
    if (bufLen - p < 8)
        return false;
    const int32_t used = 64 - free;
    const uint64_t w = used == 0 ? 0 : acc << free;
    if (__builtin_expect(used >= 32 && !has_ff(w), 1)) {
        const uint64_t be = __builtin_bswap64(w);
        std::memcpy(buf + p, &be, 8);
        p += used / 8;
    } else {
        if (used >= 32 && bufLen - p < 16)
            return false;
        p = write_stuffed(w, used / 8, buf, p);
    }
    free = 64 - used % 8;
    return true;
}

int32_t encode_block(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                     const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state)
{
    if (bufLen - *pos < 24)
        return 1;
    const int32_t pending = state->bitCount;
    uint64_t acc = uint64_t{state->bitAcc} >> (24 - pending);
    int32_t free = 64 - pending;
    int32_t p = *pos;

    const int16_t old_dc = *lastDc;
    const int32_t diff = int32_t{block[0]} - int32_t{old_dc};
    *lastDc = block[0];
    const auto decline = [&] {
        *lastDc = old_dc;
        return 1;
    };
    if (diff < -32767 || diff > 32767)
        return decline();
    const int32_t dc_cat = category(static_cast<uint32_t>(diff < 0 ? -diff : diff));
    const uint32_t dc_entry = dcSpec->entry[dc_cat];
    const int32_t dc_len = entry_length(dc_entry);
    if (dc_len == 0)
        return decline();
    acc = acc << dc_len | (dc_entry & ((1u << dc_len) - 1));
    acc = acc << dc_cat | (static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << dc_cat) - 1));
    free -= dc_len + dc_cat;

    // Non-zero AC coefficients as a 64-bit mask in zigzag order.
    const __m128i zero = _mm_setzero_si128();
    uint64_t nonzero = 0;
    for (int i = 0; i < 8; i += 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 8 * i + 8));
        const uint32_t zeros =
            uint32_t(_mm_movemask_epi8(_mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero))));
        nonzero |= kZigzagBits.bits[i][~zeros & 0xFF] | kZigzagBits.bits[i + 1][~zeros >> 8 & 0xFF];
    }
    nonzero &= ~uint64_t{1};
    const bool ends_on_zero = (nonzero >> 63) == 0;

    int32_t last = 0;
    while (nonzero != 0) {
        const int32_t k = __builtin_ctzll(nonzero);
        nonzero &= nonzero - 1;
        const int32_t a = block[kZigzag[k]];
        if (a == -32768)
            return decline();
        int32_t run = k - last - 1;
        last = k;
        if (__builtin_expect(run >= 16, 0)) {
            const uint32_t zrl = acSpec->entry[0xF0];
            const int32_t len = entry_length(zrl);
            if (len == 0)
                return decline();
            for (; run >= 16; run -= 16) {
                if (free < len && !flush_bytes(acc, free, buf, bufLen, p))
                    return decline();
                acc = acc << len | (zrl & ((1u << len) - 1));
                free -= len;
            }
        }
        const int32_t c = category(static_cast<uint32_t>(a < 0 ? -a : a));
        const uint32_t e = acSpec->entry[run << 4 | c];
        const int32_t len = entry_length(e);
        if (len == 0)
            return decline();
        // Code and value bits together: at most 31 bits.
        const int32_t n = len + c;
        const uint64_t both =
            uint64_t(e & ((1u << len) - 1)) << c | (static_cast<uint32_t>(a < 0 ? a - 1 : a) & ((1u << c) - 1));
        if (free < n && !flush_bytes(acc, free, buf, bufLen, p))
            return decline();
        acc = acc << n | both;
        free -= n;
    }
    if (ends_on_zero) {
        const uint32_t eob = acSpec->entry[0];
        const int32_t len = entry_length(eob);
        if (len == 0)
            return decline();
        if (free < len && !flush_bytes(acc, free, buf, bufLen, p))
            return decline();
        acc = acc << len | (eob & ((1u << len) - 1));
        free -= len;
    }
    if (64 - free >= 8 && !flush_bytes(acc, free, buf, bufLen, p))
        return decline();
    const int32_t k = 64 - free;
    *pos = p;
    state->bitAcc = static_cast<uint32_t>(acc & ((1u << k) - 1)) << (24 - k);
    state->bitCount = k;
    return 0;
}

int32_t encode_diff(const int16_t* value, uint8_t* buf, int32_t* pos, const HuffEncodeSpec* spec,
                    HuffEncodeState* state)
{
    const int32_t v = *value;
    const int32_t c = category(static_cast<uint32_t>(v < 0 ? -v : v));
    const uint32_t e = spec->entry[c];
    const int32_t len = entry_length(e);
    if (len == 0)
        return 1;
    int32_t p = *pos;
    int32_t total = state->bitCount + len;
    uint32_t acc = state->bitAcc | (e & ((1u << len) - 1)) << (24 - total);
    const auto emit = [&] {
        while (total >= 8) {
            const uint8_t byte = static_cast<uint8_t>(acc >> 16);
            buf[p++] = byte;
            if (byte == 0xFF)
                buf[p++] = 0;
            acc <<= 8;
            total -= 8;
        }
    };
    emit();
    if ((c & 15) != 0) {
        total += c;
        acc |= (static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << c) - 1)) << (24 - total);
        emit();
    }
    *pos = p;
    state->bitAcc = acc;
    state->bitCount = total;
    return 0;
}

}   // namespace

template <int Level>
int32_t EncodeHuffman8x8Mmx(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                            const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state)
{
    return encode_block(block, buf, bufLen, pos, lastDc, dcSpec, acSpec, state);
}

template <int Level>
int32_t EncodeHuffmanDiffScalar(const int16_t* value, uint8_t* buf, int32_t* pos, const HuffEncodeSpec* spec,
                                HuffEncodeState* state)
{
    return encode_diff(value, buf, pos, spec, state);
}

#define KV_BLOCK_LEVEL(L)                                                                                              \
    template int32_t EncodeHuffman8x8Mmx<L>(const int16_t*, uint8_t*, int32_t, int32_t*, int16_t*,                     \
                                            const HuffEncodeSpec*, const HuffEncodeSpec*, HuffEncodeState*);
KV_BLOCK_LEVEL(1)
KV_BLOCK_LEVEL(2)
KV_BLOCK_LEVEL(3)
KV_BLOCK_LEVEL(4)
KV_BLOCK_LEVEL(5)
#undef KV_BLOCK_LEVEL
template int32_t EncodeHuffmanDiffScalar<2>(const int16_t*, uint8_t*, int32_t*, const HuffEncodeSpec*,
                                            HuffEncodeState*);
template int32_t EncodeHuffmanDiffScalar<3>(const int16_t*, uint8_t*, int32_t*, const HuffEncodeSpec*,
                                            HuffEncodeState*);
template int32_t EncodeHuffmanDiffScalar<4>(const int16_t*, uint8_t*, int32_t*, const HuffEncodeSpec*,
                                            HuffEncodeState*);
template int32_t EncodeHuffmanDiffScalar<5>(const int16_t*, uint8_t*, int32_t*, const HuffEncodeSpec*,
                                            HuffEncodeState*);
