#include <cstdlib>
#include <cstring>

#include "huffman/huff_decode.h"
#include "memory/zero_fill.h"

const uint32_t huff_zigzag_natural[79] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13,
    6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
};

namespace {

// Takes s (1 to 16) bits. Bits that a marker cut off read as zeros; the count may go negative,
// and the next refill that must supply bits then reports the marker.
inline uint32_t take_bits(HuffDecodeState* st, int32_t s)
{
    const int32_t n = st->bitCount;
    const uint32_t mask = (1u << s) - 1;
    uint32_t v = 0;
    if (n >= s)
        v = (st->bitBuffer >> (n - s)) & mask;
    else if (n > 0)
        v = (st->bitBuffer << (s - n)) & mask;
    st->bitCount = n - s;
    return v;
}

inline int32_t extend(uint32_t v, int32_t s)
{
    return v < (1u << (s - 1)) ? static_cast<int32_t>(v) + 1 - (1 << s) : static_cast<int32_t>(v);
}

// s extra bits of a value, refilling first when fewer are held.
inline kernel_status read_value(const uint8_t* data, int32_t length, int32_t* position, uint32_t* marker, int32_t s,
                                HuffDecodeState* st, int32_t* value)
{
    if (st->bitCount < s) {
        const kernel_status r = FillHuffBitBuffer(data, length, position, marker, s, st);
        if (r < 0)
            return r;
    }
    *value = extend(take_bits(st, s), s);
    return kernel_ok;
}

// A lossless difference: category 0 is 0, 16 and above 32768 without extra bits.
inline kernel_status read_difference(const uint8_t* data, int32_t length, int32_t* position, uint32_t* marker,
                                     const HuffDecodeSpec* spec, HuffDecodeState* st, uint16_t* out)
{
    uint32_t s = 0;
    kernel_status r = DecodeHuffSymbol(data, length, position, marker, &s, spec, st);
    if (r < 0)
        return r;
    int32_t v = 0;
    if (s >= 16) {
        v = 32768;
    } else if (s != 0) {
        r = read_value(data, length, position, marker, static_cast<int32_t>(s), st, &v);
        if (r < 0)
            return r;
    }
    *out = static_cast<uint16_t>(v);
    return kernel_ok;
}

// The checks of the entries, in their order.
kernel_status check_diff_arguments(const uint8_t* data, int32_t length, const int32_t* position, const uint16_t* diff,
                                   const uint32_t* marker, const HuffDecodeSpec* spec, const HuffDecodeState* state)
{
    if (data == nullptr)
        return kernel_null_pointer;
    if (length < 1)
        return kernel_size_below_one;
    if (position == nullptr || diff == nullptr || marker == nullptr || spec == nullptr || state == nullptr)
        return kernel_null_pointer;
    return kernel_ok;
}

kernel_status check_row_arguments(const uint8_t* data, int32_t length, const int32_t* position, uint16_t* const* rows,
                                  int32_t samples, int32_t components, const uint32_t* marker,
                                  const HuffDecodeSpec* const* specs, const HuffDecodeState* state)
{
    if (data == nullptr)
        return kernel_null_pointer;
    if (length < 1)
        return kernel_size_below_one;
    if (position == nullptr || rows == nullptr)
        return kernel_null_pointer;
    if (samples < 1 || components < 1)
        return kernel_size_below_one;
    if (marker == nullptr || specs == nullptr || state == nullptr)
        return kernel_null_pointer;
    for (int32_t c = 0; c < components && c < 4; ++c)
        if (rows[c] == nullptr || specs[c] == nullptr)
            return kernel_null_pointer;
    return kernel_ok;
}

}   // namespace

kernel_status FillHuffBitBuffer(const uint8_t* data, int32_t length, int32_t* position, uint32_t* marker, int32_t need,
                                HuffDecodeState* st)
{
    if (*marker != 0)
        return need > st->bitCount ? kernel_marker_reached : kernel_ok;
    int32_t pos = *position;
    while (st->bitCount < 25) {
        if (pos >= length) {
            *position = pos;
            return need > st->bitCount ? kernel_input_exhausted : kernel_ok;
        }
        const uint32_t b = data[pos++];
        if (b == 0xFF) {
            for (;;) {
                if (pos >= length) {
                    *position = pos;
                    return kernel_input_exhausted;
                }
                const uint32_t c = data[pos++];
                if (c == 0x00)
                    break;
                if (c == 0xFF)
                    continue;   // fill byte
                *marker = c;
                *position = pos;
                return kernel_ok;
            }
        }
        st->bitBuffer = st->bitBuffer << 8 | b;
        st->bitCount += 8;
        st->refillFlag = 0;
    }
    *position = pos;
    return kernel_ok;
}

kernel_status DecodeHuffSymbol(const uint8_t* data, int32_t length, int32_t* position, uint32_t* marker,
                               uint32_t* symbol, const HuffDecodeSpec* spec, HuffDecodeState* st)
{
    *symbol = 0;
    kernel_status r;
    if (st->bitCount < 8) {
        r = FillHuffBitBuffer(data, length, position, marker, 0, st);
        if (r < 0)
            return r;
    }
    int32_t first = 1;
    if (st->bitCount >= 8) {
        const uint32_t e = spec->lookahead[(st->bitBuffer >> (st->bitCount - 8)) & 0xFF];
        if (e >> 16 != 0) {
            st->bitCount -= static_cast<int32_t>(e >> 16);
            *symbol = e & 0xFFFF;
            return kernel_ok;
        }
        first = 9;
    }
    if (st->bitCount < first) {
        r = FillHuffBitBuffer(data, length, position, marker, first, st);
        if (r < 0)
            return r;
    }
    uint32_t code = take_bits(st, first);
    for (int32_t l = first;; ++l) {
        const uint32_t max = spec->maxcode[l];
        if (max != 0xFFFF && code <= max) {
            *symbol = spec->huffval[spec->valptr[l] + code - spec->mincode[l]];
            return kernel_ok;
        }
        if (l == 16)
            break;
        if (st->bitCount <= 0) {
            r = FillHuffBitBuffer(data, length, position, marker, 1, st);
            if (r < 0)
                return r;
        }
        code = code << 1 | take_bits(st, 1);
    }
    return kernel_marker_reached;
}

kernel_status DecodeBlockGeneral(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                 int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                                 HuffDecodeState* st)
{
    uint32_t sym = 0;
    kernel_status r = DecodeHuffSymbol(data, length, position, marker, &sym, dc, st);
    if (r < 0) {
        st->blockEnd = 0;
        return r;
    }
    if ((sym & 15) != 0) {
        int32_t v = 0;
        r = read_value(data, length, position, marker, static_cast<int32_t>(sym & 15), st, &v);
        if (r < 0) {
            st->blockEnd = 0;
            return r;
        }
        *last_dc = static_cast<int16_t>(static_cast<uint16_t>(*last_dc + v));
    }
    block[0] = *last_dc;

    int32_t k = 1, remaining = 63;
    kernel_status status = kernel_ok;
    for (;;) {
        r = DecodeHuffSymbol(data, length, position, marker, &sym, ac, st);
        if (r < 0) {
            status = r;
            break;
        }
        const int32_t run = static_cast<int32_t>(sym >> 4 & 15), size = static_cast<int32_t>(sym & 15);
        if (size != 0) {
            remaining -= run + 1;
            k += run;
            int32_t v = 0;
            r = read_value(data, length, position, marker, size, st, &v);
            if (r < 0) {
                status = r;
                break;
            }
            block[huff_zigzag_natural[k]] = static_cast<int16_t>(v);
            ++k;
        } else if (run == 15) {
            remaining -= 16;
            k += 16;
        } else {
            break;
        }
        if (remaining < 1)
            break;
    }
    st->blockEnd = 64 - remaining;
    return status;
}

kernel_status DecodeDiffGeneral(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff,
                                uint32_t* marker, const HuffDecodeSpec* spec, HuffDecodeState* st)
{
    return read_difference(data, length, position, marker, spec, st, diff);
}

kernel_status DecodeRowGeneral(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                               int32_t samples, int32_t components, uint32_t* marker,
                               const HuffDecodeSpec* const* specs, HuffDecodeState* st)
{
    const int32_t n = components < 4 ? components : 4;
    for (int32_t x = 0; x < samples; ++x)
        for (int32_t c = 0; c < n; ++c) {
            const kernel_status r = read_difference(data, length, position, marker, specs[c], st, &rows[c][x]);
            if (r < 0)
                return r;
        }
    return kernel_ok;
}

kernel_status HuffDecodeSpecSize(int32_t* size)
{
    if (size == nullptr)
        return kernel_null_pointer;
    *size = static_cast<int32_t>(sizeof(HuffDecodeSpec));
    return kernel_ok;
}

kernel_status HuffDecodeStateSize(int32_t* size)
{
    if (size == nullptr)
        return kernel_null_pointer;
    *size = static_cast<int32_t>(sizeof(HuffDecodeState));
    return kernel_ok;
}

kernel_status HuffDecodeStateInit(HuffDecodeState* state)
{
    if (state == nullptr)
        return kernel_null_pointer;
    state->bitBuffer = 0;
    state->refillFlag = 0;
    state->bitCount = 0;
    state->reserved = 0;
    state->blockEnd = 0;
    return kernel_ok;
}

template <int Level>
kernel_status HuffDecodeSpecInit(const uint8_t* counts, const uint8_t* values, HuffDecodeSpec* spec)
{
    if (counts == nullptr || values == nullptr || spec == nullptr)
        return kernel_null_pointer;
    int32_t total = 0;
    for (int l = 0; l < 16; ++l)
        total += counts[l];
    if (total > 256)
        return kernel_bad_huffman_table;
    // Every code must fit its length; a code that does not would wrap in 16 bits and index
    // past the symbols. Checked before anything is written.
    uint32_t code = 0;
    for (int l = 1; l <= 16; ++l) {
        code += counts[l - 1];
        if (code > (1u << l))
            return kernel_bad_huffman_table;
        code <<= 1;
    }

    ZeroFillBytes<Level>(spec, static_cast<int32_t>(sizeof(HuffDecodeSpec)));
    int32_t index = 0;
    code = 0;
    for (int l = 1; l <= 16; ++l) {
        const int32_t n = counts[l - 1];
        if (n == 0) {
            spec->maxcode[l] = 0xFFFF;
        } else {
            spec->valptr[l] = static_cast<uint16_t>(index);
            spec->mincode[l] = static_cast<uint16_t>(code);
            // 0xFFFF stands for "no code", so the reserved all-ones 16-bit code stays unmatched
            // while the other codes of that length still decode.
            const uint32_t last = code + static_cast<uint32_t>(n) - 1;
            spec->maxcode[l] = static_cast<uint16_t>(last == 0xFFFF ? 0xFFFE : last);
            for (int32_t i = 0; i < n; ++i, ++index, ++code) {
                spec->huffval[index] = values[index];
                if (l <= 8) {
                    const uint32_t first = code << (8 - l), entry = static_cast<uint32_t>(l) << 16 | values[index];
                    for (uint32_t j = 0; j < (1u << (8 - l)); ++j)
                        spec->lookahead[first + j] = entry;
                }
            }
        }
        code <<= 1;
    }
    spec->maxcode[17] = 0xFFFF;
    return kernel_ok;
}

template kernel_status HuffDecodeSpecInit<0>(const uint8_t*, const uint8_t*, HuffDecodeSpec*);
template kernel_status HuffDecodeSpecInit<1>(const uint8_t*, const uint8_t*, HuffDecodeSpec*);
template kernel_status HuffDecodeSpecInit<2>(const uint8_t*, const uint8_t*, HuffDecodeSpec*);
template kernel_status HuffDecodeSpecInit<3>(const uint8_t*, const uint8_t*, HuffDecodeSpec*);
template kernel_status HuffDecodeSpecInit<4>(const uint8_t*, const uint8_t*, HuffDecodeSpec*);
template kernel_status HuffDecodeSpecInit<5>(const uint8_t*, const uint8_t*, HuffDecodeSpec*);

kernel_status DecodeHuffman8x8(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                               uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                               HuffDecodeState* state)
{
    const kernel_status checked =
        HuffCheckBlockArguments(data, length, position, block, last_dc, marker, dc, ac, state);
    if (checked != kernel_ok)
        return checked;
    ZeroFillBytes<0>(block, 128);
    return DecodeBlockGeneral(data, length, position, block, last_dc, marker, dc, ac, state);
}

kernel_status DecodeHuffDiff(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff, uint32_t* marker,
                             const HuffDecodeSpec* spec, HuffDecodeState* state)
{
    const kernel_status checked = check_diff_arguments(data, length, position, diff, marker, spec, state);
    if (checked != kernel_ok)
        return checked;
    return DecodeDiffGeneral(data, length, position, diff, marker, spec, state);
}

kernel_status DecodeHuffmanLosslessRow(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                       int32_t samples, int32_t components, uint32_t* marker,
                                       const HuffDecodeSpec* const* specs, HuffDecodeState* state)
{
    const kernel_status checked =
        check_row_arguments(data, length, position, rows, samples, components, marker, specs, state);
    if (checked != kernel_ok)
        return checked;
    return DecodeRowGeneral(data, length, position, rows, samples, components, marker, specs, state);
}

#if defined(__x86_64__) || defined(__i386__)
__thread HuffMemoSet* huff_memo_set __attribute__((tls_model("initial-exec"))) = nullptr;

namespace {

// Made on a thread's first allocation, frees the set when the thread ends.
struct HuffMemoReaper {
    ~HuffMemoReaper()
    {
        std::free(huff_memo_set);
        huff_memo_set = nullptr;
    }
};

}   // namespace

void* (*huff_memo_calloc)(size_t count, size_t size) = &std::calloc;

HuffMemo* HuffMemoTake(const HuffDecodeSpec* spec, HuffMemoKind kind)
{
    HuffMemoSet* set = huff_memo_set;
    if (set == nullptr) {
        set = static_cast<HuffMemoSet*>(huff_memo_calloc(1, sizeof(HuffMemoSet)));
        if (set == nullptr)
            return nullptr;
        huff_memo_set = set;
        static thread_local HuffMemoReaper reaper;
        (void)reaper;
    }
    HuffMemo* slot = &set->slots[set->next++ & 3];
    // Zeros are no entry of any word, and entries of the other kind read wrongly: a fresh slot or
    // one of the other kind starts over. One of the same kind keeps entries right for their words.
    if (slot->spec == nullptr || slot->kind != kind)
        for (uint32_t i = 0; i < 1024; ++i)
            slot->entries[i] = HuffMemoEntry(0, i, kind);
    slot->spec = spec;
    slot->kind = kind;
    return slot;
}

uint64_t HuffMemoEntry(uint32_t lookahead, uint32_t index, HuffMemoKind kind)
{
    const uint32_t len = lookahead >> 16;
    // A difference's size is its whole symbol: 0 and 16 or more take no value bits.
    const uint32_t symbol = lookahead & 0xFFFF, run = kind == kHuffMemoAc ? symbol >> 4 & 15 : 0;
    const uint32_t size = kind == kHuffMemoAc ? symbol & 15 : symbol < 16 ? symbol : 0;
    uint32_t low;
    if (len > 8) {
        low = 0x80 | kHuffMemoDecline << 16;
    } else if (len == 0) {
        low = 0x80 | kHuffMemoLongCode << 16;
    } else if (size == 0 && kind == kHuffMemoAc) {
        low = 0x80 | kHuffMemoRunEnd << 16 | len | run << 8;
    } else if (size == 0) {
        low = len | (symbol != 0 ? 32768u : 0u) << 16;
    } else if (len + size > 10) {
        low = 0x80 | kHuffMemoLongValue << 16 | (len + size) | (run + 1) << 8 | (64 - size) << 18 | len << 24;
    } else {
        const uint32_t raw = index >> (10 - len - size) & ((1u << size) - 1);
        const int32_t value = extend(raw, static_cast<int32_t>(size));
        low = (len + size) | (run + 1) << 8 | static_cast<uint32_t>(value) << 16;
    }
    return uint64_t{lookahead} << 32 | low;
}

int32_t DecodeHuffDiffFast(const uint8_t* data, int32_t* position, uint16_t* diff, const HuffDecodeSpec* spec,
                           HuffDecodeState* state)
{
    int32_t pos = *position;
    uint32_t bits = state->bitBuffer;
    int32_t n = state->bitCount;
    if (n < 8) {
        const uint8_t* p = data + pos;
        if (p[0] == 0xFF || p[1] == 0xFF || p[2] == 0xFF)
            return 1;
        bits = bits << 24 | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
        pos += 3;
        n += 24;
    }
    const uint32_t e = spec->lookahead[(bits >> (n - 8)) & 0xFF];
    if (e >> 16 == 0)
        return 1;
    n -= static_cast<int32_t>(e >> 16);
    const uint32_t s = e & 0xFFFF;
    int32_t v = 0;
    if (s >= 16) {
        v = 32768;
    } else if (s != 0) {
        if (n < static_cast<int32_t>(s)) {
            const uint8_t* p = data + pos;
            if (p[0] == 0xFF || p[1] == 0xFF)
                return 1;
            bits = bits << 16 | uint32_t(p[0]) << 8 | p[1];
            pos += 2;
            n += 16;
        }
        n -= static_cast<int32_t>(s);
        v = extend((bits >> n) & ((1u << s) - 1), static_cast<int32_t>(s));
    }
    *diff = static_cast<uint16_t>(v);
    state->bitBuffer = bits;
    state->bitCount = n;
    *position = pos;
    return 0;
}

template <int Level>
kernel_status DecodeHuffDiffSimd(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff,
                                 uint32_t* marker, const HuffDecodeSpec* spec, HuffDecodeState* state)
{
    const kernel_status checked = check_diff_arguments(data, length, position, diff, marker, spec, state);
    if (checked != kernel_ok)
        return checked;
    const int32_t pos = *position;
    if (*marker == 0 && pos >= 0 && pos <= length && length - pos >= 8 && state->bitCount >= 0 &&
        state->bitCount <= 32 && DecodeHuffDiffFast(data, position, diff, spec, state) == 0)
        return kernel_ok;
    return DecodeDiffGeneral(data, length, position, diff, marker, spec, state);
}

template <int Level>
kernel_status DecodeHuffmanLosslessRowSimd(const uint8_t* data, int32_t length, int32_t* position,
                                           uint16_t* const* rows, int32_t samples, int32_t components, uint32_t* marker,
                                           const HuffDecodeSpec* const* specs, HuffDecodeState* state)
{
    const kernel_status checked =
        check_row_arguments(data, length, position, rows, samples, components, marker, specs, state);
    if (checked != kernel_ok)
        return checked;
    const HuffDecodeSpec* own[4] = {};
    for (int32_t c = 0; c < components && c < 4; ++c)
        own[c] = specs[c];
    if (DecodeHuffmanLosslessRowFast<Level>(data, length, position, rows, samples, components, marker, own, state) == 0)
        return kernel_ok;
    return DecodeRowGeneral(data, length, position, rows, samples, components, marker, own, state);
}

template kernel_status DecodeHuffDiffSimd<2>(const uint8_t*, int32_t, int32_t*, uint16_t*, uint32_t*,
                                             const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffDiffSimd<3>(const uint8_t*, int32_t, int32_t*, uint16_t*, uint32_t*,
                                             const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffDiffSimd<4>(const uint8_t*, int32_t, int32_t*, uint16_t*, uint32_t*,
                                             const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffDiffSimd<5>(const uint8_t*, int32_t, int32_t*, uint16_t*, uint32_t*,
                                             const HuffDecodeSpec*, HuffDecodeState*);
template kernel_status DecodeHuffmanLosslessRowSimd<4>(const uint8_t*, int32_t, int32_t*, uint16_t* const*, int32_t,
                                                       int32_t, uint32_t*, const HuffDecodeSpec* const*,
                                                       HuffDecodeState*);
template kernel_status DecodeHuffmanLosslessRowSimd<5>(const uint8_t*, int32_t, int32_t*, uint16_t* const*, int32_t,
                                                       int32_t, uint32_t*, const HuffDecodeSpec* const*,
                                                       HuffDecodeState*);
#endif
