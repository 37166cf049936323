#pragma once

// The fast block and row decoders, included only by the files compiled for one instruction set;
// everything here has internal linkage so that each includer keeps its own copy. ByteOrder
// supplies load8(p, &value): the 8 bytes at p as a big-endian value, and a mask of those that
// are 0xFF (bit i for byte i).

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "huffman/huff_decode.h"
#include "memory/zero_fill.h"

namespace {

// Eight 16-byte stores at any alignment, written out: as a loop the compiler turns them into a
// string store whose start-up costs more than the stores.
void clear_block(int16_t* block)
{
    const __m128i z = _mm_setzero_si128();
    auto* b = reinterpret_cast<__m128i*>(block);
    _mm_storeu_si128(b, z);
    _mm_storeu_si128(b + 1, z);
    _mm_storeu_si128(b + 2, z);
    _mm_storeu_si128(b + 3, z);
    _mm_storeu_si128(b + 4, z);
    _mm_storeu_si128(b + 5, z);
    _mm_storeu_si128(b + 6, z);
    _mm_storeu_si128(b + 7, z);
}

// A group with 0xFF: a byte at a time within the 8 bytes, through stuffed zeros. Out of line and
// by value, so that the reader's fields stay in registers.
struct Bytewise {
    uint64_t buf;
    int32_t pos;
    int32_t n;
};

__attribute__((noinline)) Bytewise bytewise_fill(const uint8_t* data, int32_t length, uint64_t buf, int32_t pos,
                                                 int32_t n)
{
    const int32_t end = pos + 8;
    while (n < 56 && pos < end) {
        const uint64_t b = data[pos];
        if (b == 0xFF) {
            if (pos + 1 >= length || data[pos + 1] != 0)
                break;
            pos += 2;
        } else {
            pos += 1;
        }
        buf |= b << (56 - n);
        n += 8;
    }
    return {buf, pos, n};
}

#define KV_HOT inline __attribute__((always_inline))

template <HuffMemoKind Kind>
__attribute__((noinline)) uint32_t remake_entry(uint64_t* memo, const uint32_t* look, uint32_t i)
{
    memo[i] = HuffMemoEntry(look[i >> 2], i, Kind);
    return static_cast<uint32_t>(memo[i]);
}

// Unread bits left-aligned (the next one is bit 63); below the count lie zeros or the leading
// bits of the next byte, and the count stays below 64. Every
// code with its extra bits takes at most 31 bits, so one top-up to 32 bits serves a whole
// coefficient or difference.
template <class ByteOrder>
struct FastReader {
    const uint8_t* data;
    int32_t length;
    int32_t start;   // where this call began: the bytes before it are not the reader's
    int32_t pos;
    uint64_t buf;
    int32_t n;

    FastReader(const uint8_t* d, int32_t len, int32_t p, const HuffDecodeState* st)
        : data(d), length(len), start(p), pos(p), n(st->bitCount)
    {
        buf = n > 0 ? (uint64_t{st->bitBuffer} << (64 - n)) : 0;
    }

    // At least 32 bits held afterwards, or false: fewer than 8 bytes left, or a marker or fill
    // byte before 32 bits were gathered. A group without 0xFF tops up to 56 or more bits without
    // a branch on the count; the bits below the count then already hold the next byte's leading
    // bits, which the next top-up writes again unchanged. Roomy: the caller knows that 8 bytes
    // are left.
    template <bool Roomy = false>
    KV_HOT bool top_up()
    {
        if (!Roomy && length - pos < 8)
            return n >= 32;
        // A 0xFF past the whole bytes that fit is not taken: its bits land below the count, where
        // only bits that the next top-up writes again (or none that are read) lie.
        uint64_t v;
        const uint32_t ff = ByteOrder::load8(data + pos, &v);
        if (ff == 0 || __builtin_ctz(ff) >= (63 - n) >> 3) {
            buf |= v >> n;
            pos += (63 - n) >> 3;
            n |= 56;
            return true;
        }
        return bytewise();
    }

    KV_HOT bool bytewise()
    {
        const Bytewise r = bytewise_fill(data, length, buf, pos, n);
        buf = r.buf;
        pos = r.pos;
        n = r.n;
        return n >= 32;
    }

    KV_HOT uint32_t take(int32_t k)
    {
        const uint32_t v = static_cast<uint32_t>(buf >> (64 - k));
        buf <<= k;
        n -= k;
        return v;
    }

    // A code of 9 to 16 bits, the shortest length that matches. Needs 16 bits held.
    bool long_symbol(const HuffDecodeSpec* spec, uint32_t* sym)
    {
        const uint32_t top = static_cast<uint32_t>(buf >> 48);
        for (int32_t l = 9; l <= 16; ++l) {
            const uint32_t code = top >> (16 - l);
            const uint32_t max = spec->maxcode[l];
            if (max != 0xFFFF && code <= max) {
                take(l);
                *sym = spec->huffval[spec->valptr[l] + code - spec->mincode[l]];
                return true;
            }
        }
        return false;
    }

    // The symbol of the look-ahead entry e and, in *length, the bits its code takes, still held;
    // without a code of 8 bits or fewer the code is read from the buffer and consumed at once
    // (*length 0). Needs 16 bits held.
    KV_HOT bool symbol_of(uint32_t e, const HuffDecodeSpec* spec, uint32_t* sym, int32_t* length)
    {
        *length = static_cast<int32_t>(e >> 16);
        *sym = e & 0xFFFF;
        return *length != 0 || long_symbol(spec, sym);
    }

    // Drops a code of `skip` bits and takes s (1 to 15) value bits after it, extended; one shift
    // of the buffer for both.
    KV_HOT int32_t value_after(int32_t skip, int32_t s)
    {
        // 1 - 2^s: what a value whose first bit is 0 adds to its bits.
        static constexpr int32_t kLow[16] = {0,    -1,   -3,    -7,    -15,   -31,   -63,    -127,
                                             -255, -511, -1023, -2047, -4095, -8191, -16383, -32767};
        const uint64_t head = buf << skip;
        const int32_t raw = static_cast<int32_t>(head >> (64 - s));
        const int32_t first = static_cast<int32_t>(static_cast<int64_t>(head) >> 63);   // -1 when set
        buf <<= skip + s;
        n -= skip + s;
        return raw + (~first & kLow[s]);
    }

    // The coefficient of a long-value memo entry: its code and value bits dropped, the value
    // extended (a value whose first bit is 0 loses 2^size - 1).
    KV_HOT int32_t value_at(uint32_t d)
    {
        const uint64_t head = buf << (d >> 24 & 63);
        const uint32_t drop = d >> 18 & 63;
        const uint64_t raw = head >> drop, mask = ~uint64_t{0} >> drop;
        const uint64_t first = static_cast<uint64_t>(static_cast<int64_t>(head) >> 63);
        buf <<= d & 63;
        n -= static_cast<int32_t>(d & 63);
        return static_cast<int32_t>(raw - (mask & ~first));
    }

    KV_HOT void drop(int32_t k)
    {
        buf <<= k;
        n -= k;
    }

    // Right-aligned into the 32-bit state (the bits below the count dropped); whole bytes above 32
    // bits go back to the data, a stuffed 0xFF with its zero. The state held at most 32 bits on
    // entry, so every byte given back was read by this call: the walk back stops at its start,
    // where a zero read first is a data byte whatever lies before it (the caller's buffer may
    // begin there).
    void store(int32_t* position, HuffDecodeState* st)
    {
        uint64_t right = n > 0 ? buf >> (64 - n) : 0;
        if (n >= 32) {
            const int32_t back = (((n + 7) & ~7) - 32) >> 3;
            right >>= 8 * back;
            n -= 8 * back;
            // No 0xFF among the last five bytes: the bytes given back hold no stuffing.
            uint64_t last = 0;
            if (pos >= 8)
                std::memcpy(&last, data + pos - 8, 8);
            if (pos >= 8 && !has_ff(last >> 24)) {
                pos -= back;
            } else {
                for (int32_t i = 0; i < back; ++i)
                    pos -= pos - 2 >= start && data[pos - 1] == 0 && data[pos - 2] == 0xFF ? 2 : 1;
            }
        }
        st->bitBuffer = static_cast<uint32_t>(right);
        st->bitCount = n;
        *position = pos;
    }

    // Whether any of the five low bytes of v is 0xFF.
    static bool has_ff(uint64_t v)
    {
        const uint64_t x = ~v & 0xFFFFFFFFFFull;
        return ((x - 0x0101010101ull) & ~x & 0x8080808080ull) != 0;
    }
};

// Natural position of the coefficient before zigzag index k; past 64 the guards take a run that
// overshoots, whose block the general path decodes again.
constexpr uint8_t kNaturalBefore[80] = {
    0,  0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20,
    13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38,
    31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
};

// The memo entry for the top 10 bits of buf, remade when the table's word has changed.
template <HuffMemoKind Kind = kHuffMemoAc>
KV_HOT uint32_t memo_entry(uint64_t* memo, const uint32_t* look, uint64_t buf)
{
    const uint32_t i = static_cast<uint32_t>(buf >> 54);
    const uint64_t m = memo[i];
    if (__builtin_expect(static_cast<uint32_t>(m >> 32) == look[buf >> 56], 1))
        return static_cast<uint32_t>(m);
    return remake_entry<Kind>(memo, look, i);
}

// Bytes that one block can take at most: 64 codes of 31 bits with every byte stuffed, and a group.
constexpr int32_t kRoomyBlock = 2 * (64 * 31 + 7) / 8 + 16;

__attribute__((noinline)) uint64_t remake_ac_entry(uint64_t* memo, const uint32_t* look, uint32_t i)
{
    memo[i] = HuffMemoEntry(look[i >> 2], i, kHuffMemoAc);
    return memo[i];
}

// One look-up at the top 10 bits of `bits` (the reader's bits, or the same ones before a top-up):
// a plain coefficient. The entry goes to *d; false when it is not plain or the block is full.
// One coefficient a look-up: a second table pairing each with the next crowds the first-level
// cache out, and the blocks of photographs are short.
template <class ByteOrder>
KV_HOT bool plain_step(uint64_t* memo, const uint32_t* look, uint64_t bits, FastReader<ByteOrder>& r, int16_t* block,
                       int32_t& k, uint32_t* d)
{
    const uint32_t i = static_cast<uint32_t>(bits >> 54);
    uint64_t m = memo[i];
    if (__builtin_expect(static_cast<uint32_t>(m >> 32) != look[bits >> 56], 0))
        m = remake_ac_entry(memo, look, i);
    *d = static_cast<uint32_t>(m);
    if ((*d & 0x80) != 0)
        return false;
    const int32_t first = k + static_cast<int32_t>(*d >> 8 & 0xFF);
    block[kNaturalBefore[first]] = static_cast<int16_t>(*d >> 16);
    k = first;
    r.drop(static_cast<int32_t>(*d & 63));
    if (__builtin_expect(first >= 64, 0))   // the last position or past it
        return false;
    return true;
}

// The AC codes of a block, from zigzag index 1, ending with 0 or 1 (decline). Up to three
// look-ups to a top-up: the first look-up takes its bits from the buffer before the top-up
// (the same bits, as 10 or more were held), so the load of the next group stays off the chain of
// dependent shifts, and a memo entry mostly holds the whole coefficient, so that chain is a
// shift, a load and a shift per coefficient.
template <bool Roomy, class ByteOrder>
KV_HOT int32_t ac_codes(FastReader<ByteOrder>& r, int16_t* block, const HuffDecodeSpec* ac, uint64_t* memo,
                        int32_t* end)
{
    const uint32_t* const look = ac->lookahead;
    int32_t k = 1;
    if (r.n < 10 && !r.top_up())
        return 1;
    for (;;) {
        const uint64_t before = r.buf;
        if (!r.template top_up<Roomy>())
            return 1;
        uint32_t d;
        // A plain step takes at most 10 bits, so 33 are left after it unless a byte-at-a-time
        // top-up gave fewer: enough for any code and value, with 10 for the next round's look-up.
        if (plain_step(memo, look, before, r, block, k, &d)) {
            if (__builtin_expect(r.n < 33, 0))
                continue;
            if (plain_step(memo, look, r.buf, r, block, k, &d)) {
                if (__builtin_expect(r.n < 33, 0))
                    continue;
                if (plain_step(memo, look, r.buf, r, block, k, &d))
                    continue;
            }
        }
        if ((d & 0x80) == 0) {   // a plain coefficient at or past the last position
            if (k > 64)
                return 1;
            break;
        }
        const uint32_t kind = d >> 16 & 3;
        if (kind == kHuffMemoLongValue) {
            k += static_cast<int32_t>(d >> 8 & 0xFF);
            block[kNaturalBefore[k]] = static_cast<int16_t>(r.value_at(d));
            if (k >= 64) {
                if (k > 64)
                    return 1;
                break;
            }
        } else if (kind == kHuffMemoRunEnd) {
            r.drop(static_cast<int32_t>(d & 63));
            if ((d >> 8 & 0xFF) != 15)
                break;
            k += 16;
            if (k > 63)
                return 1;
        } else {
            uint32_t sym;
            if (kind == kHuffMemoDecline || (r.n < 31 && !r.top_up()) || !r.long_symbol(ac, &sym))
                return 1;
            const int32_t run = static_cast<int32_t>(sym >> 4 & 15), size = static_cast<int32_t>(sym & 15);
            if (size != 0) {
                k += run;
                if (k > 63)
                    return 1;
                block[huff_zigzag_natural[k]] = static_cast<int16_t>(r.value_after(0, size));
                if (++k > 63)
                    break;
            } else {
                if (run != 15)
                    break;
                k += 16;
                if (k > 63)
                    return 1;
            }
        }
        // The next round looks up before its top-up.
        if (r.n < 10 && !r.top_up())
            return 1;
    }
    *end = k;
    return 0;
}

template <class ByteOrder>
KV_HOT int32_t fast_block(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                          uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac, HuffDecodeState* st)
{
    if (*marker != 0)
        return 1;
    clear_block(block);
    st->blockEnd = 0;
    const int32_t start = *position;
    if (start < 0 || start > length || length - start < 24 || st->bitCount < 0 || st->bitCount > 32)
        return 1;
    HuffMemo* const slot = HuffMemoFor(ac, kHuffMemoAc);
    if (slot == nullptr)
        return 1;
    FastReader<ByteOrder> r(data, length, start, st);

    // The DC code and value come from the bits the state holds (mostly 25 to 32) when they fit:
    // the top-up's load, which waits on where the last block ended, is then first needed by the
    // AC codes. Blocks of photographs are short, so that wait is a good part of each one.
    uint32_t e = dc->lookahead[r.buf >> 56];
    uint32_t sym = e & 0xFFFF;
    int32_t len = static_cast<int32_t>(e >> 16);
    if (r.n < 8 || len == 0 || len + static_cast<int32_t>(sym & 15) > r.n) {
        if (!r.top_up())
            return 1;
        e = dc->lookahead[r.buf >> 56];
        if (!r.symbol_of(e, dc, &sym, &len))
            return 1;
    }
    int16_t pred = *last_dc;
    if ((sym & 15) != 0)
        pred = static_cast<int16_t>(static_cast<uint16_t>(pred + r.value_after(len, static_cast<int32_t>(sym & 15))));
    else
        r.drop(len);
    block[0] = pred;

    int32_t k = 0;
    const int32_t declined = length - r.pos >= kRoomyBlock ? ac_codes<true>(r, block, ac, slot->entries, &k)
                                                           : ac_codes<false>(r, block, ac, slot->entries, &k);
    if (declined != 0)
        return 1;
    st->blockEnd = k;
    *last_dc = pred;
    r.store(position, st);
    return 0;
}

// A block entry of levels 1 to 5 after the checks of its arguments.
template <class ByteOrder, int Level>
KV_HOT kernel_status block_entry(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                 int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                                 HuffDecodeState* state)
{
    const kernel_status checked =
        HuffCheckBlockArguments(data, length, position, block, last_dc, marker, dc, ac, state);
    if (checked != kernel_ok)
        return checked;
    if (fast_block<ByteOrder>(data, length, position, block, last_dc, marker, dc, ac, state) == 0)
        return kernel_ok;
    ZeroFillBytes<Level>(block, 128);
    return DecodeBlockGeneral(data, length, position, block, last_dc, marker, dc, ac, state);
}

// One difference of a memo entry; -1 when the kernel must decline.
template <class ByteOrder>
KV_HOT int32_t difference(uint32_t d, FastReader<ByteOrder>& r, const HuffDecodeSpec* spec)
{
    if (__builtin_expect((d & 0x80) == 0, 1)) {
        r.drop(static_cast<int32_t>(d & 63));
        return static_cast<int32_t>(d >> 16);
    }
    const uint32_t kind = d >> 16 & 3;
    if (kind == kHuffMemoLongValue)
        return r.value_at(d) & 0xFFFF;
    uint32_t s;
    if (kind == kHuffMemoDecline || (r.n < 31 && !r.top_up()) || !r.long_symbol(spec, &s))
        return -1;
    if (s - 1 < 15)
        return r.value_after(0, static_cast<int32_t>(s)) & 0xFFFF;
    return s != 0 ? 32768 : 0;
}

// The differences of a row, sample by sample and component by component within each; 0, or 1 to
// decline. Two differences to a top-up, the first looked up before it as in the block loop.
template <bool Roomy, int Single, class ByteOrder>
KV_HOT int32_t row_codes(FastReader<ByteOrder>& r, uint16_t* const* rows, int32_t samples, int32_t components,
                         const HuffDecodeSpec* const* specs, uint64_t* const* memos)
{
    // One component (most lossless images): its row, table and memo stay in registers.
    if constexpr (Single != 0)
        components = 1;
    int32_t x = 0, c = 0;
    if (r.n < 10 && !r.top_up())
        return 1;
    for (;;) {
        const uint64_t before = r.buf;
        if (!r.template top_up<Roomy>())
            return 1;
        int32_t v = difference(memo_entry<kHuffMemoDifference>(memos[c], specs[c]->lookahead, before), r, specs[c]);
        if (v < 0)
            return 1;
        rows[c][x] = static_cast<uint16_t>(v);
        if (++c == components) {
            c = 0;
            if (++x == samples)
                break;
        }
        // A plain difference leaves 33 bits unless a byte-at-a-time top-up gave fewer: enough for
        // another and the next round's look-up.
        if (__builtin_expect(r.n >= 33, 1)) {
            v = difference(memo_entry<kHuffMemoDifference>(memos[c], specs[c]->lookahead, r.buf), r, specs[c]);
            if (v < 0)
                return 1;
            rows[c][x] = static_cast<uint16_t>(v);
            if (++c == components) {
                c = 0;
                if (++x == samples)
                    break;
            }
        }
        if (r.n < 10 && !r.top_up())
            return 1;
    }
    return 0;
}

template <class ByteOrder>
KV_HOT int32_t fast_row(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows, int32_t samples,
                        int32_t components, uint32_t* marker, const HuffDecodeSpec* const* specs, HuffDecodeState* st)
{
    if (components < 1 || components > 4 || *marker != 0)
        return 1;
    const int32_t start = *position;
    if (start < 0 || start > length || int64_t{length} - start < 2 * int64_t{samples} || st->bitCount < 0 ||
        st->bitCount > 32)
        return 1;
    uint64_t* memos[4] = {};
    for (int32_t c = 0; c < components; ++c) {
        HuffMemo* const slot = HuffMemoFor(specs[c], kHuffMemoDifference);
        if (slot == nullptr)
            return 1;
        memos[c] = slot->entries;
    }
    FastReader<ByteOrder> r(data, length, start, st);
    // Every difference takes at most 4 bytes, 8 when all are stuffed.
    const bool roomy = int64_t{length} - start >= 8 * int64_t{samples} * components + 16;
    const int32_t declined = components == 1
                                 ? (roomy ? row_codes<true, 1>(r, rows, samples, components, specs, memos)
                                          : row_codes<false, 1>(r, rows, samples, components, specs, memos))
                                 : (roomy ? row_codes<true, 0>(r, rows, samples, components, specs, memos)
                                          : row_codes<false, 0>(r, rows, samples, components, specs, memos));
    if (declined != 0)
        return 1;
    r.store(position, st);
    return 0;
}

}   // namespace

#undef KV_HOT
