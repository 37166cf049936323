#include <emmintrin.h>

#include <cstring>

#include "memory/copy_fill.h"
#include "memory/copy_simd_body.h"
#include "memory/zero_fill.h"

namespace {

constexpr uint32_t kStreamFillWords = 262144;   // fills stream above this many words

// From 64 bytes on: one unaligned 16-byte piece, then both pointers advance to the destination's
// next 16-byte boundary (the following piece overlaps bytes already copied).
inline void align_destination(const uint8_t*& s, uint8_t*& d, uint32_t& n)
{
    const uint32_t misalign = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(d) & 15u);
    if (misalign == 0)
        return;
    store16(d, load16(s));
    const uint32_t step = 16 - misalign;
    s += step, d += step, n -= step;
}

// Level 2: streams above 128 KiB, copies forward only, and reads an unaligned source 8 bytes at
// a time (4 when it is only 4-byte aligned).
void* copy_level2(const void* src, void* dst, int32_t count)
{
    static constexpr CopyLevel level{(128u << 10) + 1, 0xFFFFFFFFu, false};
    return copy_simd(level, src, dst, count, [](const uint8_t* s, uint8_t* d, uint32_t n) {
        const bool words = (reinterpret_cast<uintptr_t>(s) & 7u) == 4;
        for (; n >= 64; n -= 64, s += 64, d += 64)
            for (int i = 0; i < 64; i += 16) {
                __m128i v;
                if (words) {
                    uint32_t w[4];
                    std::memcpy(w, s + i, 16);
                    v = _mm_setr_epi32(static_cast<int32_t>(w[0]), static_cast<int32_t>(w[1]),
                                       static_cast<int32_t>(w[2]), static_cast<int32_t>(w[3]));
                } else {
                    v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i)),
                                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + i + 8)));
                }
                store16a(d + i, v);
            }
        short_copy(s, d, n);
    });
}

// Level 1: 8-byte moves, cached.
void* copy_8byte(const void* src, void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    if (n >= 64) {
        align_destination(s, d, n);
        for (; n >= 64; n -= 64, s += 64, d += 64)
            for (int i = 0; i < 64; i += 8)
                std::memcpy(d + i, s + i, 8);
    }
    for (; n >= 8; n -= 8, s += 8, d += 8)
        std::memcpy(d, s, 8);
    if (n & 4)
        std::memcpy(d, s, 4), s += 4, d += 4;
    if (n & 2)
        std::memcpy(d, s, 2), s += 2, d += 2;
    if (n & 1)
        *d = *s;
    return dst;
}

void* fill_sse2(uint32_t value, void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    const uintptr_t addr = reinterpret_cast<uintptr_t>(d);
    if ((addr & 1u) != 0) {
        for (; n > 0; --n, d += 4)
            std::memcpy(d, &value, 4);
        return dst;
    }
    if ((addr & 2u) != 0) {
        // The first and last words in place; the rest is a 4-byte aligned run of the halves swapped.
        std::memcpy(d, &value, 4);
        std::memcpy(d + 4 * (n - 1), &value, 4);
        if (n <= 2)
            return dst;
        value = value >> 16 | value << 16;
        d += 2;
        n -= 1;
        // n swapped words from d run 2 bytes into the last word, which holds the same bytes.
        uint8_t* end = d + 4 * n;
        for (; d + 4 <= end && (reinterpret_cast<uintptr_t>(d) & 15u) != 0; d += 4)
            std::memcpy(d, &value, 4);
        const __m128i v = _mm_set1_epi32(static_cast<int32_t>(value));
        for (; d + 16 <= end; d += 16)
            _mm_store_si128(reinterpret_cast<__m128i*>(d), v);
        for (; d + 4 <= end; d += 4)
            std::memcpy(d, &value, 4);
        return dst;
    }
    const __m128i v = _mm_set1_epi32(static_cast<int32_t>(value));
    for (; n > 0 && (reinterpret_cast<uintptr_t>(d) & 15u) != 0; --n, d += 4)
        std::memcpy(d, &value, 4);
    if (n > kStreamFillWords) {
        const uint32_t cache = QueryCacheSizeLeaf2();
        if (cache != 0 && uint64_t(n) * 4 > cache) {
            for (; n >= 4; n -= 4, d += 16)
                _mm_stream_si128(reinterpret_cast<__m128i*>(d), v);
            _mm_sfence();
        }
    }
    for (; n >= 16; n -= 16, d += 64) {
        _mm_store_si128(reinterpret_cast<__m128i*>(d), v);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 16), v);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 32), v);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 48), v);
    }
    for (; n >= 4; n -= 4, d += 16)
        _mm_store_si128(reinterpret_cast<__m128i*>(d), v);
    for (; n > 0; --n, d += 4)
        std::memcpy(d, &value, 4);
    return dst;
}

// Level 1: the value doubled into 8 bytes, cached 8-byte stores.
void* fill_8byte(uint32_t value, void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    uint8_t* d = static_cast<uint8_t*>(dst);
    const uint64_t pair = uint64_t(value) << 32 | value;
    uint32_t n = static_cast<uint32_t>(count);
    for (; n >= 2; n -= 2, d += 8)
        std::memcpy(d, &pair, 8);
    if (n != 0)
        std::memcpy(d, &value, 4);
    return dst;
}

}   // namespace

void PrefetchBytes(const void* start, int32_t count)
{
    if (count < 1)
        return;
    const uint8_t* p = static_cast<const uint8_t*>(start);
    volatile uint8_t sink = 0;
    for (uint32_t done = 0, n = static_cast<uint32_t>(count); done < n;) {
        const uint32_t block = n - done < 4096 ? n - done : 4096;
        sink = static_cast<uint8_t>(sink + p[done] + p[done + block - 1]);
        for (uint32_t i = 0; i < block; i += 32)
            _mm_prefetch(reinterpret_cast<const char*>(p + done + i), _MM_HINT_NTA);
        done += block;
    }
    (void)sink;
}

void* CopyBytesStream(const void* src, void* dst, int32_t count)
{
    if (count < 64)
        return copy_8byte(src, dst, count);
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    align_destination(s, d, n);
    for (; n >= 64; n -= 64, s += 64, d += 64)
        for (int i = 0; i < 64; i += 8) {
            long long q;
            std::memcpy(&q, s + i, 8);
            _mm_stream_si64(reinterpret_cast<long long*>(d + i), q);
        }
    _mm_sfence();
    copy_8byte(s, d, static_cast<int32_t>(n));
    return dst;
}

void* CopyBytesLarge(const void* src, void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    for (; n > 0 && (reinterpret_cast<uintptr_t>(d) & 7u) != 0; --n)
        *d++ = *s++;
    if (n < 20480) {
        CopyBytesStream(s, d, static_cast<int32_t>(n));
        return dst;
    }
    const uint32_t page = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s) & 4095u) & ~7u;
    if (page != 0) {
        CopyBytesStream(s, d, static_cast<int32_t>(4096 - page));
        s += 4096 - page, d += 4096 - page, n -= 4096 - page;
    }
    for (; n >= 4096; n -= 4096, s += 4096, d += 4096) {
        PrefetchBytes(s, 4096);
        CopyBytesStream(s, d, 4096);
    }
    CopyBytesStream(s, d, static_cast<int32_t>(n));
    return dst;
}

template <>
void* CopyBytes<1>(const void* s, void* d, int32_t n)
{
    return copy_8byte(s, d, n);
}
template <>
void* CopyBytes<2>(const void* s, void* d, int32_t n)
{
    return copy_level2(s, d, n);
}
template <>
void* FillWords32<1>(uint32_t v, void* d, int32_t n)
{
    return fill_8byte(v, d, n);
}
template <>
void* FillWords32<2>(uint32_t v, void* d, int32_t n)
{
    return fill_sse2(v, d, n);
}
template <>
void* FillWords32<3>(uint32_t v, void* d, int32_t n)
{
    return fill_sse2(v, d, n);
}
template <>
void* FillWords32<4>(uint32_t v, void* d, int32_t n)
{
    return fill_sse2(v, d, n);
}
template <>
void* FillWords32<5>(uint32_t v, void* d, int32_t n)
{
    return fill_sse2(v, d, n);
}
