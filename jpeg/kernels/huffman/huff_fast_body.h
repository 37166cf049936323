#pragma once

// The fast block and row decoders, included only by the files compiled for one instruction set;
// everything here has internal linkage so that each includer keeps its own copy. ByteOrder
// supplies load8(p, &value): the 8 bytes at p as a big-endian value, true when none is 0xFF.

#include <emmintrin.h>

#include <cstdint>

#include "huffman/huff_decode.h"

namespace {

// 16-byte stores at any alignment.
void clear_block(int16_t* block)
{
    const __m128i z = _mm_setzero_si128();
    for (int i = 0; i < 64; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + i), z);
}

// Unread bits left-aligned (the next one is bit 63); the bits below the count are zero.
template <class ByteOrder>
struct FastReader {
    const uint8_t* data;
    int32_t length;
    int32_t pos;
    uint64_t buf;
    int32_t n;

    FastReader(const uint8_t* d, int32_t len, int32_t p, const HuffDecodeState* st)
        : data(d), length(len), pos(p), n(st->bitCount)
    {
        buf = n > 0 ? (uint64_t{st->bitBuffer} << (64 - n)) : 0;
    }

    // Entered with fewer than 16 bits held. Whole bytes of a group without 0xFF, else a byte at a
    // time through stuffed zeros; false at the data's end, at a marker or at fill bytes.
    bool refill()
    {
        if (length - pos < 8) return false;
        uint64_t v;
        if (ByteOrder::load8(data + pos, &v)) {
            const int32_t m = (n + 7) & ~7;
            buf |= (v >> m << m) >> n;
            pos += (64 - m) >> 3;
            n += 64 - m;
            return true;
        }
        while (n <= 24) {
            const uint64_t b = data[pos];
            if (b == 0xFF) {
                if (data[pos + 1] != 0) return false;
                pos += 2;
            } else {
                pos += 1;
            }
            buf |= b << (56 - n);
            n += 8;
        }
        return true;
    }

    bool need(int32_t k) { return n >= k || refill(); }

    uint32_t take(int32_t k)
    {
        const uint32_t v = static_cast<uint32_t>(buf >> (64 - k));
        buf <<= k;
        n -= k;
        return v;
    }

    bool symbol(const HuffDecodeSpec* spec, uint32_t* sym)
    {
        if (!need(8)) return false;
        const uint32_t e = spec->lookahead[buf >> 56];
        if (e >> 16 != 0) {
            take(static_cast<int32_t>(e >> 16));
            *sym = e & 0xFFFF;
            return true;
        }
        if (!need(16)) return false;
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

    bool value(int32_t s, int32_t* v)
    {
        if (!need(s)) return false;
        const uint32_t raw = take(s);
        *v = raw < (1u << (s - 1)) ? static_cast<int32_t>(raw) + 1 - (1 << s) : static_cast<int32_t>(raw);
        return true;
    }

    // Right-aligned into the 32-bit state; whole bytes above 32 bits go back to the data (they
    // came from a group without 0xFF, so each is one byte of the data).
    void store(int32_t* position, HuffDecodeState* st)
    {
        uint64_t right = n > 0 ? buf >> (64 - n) : 0;
        if (n >= 32) {
            const int32_t back = (((n + 7) & ~7) - 32) >> 3;
            right >>= 8 * back;
            n -= 8 * back;
            pos -= back;
        }
        st->bitBuffer = static_cast<uint32_t>(right);
        st->bitCount = n;
        *position = pos;
    }
};

template <class ByteOrder>
int32_t fast_block(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                   uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac, HuffDecodeState* st)
{
    if (*marker != 0) return 1;
    clear_block(block);
    st->blockEnd = 0;
    const int32_t start = *position;
    if (start < 0 || start > length || length - start < 24 || st->bitCount < 0 || st->bitCount > 32) return 1;
    FastReader<ByteOrder> r(data, length, start, st);

    uint32_t sym;
    if (!r.symbol(dc, &sym)) return 1;
    int16_t pred = *last_dc;
    if ((sym & 15) != 0) {
        int32_t v;
        if (!r.value(static_cast<int32_t>(sym & 15), &v)) return 1;
        pred = static_cast<int16_t>(static_cast<uint16_t>(pred + v));
    }
    block[0] = pred;

    int32_t k = 1;
    while (k < 64) {
        if (!r.symbol(ac, &sym)) return 1;
        const int32_t run = static_cast<int32_t>(sym >> 4 & 15), size = static_cast<int32_t>(sym & 15);
        if (size == 0) {
            if (run != 15) break;
            k += 16;
            if (k > 63) return 1;
            continue;
        }
        k += run;
        if (k > 63) return 1;
        int32_t v;
        if (!r.value(size, &v)) return 1;
        block[huff_zigzag_natural[k]] = static_cast<int16_t>(v);
        ++k;
    }
    st->blockEnd = k;
    *last_dc = pred;
    r.store(position, st);
    return 0;
}

template <class ByteOrder>
int32_t fast_row(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows, int32_t samples,
                 int32_t components, uint32_t* marker, const HuffDecodeSpec* const* specs, HuffDecodeState* st)
{
    if (components < 1 || components > 4 || *marker != 0) return 1;
    const int32_t start = *position;
    if (start < 0 || start > length || int64_t{length} - start < 2 * int64_t{samples} || st->bitCount < 0 ||
        st->bitCount > 32)
        return 1;
    FastReader<ByteOrder> r(data, length, start, st);
    for (int32_t x = 0; x < samples; ++x)
        for (int32_t c = 0; c < components; ++c) {
            uint32_t s;
            if (!r.symbol(specs[c], &s)) return 1;
            int32_t v = 0;
            if (s >= 16)
                v = 32768;
            else if (s != 0 && !r.value(static_cast<int32_t>(s), &v))
                return 1;
            rows[c][x] = static_cast<uint16_t>(v);
        }
    r.store(position, st);
    return 0;
}

}  // namespace
