#include "memory/zero_fill.h"

#include <emmintrin.h>

namespace {

// Fills above this size may stream past the caches.
constexpr uint32_t kStreamThreshold = 524288;

inline void store16(uint8_t* p, __m128i z)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), z);
}

inline void store8(uint8_t* p, __m128i z)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), z);
}

inline void store4(uint8_t* p)
{
    // An unaligned 32-bit store without an aliasing cast.
    __builtin_memset(p, 0, 4);
}

inline void store2(uint8_t* p)
{
    __builtin_memset(p, 0, 2);
}

// 0 to 15 bytes with at most two overlapping stores.
inline void small_fill(uint8_t* p, uint32_t n, __m128i z)
{
    if (n >= 8) {
        store8(p + n - 8, z);
        if (n > 8)
            store8(p, z);
    } else if (n >= 4) {
        store4(p + n - 4);
        if (n > 4)
            store4(p);
    } else {
        for (uint32_t i = 0; i < n; ++i)
            p[i] = 0;
    }
}

void* fill_sse2(void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    uint8_t* p = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    const __m128i z = _mm_setzero_si128();
    if (n < 16) {
        small_fill(p, n, z);
        return dst;
    }
    const uint32_t misalign = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) & 15u);
    if (misalign != 0) {
        const uint32_t h = 16 - misalign;
        if (h & 1)
            *p++ = 0;
        if (h & 2)
            store2(p), p += 2;
        if (h & 4)
            store4(p), p += 4;
        if (h & 8)
            store8(p, z), p += 8;
        n -= h;
        if (n == 0)
            return dst;
    }
    if (n > kStreamThreshold) {
        const uint32_t cache = QueryCacheSizeLeaf2();
        if (cache != 0 && n >= cache) {
            for (; n >= 16; n -= 16, p += 16)
                _mm_stream_si128(reinterpret_cast<__m128i*>(p), z);
            _mm_sfence();
            small_fill(p, n, z);
            return dst;
        }
    }
    __m128i* a = reinterpret_cast<__m128i*>(p);
    for (; n >= 64; n -= 64, a += 4) {
        _mm_store_si128(a, z);
        _mm_store_si128(a + 1, z);
        _mm_store_si128(a + 2, z);
        _mm_store_si128(a + 3, z);
    }
    for (; n >= 16; n -= 16)
        _mm_store_si128(a++, z);
    small_fill(reinterpret_cast<uint8_t*>(a), n, z);
    return dst;
}

// Level 1 keeps the 8-byte store pattern of its 64-bit vectors.
void* fill_8byte(void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    uint8_t* p = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    const __m128i z = _mm_setzero_si128();
    if (n >= 64) {
        const uint32_t misalign = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) & 7u);
        if (misalign != 0) {
            store8(p, z);
            p += 8 - misalign;
            n -= 8 - misalign;
        }
        for (; n >= 64; n -= 64, p += 64)
            for (int i = 0; i < 64; i += 8)
                store8(p + i, z);
    }
    if (n & 32) {
        for (int i = 0; i < 32; i += 8)
            store8(p + i, z);
        p += 32;
    }
    if (n & 16) {
        store8(p, z);
        store8(p + 8, z);
        p += 16;
    }
    if (n & 8)
        store8(p, z), p += 8;
    if (n & 4)
        store4(p), p += 4;
    for (uint32_t i = 0; i < (n & 3); ++i)
        p[i] = 0;
    return dst;
}

}   // namespace

template <>
void* ZeroFillBytes<1>(void* dst, int32_t count)
{
    return fill_8byte(dst, count);
}
template <>
void* ZeroFillBytes<2>(void* dst, int32_t count)
{
    return fill_sse2(dst, count);
}
template <>
void* ZeroFillBytes<3>(void* dst, int32_t count)
{
    return fill_sse2(dst, count);
}
template <>
void* ZeroFillBytes<4>(void* dst, int32_t count)
{
    return fill_sse2(dst, count);
}
template <>
void* ZeroFillBytes<5>(void* dst, int32_t count)
{
    return fill_sse2(dst, count);
}
