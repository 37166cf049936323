#pragma once

#include <cstdint>

// Sets count bytes at dst to zero and returns dst; a count below 1 writes nothing. dst needs no
// alignment. Each dispatch level has its own copy and the kernels of a level call that one:
// level 0 plain 32-bit stores, level 1 8-byte stores, levels 2 to 5 16-byte stores with
// non-temporal stores for fills of at least the cache size above 512 KiB. Every level writes
// the same bytes.
template <int Level>
void* ZeroFillBytes(void* dst, int32_t count);

template <>
void* ZeroFillBytes<0>(void* dst, int32_t count);
template <>
void* ZeroFillBytes<1>(void* dst, int32_t count);
template <>
void* ZeroFillBytes<2>(void* dst, int32_t count);
template <>
void* ZeroFillBytes<3>(void* dst, int32_t count);
template <>
void* ZeroFillBytes<4>(void* dst, int32_t count);
template <>
void* ZeroFillBytes<5>(void* dst, int32_t count);

// Pairs of (cpuid leaf-2 descriptor, size byte), largest cache first, ended by a zero byte. A
// size byte b stands for (b >> 4) << ((b & 15) + 18) bytes.
extern const uint8_t cacheDescriptorSizes[57];

// Size in bytes of the cache that cpuid leaf 2 describes, for "GenuineIntel" processors that
// answer leaf 2 in one query; 0 when none is found. Asks the processor on every call.
uint32_t QueryCacheSizeLeaf2();
