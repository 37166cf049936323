#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Byte copies and 32-bit fills, one copy per dispatch level (the kernels of a level call that
// one). Every level writes the same bytes; none needs any alignment. A count below 1 writes
// nothing. Levels 2 to 5 stream past the caches for copies of at least half the cache (level 2
// above 128 KiB, level 3 from 512 KiB, levels 4 and 5 from 1 MiB) and fills of more than the
// whole cache (above 262,144 words), the cache size asked of the processor on each such call;
// other processors use cached stores only. Aligned copies of levels 3 to 5 run backward or
// forward so that source and destination do not meet modulo 4 KiB; levels 4 and 5 read a
// source 4 bytes off alignment with aligned loads shifted together (level 5 without AVX2),
// never outside it.

// Copies count bytes from src to dst (not overlapping) and returns dst.
template <int Level>
void* CopyBytes(const void* src, void* dst, int32_t count);
// -8 for a null pointer, -6 for a count below 1 (nothing copied), else copies and returns 0.
// Level 1 copies below 8,192 bytes with CopyBytes, below 16,384 with CopyBytesStream and from
// 16,384 with CopyBytesLarge.
template <int Level>
kernel_status CopyBytesChecked(const void* src, void* dst, int32_t count);
// Writes count 32-bit words equal to value at dst and returns dst.
template <int Level>
void* FillWords32(uint32_t value, void* dst, int32_t count);

// Level 1: copies with streaming stores, the large one reading each 4 KiB source block ahead.
void* CopyBytesStream(const void* src, void* dst, int32_t count);
void* CopyBytesLarge(const void* src, void* dst, int32_t count);
// Level 5's copies on processors with AVX2 or AVX-512 (the caller checks): the same bytes and
// the same streaming rule, with 32- or 64-byte pieces and unaligned loads of any source.
void* CopyBytesAvx2(const void* src, void* dst, int32_t count);
void* CopyBytesAvx512(const void* src, void* dst, int32_t count);
// Reads ahead over a byte range without keeping it in the caches.
void PrefetchBytes(const void* start, int32_t count);

#define KV_COPY_FILL_LEVEL(L)                                                                                          \
    template <>                                                                                                        \
    void* CopyBytes<L>(const void* src, void* dst, int32_t count);                                                     \
    template <>                                                                                                        \
    void* FillWords32<L>(uint32_t value, void* dst, int32_t count);
KV_COPY_FILL_LEVEL(0)
KV_COPY_FILL_LEVEL(1)
KV_COPY_FILL_LEVEL(2)
KV_COPY_FILL_LEVEL(3)
KV_COPY_FILL_LEVEL(4)
KV_COPY_FILL_LEVEL(5)
#undef KV_COPY_FILL_LEVEL
