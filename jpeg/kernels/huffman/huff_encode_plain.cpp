#include <cstdlib>

#include "huffman/huff_encode.h"
#include "memory/zero_fill.h"
#include "quanttable/quant_table.h"

namespace {

constexpr uint8_t kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                                 41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                                 30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Significant bits of a magnitude up to 65535.
int32_t category(uint32_t magnitude)
{
    return magnitude == 0 ? 0 : 32 - __builtin_clz(magnitude);
}

// The low c bits of v, or of v - 1 when v is negative.
uint32_t value_bits(int32_t v, int32_t c)
{
    return static_cast<uint32_t>(v < 0 ? v - 1 : v) & ((1u << c) - 1);
}

// Length of a table entry; anything outside 1..16 counts as no code.
int32_t entry_length(uint32_t entry)
{
    const uint32_t length = entry >> 16;
    return length <= 16 ? static_cast<int32_t>(length) : 0;
}

template <int Level>
kernel_status put_entry(uint32_t entry, uint8_t* buf, int32_t bufLen, int32_t* pos, HuffEncodeState* state)
{
    return PutHuffBits<Level>(entry & 0xFFFF, entry_length(entry), buf, bufLen, pos, state);
}

template <int Level>
kernel_status flush_segment(uint8_t* buf, int32_t bufLen, int32_t* pos, HuffEncodeState* state)
{
    if (*pos < 0 || *pos > bufLen)
        return kernel_out_of_range;
    const kernel_status status = PutHuffBits<Level>(0x7F, 7, buf, bufLen, pos, state);
    ResetHuffEncodeState<Level>(state);
    return status;
}

kernel_status check_output(const uint8_t* buf, int32_t bufLen, const int32_t* pos, const HuffEncodeState* state)
{
    if (buf == nullptr)
        return kernel_null_pointer;
    if (bufLen < 1)
        return kernel_size_below_one;
    if (pos == nullptr || state == nullptr)
        return kernel_null_pointer;
    return kernel_ok;
}

template <int Level>
kernel_status encode_block_general(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                                   const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state)
{
    const int32_t diff = int32_t{block[0]} - int32_t{*lastDc};
    *lastDc = block[0];
    // Baseline DC sizes stop at 15 (decoders read no more).
    if (diff < -32767 || diff > 32767)
        return kernel_bad_huffman_table;
    const int32_t dc_cat = category(static_cast<uint32_t>(std::abs(diff)));
    kernel_status status = put_entry<Level>(dcSpec->entry[dc_cat], buf, bufLen, pos, state);
    if (status != kernel_ok)
        return status;
    if (dc_cat != 0) {
        status = PutHuffBits<Level>(value_bits(diff, dc_cat), dc_cat, buf, bufLen, pos, state);
        if (status != kernel_ok)
            return status;
    }
    int32_t run = 0;
    for (int k = 1; k < 64; ++k) {
        const int32_t a = block[kZigzag[k]];
        if (a == 0) {
            ++run;
            continue;
        }
        // Category 16 would alias another run's symbol.
        if (a == -32768)
            return kernel_bad_huffman_table;
        for (; run >= 16; run -= 16) {
            status = put_entry<Level>(acSpec->entry[0xF0], buf, bufLen, pos, state);
            if (status != kernel_ok)
                return status;
        }
        const int32_t c = category(static_cast<uint32_t>(std::abs(a)));
        status = put_entry<Level>(acSpec->entry[run << 4 | c], buf, bufLen, pos, state);
        if (status != kernel_ok)
            return status;
        status = PutHuffBits<Level>(value_bits(a, c), c, buf, bufLen, pos, state);
        if (status != kernel_ok)
            return status;
        run = 0;
    }
    if (run > 0)
        return put_entry<Level>(acSpec->entry[0], buf, bufLen, pos, state);
    return kernel_ok;
}

template <int Level>
kernel_status encode_diff_general(int32_t v, uint8_t* buf, int32_t bufLen, int32_t* pos, const HuffEncodeSpec* spec,
                                  HuffEncodeState* state)
{
    const int32_t c = category(static_cast<uint32_t>(std::abs(v)));
    const kernel_status status = put_entry<Level>(spec->entry[c], buf, bufLen, pos, state);
    if (status != kernel_ok || c == 0 || c == 16)
        return status;
    return PutHuffBits<Level>(value_bits(v, c), c, buf, bufLen, pos, state);
}

}   // namespace

template <int Level>
kernel_status PutHuffBits(uint32_t code, int32_t codeLength, uint8_t* buf, int32_t bufLen, int32_t* pos,
                          HuffEncodeState* state)
{
    if (codeLength < 1 || codeLength > 16)
        return kernel_bad_huffman_table;
    const uint32_t bits = code & ((1u << codeLength) - 1);
    int32_t total = state->bitCount + codeLength;
    uint32_t acc = state->bitAcc | bits << (24 - total);
    int32_t p = *pos;
    // Levels 0 and 1 loop while a byte is whole; the others count the bytes first. Same result.
    const auto emit = [&]() {
        const uint8_t byte = static_cast<uint8_t>(acc >> 16);
        if (p >= bufLen)
            return false;
        buf[p++] = byte;
        if (byte == 0xFF) {
            if (p == bufLen)
                return false;
            buf[p++] = 0;
        }
        acc <<= 8;
        total -= 8;
        return true;
    };
    if constexpr (Level <= 1) {
        while (total >= 8) {
            if (!emit()) {
                *pos = p;
                return kernel_input_exhausted;
            }
        }
    } else {
        for (int32_t n = total / 8; n > 0; --n) {
            if (!emit()) {
                *pos = p;
                return kernel_input_exhausted;
            }
        }
    }
    *pos = p;
    state->bitAcc = acc;
    state->aux0 = 0;
    state->bitCount = total;
    return kernel_ok;
}

template <int Level>
kernel_status ZeroBytes(void* dst, int32_t count)
{
    if (dst == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    if constexpr (Level == 1) {
        if (count >= 20480) {
            ZeroFillStream(dst, count);
            return kernel_ok;
        }
    }
    ZeroFillBytes<Level>(dst, count);
    return kernel_ok;
}

template <int Level>
void ResetHuffEncodeState(HuffEncodeState* state)
{
    state->bitAcc = 0;
    state->aux0 = 0;
    state->bitCount = 0;
    state->aux1 = 0;
    state->aux2 = 0;
    ZeroBytes<Level>(state->auxArea, 1024);
}

kernel_status GetHuffEncodeSpecSize(int32_t* size)
{
    if (size == nullptr)
        return kernel_null_pointer;
    *size = static_cast<int32_t>(sizeof(HuffEncodeSpec));
    return kernel_ok;
}

template <int Level>
kernel_status InitHuffEncodeSpec(const uint8_t* bits, const uint8_t* values, HuffEncodeSpec* spec)
{
    if (bits == nullptr || values == nullptr || spec == nullptr)
        return kernel_null_pointer;
    int32_t total = 0;
    uint32_t code = 0;
    for (int l = 1; l <= 16; ++l) {
        total += bits[l - 1];
        code += bits[l - 1];
        if (code > (1u << l))
            return kernel_bad_huffman_table;
        code <<= 1;
    }
    if (total > 256)
        return kernel_bad_huffman_table;
    ZeroFillBytes<Level>(spec, static_cast<int32_t>(sizeof(HuffEncodeSpec)));
    code = 0;
    int32_t k = 0;
    for (uint32_t l = 1; l <= 16; ++l) {
        for (int32_t i = 0; i < bits[l - 1]; ++i)
            spec->entry[values[k++]] = l << 16 | code++;
        code <<= 1;
    }
    return kernel_ok;
}

template <int Level>
kernel_status InitHuffEncodeState(HuffEncodeState* state)
{
    if (state == nullptr)
        return kernel_null_pointer;
    ResetHuffEncodeState<Level>(state);
    return kernel_ok;
}

template <int Level>
kernel_status EncodeHuffman8x8(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                               const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state,
                               int32_t flush)
{
    kernel_status status = check_output(buf, bufLen, pos, state);
    if (status != kernel_ok)
        return status;
    if (flush != 0)
        return flush_segment<Level>(buf, bufLen, pos, state);
    if (block == nullptr || lastDc == nullptr || dcSpec == nullptr || acSpec == nullptr)
        return kernel_null_pointer;
    if (*pos < 0 || *pos > bufLen)
        return kernel_out_of_range;
#if defined(__x86_64__) || defined(__i386__)
    if constexpr (Level >= 1) {
        if (EncodeHuffman8x8Mmx<Level>(block, buf, bufLen, pos, lastDc, dcSpec, acSpec, state) == 0)
            return kernel_ok;
    }
#endif
    return encode_block_general<Level>(block, buf, bufLen, pos, lastDc, dcSpec, acSpec, state);
}

template <int Level>
kernel_status EncodeHuffmanLosslessRow(const int16_t* const* rows, int32_t width, int32_t componentCount, uint8_t* buf,
                                       int32_t bufLen, int32_t* pos, const HuffEncodeSpec* const* specs,
                                       HuffEncodeState* state, int32_t flush)
{
    kernel_status status = check_output(buf, bufLen, pos, state);
    if (status != kernel_ok)
        return status;
    if (flush != 0)
        return flush_segment<Level>(buf, bufLen, pos, state);
    if (rows == nullptr)
        return kernel_null_pointer;
    if (width < 1 || componentCount < 1)
        return kernel_size_below_one;
    if (specs == nullptr)
        return kernel_null_pointer;
    const int32_t count = componentCount < 4 ? componentCount : 4;
    const HuffEncodeSpec* own[4] = {};
    for (int32_t c = 0; c < count; ++c) {
        if (rows[c] == nullptr || specs[c] == nullptr)
            return kernel_null_pointer;
        own[c] = specs[c];
    }
    if (*pos < 0 || *pos > bufLen)
        return kernel_out_of_range;
#if defined(__x86_64__) || defined(__i386__)
    if constexpr (Level >= 4) {
        status = EncodeHuffmanLosslessRowSsse3<Level>(rows, width, componentCount, buf, bufLen, pos, own, state);
        if (status != 1)
            return status;
    }
#endif
    for (int32_t x = 0; x < width; ++x) {
        for (int32_t c = 0; c < count; ++c) {
            status = encode_diff_general<Level>(rows[c][x], buf, bufLen, pos, own[c], state);
            if (status != kernel_ok)
                return status;
        }
    }
    return kernel_ok;
}

template <int Level>
kernel_status EncodeHuffmanDiff(const int16_t* value, uint8_t* buf, int32_t bufLen, int32_t* pos,
                                const HuffEncodeSpec* spec, HuffEncodeState* state, int32_t flush)
{
    const kernel_status status = check_output(buf, bufLen, pos, state);
    if (status != kernel_ok)
        return status;
    if (flush != 0)
        return flush_segment<Level>(buf, bufLen, pos, state);
    if (value == nullptr || spec == nullptr)
        return kernel_null_pointer;
    if (*pos < 0 || *pos > bufLen)
        return kernel_out_of_range;
#if defined(__x86_64__) || defined(__i386__)
    if constexpr (Level >= 2) {
        if (bufLen - *pos >= 9 && EncodeHuffmanDiffScalar<Level>(value, buf, pos, spec, state) == 0)
            return kernel_ok;
    }
#endif
    return encode_diff_general<Level>(*value, buf, bufLen, pos, spec, state);
}

#define KV_ENCODE_LEVEL(L)                                                                                             \
    template kernel_status PutHuffBits<L>(uint32_t, int32_t, uint8_t*, int32_t, int32_t*, HuffEncodeState*);           \
    template kernel_status ZeroBytes<L>(void*, int32_t);                                                               \
    template void ResetHuffEncodeState<L>(HuffEncodeState*);                                                           \
    template kernel_status InitHuffEncodeSpec<L>(const uint8_t*, const uint8_t*, HuffEncodeSpec*);                     \
    template kernel_status InitHuffEncodeState<L>(HuffEncodeState*);                                                   \
    template kernel_status EncodeHuffman8x8<L>(const int16_t*, uint8_t*, int32_t, int32_t*, int16_t*,                  \
                                               const HuffEncodeSpec*, const HuffEncodeSpec*, HuffEncodeState*,         \
                                               int32_t);                                                               \
    template kernel_status EncodeHuffmanLosslessRow<L>(const int16_t* const*, int32_t, int32_t, uint8_t*, int32_t,     \
                                                       int32_t*, const HuffEncodeSpec* const*, HuffEncodeState*,       \
                                                       int32_t);                                                       \
    template kernel_status EncodeHuffmanDiff<L>(const int16_t*, uint8_t*, int32_t, int32_t*, const HuffEncodeSpec*,    \
                                                HuffEncodeState*, int32_t);
KV_ENCODE_LEVEL(0)
KV_ENCODE_LEVEL(1)
KV_ENCODE_LEVEL(2)
KV_ENCODE_LEVEL(3)
KV_ENCODE_LEVEL(4)
KV_ENCODE_LEVEL(5)
#undef KV_ENCODE_LEVEL
