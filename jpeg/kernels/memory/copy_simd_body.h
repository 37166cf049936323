#pragma once

// The 16-byte copy of levels 2 to 5, included by each level's own instruction-set file: every
// helper here has internal linkage, so each file keeps the copy built with its own flags. A
// level passes in how it reads a source that is not 16-byte aligned.

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "memory/zero_fill.h"

namespace {

constexpr uint32_t kTouchBlock = 256u * 1024u;

inline __m128i load16(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i load16a(const uint8_t* p)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}
inline void store16(uint8_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}
inline void store16a(uint8_t* p, __m128i v)
{
    _mm_store_si128(reinterpret_cast<__m128i*>(p), v);
}

// 1 to 63 bytes as two pieces of the largest size that fits, one from each end (they may
// overlap): fewer branches than a piecewise copy on the short copies that are most common.
inline void short_copy(const uint8_t* s, uint8_t* d, uint32_t n)
{
    if (n >= 16) {
        if (n >= 32) {
            const __m128i a = load16(s), b = load16(s + 16), c = load16(s + n - 32), e = load16(s + n - 16);
            store16(d, a), store16(d + 16, b), store16(d + n - 32, c), store16(d + n - 16, e);
            return;
        }
        const __m128i a = load16(s), b = load16(s + n - 16);
        store16(d, a), store16(d + n - 16, b);
        return;
    }
    if (n >= 8) {
        uint64_t a, b;
        std::memcpy(&a, s, 8), std::memcpy(&b, s + n - 8, 8);
        std::memcpy(d, &a, 8), std::memcpy(d + n - 8, &b, 8);
        return;
    }
    if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, s, 4), std::memcpy(&b, s + n - 4, 4);
        std::memcpy(d, &a, 4), std::memcpy(d + n - 4, &b, 4);
        return;
    }
    if (n != 0) {
        const uint8_t a = s[0], b = s[n / 2], c = s[n - 1];
        d[0] = a, d[n / 2] = b, d[n - 1] = c;
    }
}

// Reads one byte of every 64-byte line so that the block's loads hit the cache while the
// stores go around it. Every read stays inside the source.
inline void touch(const uint8_t* s, uint32_t n)
{
    volatile uint8_t sink = 0;
    for (uint32_t i = 0; i < n; i += 64)
        sink = static_cast<uint8_t>(sink + s[i]);
    (void)sink;
}

// Non-temporal 16-byte stores in 256 KiB blocks, each block's source read ahead; d is aligned.
inline void stream_copy(const uint8_t* s, uint8_t* d, uint32_t n)
{
    while (n >= 16) {
        const uint32_t block = n >= kTouchBlock ? kTouchBlock : (n & ~15u);
        touch(s, block);
        for (uint32_t i = 0; i < block; i += 16)
            _mm_stream_si128(reinterpret_cast<__m128i*>(d + i), load16(s + i));
        s += block, d += block, n -= block;
    }
    _mm_sfence();
    short_copy(s, d, n);
}

// Both pointers 16-byte aligned.
inline void aligned_forward(const uint8_t* s, uint8_t* d, uint32_t n)
{
    for (; n >= 64; n -= 64, s += 64, d += 64) {
        const __m128i a = load16a(s), b = load16a(s + 16), c = load16a(s + 32), e = load16a(s + 48);
        store16a(d, a), store16a(d + 16, b), store16a(d + 32, c), store16a(d + 48, e);
    }
    short_copy(s, d, n);
}

// The odd tail first, then 64-byte steps from the end toward the start.
inline void aligned_backward(const uint8_t* s, uint8_t* d, uint32_t n)
{
    const uint32_t whole = n & ~63u;
    short_copy(s + whole, d + whole, n - whole);
    for (uint32_t k = whole; k > 0; k -= 64) {
        const __m128i a = load16a(s + k - 64), b = load16a(s + k - 48), c = load16a(s + k - 32),
                      e = load16a(s + k - 16);
        store16a(d + k - 16, e), store16a(d + k - 32, c), store16a(d + k - 48, b), store16a(d + k - 64, a);
    }
}

// Forward when the source runs a little ahead of the destination modulo 4 KiB, or far behind
// it: then the loads do not wait on stores to addresses that look the same.
inline bool forward_keeps_apart(const uint8_t* s, const uint8_t* d)
{
    const int32_t gap = static_cast<int32_t>(reinterpret_cast<uintptr_t>(s) & 4095u) -
                        static_cast<int32_t>(reinterpret_cast<uintptr_t>(d) & 4095u);
    return (gap > 0 && gap <= 160) || gap < -3936;
}

struct CopyLevel {
    uint32_t stream_from;   // copies of at least this many bytes may stream past the cache
    uint32_t choose_from;   // aligned copies of at least this many bytes choose their direction
    bool backward_below;    // below it: backward (else forward)
};

// The copy of one level. `unaligned` copies n >= 64 bytes to an aligned destination from a
// source that is not 16-byte aligned.
template <typename Unaligned>
void* copy_simd(const CopyLevel& level, const void* src, void* dst, int32_t count, Unaligned unaligned)
{
    if (count < 1)
        return dst;
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    if (n < 64) {
        short_copy(s, d, n);
        return dst;
    }
    // One unaligned piece, then on from the destination's next 16-byte boundary (the next piece
    // overlaps bytes already copied).
    const uint32_t misalign = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d) & 15u);
    if (misalign != 0) {
        store16(d, load16(s));
        s += 16 - misalign, d += 16 - misalign, n -= 16 - misalign;
        if (n < 64) {
            short_copy(s, d, n);
            return dst;
        }
    }
    if (n >= level.stream_from) {
        const uint32_t cache = QueryCacheSizeLeaf2();
        if (cache != 0 && n >= cache / 2) {
            stream_copy(s, d, n);
            return dst;
        }
    }
    if ((reinterpret_cast<uintptr_t>(s) & 15u) == 0) {
        const bool forward = n >= level.choose_from ? forward_keeps_apart(s, d) : !level.backward_below;
        if (forward)
            aligned_forward(s, d, n);
        else
            aligned_backward(s, d, n);
        return dst;
    }
    unaligned(s, d, n);
    return dst;
}

// Unaligned 16-byte loads into aligned stores, 64 bytes a step.
inline void unaligned_loads(const uint8_t* s, uint8_t* d, uint32_t n)
{
    for (; n >= 64; n -= 64, s += 64, d += 64) {
        const __m128i a = load16(s), b = load16(s + 16), c = load16(s + 32), e = load16(s + 48);
        store16a(d, a), store16a(d + 16, b), store16a(d + 32, c), store16a(d + 48, e);
    }
    short_copy(s, d, n);
}

}   // namespace
