#pragma once

// The copy of level 5 with 32- or 64-byte pieces, included by the AVX2 and AVX-512 files: every
// helper here has internal linkage, so each file keeps the copy built with its own flags. A file
// passes in its vector: T, the width W, and loadu, storeu, storea and stream.

#include <immintrin.h>

#include <cstdint>

#include "memory/copy_simd_body.h"

namespace {

constexpr uint32_t kStreamFrom = 1u << 20;   // as the level's other bodies

// Up to 64 bytes as two pieces of the largest size that fits, one from each end.
inline void copy_upto64(const uint8_t* s, uint8_t* d, uint32_t n)
{
    if (n < 32) {
        short_copy(s, d, n);
        return;
    }
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + n - 32));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + n - 32), b);
}

// Loads four pieces from q and stores them at the aligned p, 4 W bytes.
template <class V, bool Stream = false>
inline void step4(uint8_t* p, const uint8_t* q)
{
    constexpr uint32_t W = V::W;
    const typename V::T a = V::loadu(q), b = V::loadu(q + W), c = V::loadu(q + 2 * W), e = V::loadu(q + 3 * W);
    if constexpr (Stream) {
        V::stream(p, a), V::stream(p + W, b), V::stream(p + 2 * W, c), V::stream(p + 3 * W, e);
    } else {
        V::storea(p, a), V::storea(p + W, b), V::storea(p + 2 * W, c), V::storea(p + 3 * W, e);
    }
}

// Pieces loaded from both ends before any is stored: n from 2 W to 8 W bytes.
template <class V>
inline void copy_ends(const uint8_t* s, uint8_t* d, uint32_t n)
{
    constexpr uint32_t W = V::W;
    if (n <= 2 * W) {
        const typename V::T a = V::loadu(s), b = V::loadu(s + n - W);
        V::storeu(d, a), V::storeu(d + n - W, b);
    } else if (n <= 4 * W) {
        const typename V::T a = V::loadu(s), b = V::loadu(s + W), c = V::loadu(s + n - 2 * W), e = V::loadu(s + n - W);
        V::storeu(d, a), V::storeu(d + W, b), V::storeu(d + n - 2 * W, c), V::storeu(d + n - W, e);
    } else {
        const typename V::T a = V::loadu(s), b = V::loadu(s + W), c = V::loadu(s + 2 * W), e = V::loadu(s + 3 * W);
        const typename V::T f = V::loadu(s + n - 4 * W), g = V::loadu(s + n - 3 * W), h = V::loadu(s + n - 2 * W),
                            k = V::loadu(s + n - W);
        V::storeu(d, a), V::storeu(d + W, b), V::storeu(d + 2 * W, c), V::storeu(d + 3 * W, e);
        V::storeu(d + n - 4 * W, f), V::storeu(d + n - 3 * W, g), V::storeu(d + n - 2 * W, h), V::storeu(d + n - W, k);
    }
}

template <class V>
void* copy_wide(const void* src, void* dst, int32_t count)
{
    constexpr uint32_t W = V::W;
    if (count < 1)
        return dst;
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    const uint32_t n = static_cast<uint32_t>(count);
    if (n <= 64) {
        copy_upto64(s, d, n);
        return dst;
    }
    if (n <= 8 * W) {
        copy_ends<V>(s, d, n);
        return dst;
    }
    // Aligned stores in between; the pieces at either end are loaded first and stored last, so
    // no step needs a remainder. Each step's source is found from its destination.
    uint8_t* const end = d + n;
    const auto from = [s, d](const uint8_t* p) { return s + (p - d); };
    // A destination a little past the source modulo 4 KiB makes forward loads wait on stores
    // that look like theirs: go backward then.
    const uintptr_t ahead = (reinterpret_cast<uintptr_t>(d) - reinterpret_cast<uintptr_t>(s)) & 4095u;
    if (ahead != 0 && ahead < 256 && n < kStreamFrom) {
        const typename V::T a = V::loadu(s), b = V::loadu(s + W), c = V::loadu(s + 2 * W), e = V::loadu(s + 3 * W);
        const typename V::T k = V::loadu(s + n - W);
        uint8_t* p = reinterpret_cast<uint8_t*>(reinterpret_cast<uintptr_t>(end) & ~uintptr_t(W - 1));
        for (; p > d + 4 * W; p -= 4 * W)
            step4<V>(p - 4 * W, from(p - 4 * W));
        V::storeu(d, a), V::storeu(d + W, b), V::storeu(d + 2 * W, c), V::storeu(d + 3 * W, e);
        V::storeu(end - W, k);
        return dst;
    }
    const typename V::T a = V::loadu(s);
    const typename V::T f = V::loadu(s + n - 4 * W), g = V::loadu(s + n - 3 * W), h = V::loadu(s + n - 2 * W),
                        k = V::loadu(s + n - W);
    uint8_t* p = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(d) + W) & ~uintptr_t(W - 1));
    uint8_t* const stop = end - 4 * W;
    const uint32_t cache = n >= kStreamFrom ? QueryCacheSizeLeaf2() : 0;
    if (cache != 0 && n >= cache / 2) {
        while (p < stop) {
            // Whole steps; the last ends before the destination's end, so the touch stays
            // inside the source.
            const uintptr_t left = static_cast<uintptr_t>(stop - p);
            const uint32_t block =
                left >= kTouchBlock ? kTouchBlock : static_cast<uint32_t>((left + 4 * W - 1) & ~uintptr_t(4 * W - 1));
            touch(from(p), block);
            for (uint8_t* b = p + block; p < b; p += 4 * W)
                step4<V, true>(p, from(p));
        }
        _mm_sfence();
    } else {
        for (; p < stop; p += 4 * W)
            step4<V>(p, from(p));
    }
    V::storeu(d, a);
    V::storeu(end - 4 * W, f), V::storeu(end - 3 * W, g), V::storeu(end - 2 * W, h), V::storeu(end - W, k);
    return dst;
}

}   // namespace
