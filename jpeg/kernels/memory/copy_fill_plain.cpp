#include "memory/copy_fill.h"

#include <cstring>

template <>
void* CopyBytes<0>(const void* src, void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    const uint8_t* s = static_cast<const uint8_t*>(src);
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    // Bytes up to an aligned destination, then 32-byte blocks of 4-byte moves.
    while (n > 0 && (reinterpret_cast<uintptr_t>(d) & 3u) != 0) {
        *d++ = *s++;
        --n;
    }
    for (; n >= 32; n -= 32, s += 32, d += 32)
        for (int i = 0; i < 32; i += 4)
            std::memcpy(d + i, s + i, 4);
    while (n-- > 0)
        *d++ = *s++;
    return dst;
}

template <>
void* FillWords32<0>(uint32_t value, void* dst, int32_t count)
{
    if (count < 1)
        return dst;
    uint8_t* d = static_cast<uint8_t*>(dst);
    uint32_t n = static_cast<uint32_t>(count);
    for (; n >= 8; n -= 8, d += 32)
        for (int i = 0; i < 32; i += 4)
            std::memcpy(d + i, &value, 4);
    for (; n > 0; --n, d += 4)
        std::memcpy(d, &value, 4);
    return dst;
}

template <int Level>
kernel_status CopyBytesChecked(const void* src, void* dst, int32_t count)
{
    if (src == nullptr || dst == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    if constexpr (Level == 1) {
        if (count >= 16384)
            CopyBytesLarge(src, dst, count);
        else if (count >= 8192)
            CopyBytesStream(src, dst, count);
        else
            CopyBytes<1>(src, dst, count);
    } else {
        CopyBytes<Level>(src, dst, count);
    }
    return kernel_ok;
}

template kernel_status CopyBytesChecked<0>(const void*, void*, int32_t);
template kernel_status CopyBytesChecked<1>(const void*, void*, int32_t);
template kernel_status CopyBytesChecked<2>(const void*, void*, int32_t);
template kernel_status CopyBytesChecked<3>(const void*, void*, int32_t);
template kernel_status CopyBytesChecked<4>(const void*, void*, int32_t);
template kernel_status CopyBytesChecked<5>(const void*, void*, int32_t);

#if !(defined(__x86_64__) || defined(__i386__))
// Without the SIMD bodies every level runs the plain one.
#define KV_PLAIN_LEVEL(L)                                                                                              \
    template <>                                                                                                        \
    void* CopyBytes<L>(const void* s, void* d, int32_t n)                                                              \
    {                                                                                                                  \
        return CopyBytes<0>(s, d, n);                                                                                  \
    }                                                                                                                  \
    template <>                                                                                                        \
    void* FillWords32<L>(uint32_t v, void* d, int32_t n)                                                               \
    {                                                                                                                  \
        return FillWords32<0>(v, d, n);                                                                                \
    }
KV_PLAIN_LEVEL(1)
KV_PLAIN_LEVEL(2)
KV_PLAIN_LEVEL(3)
KV_PLAIN_LEVEL(4)
KV_PLAIN_LEVEL(5)
#undef KV_PLAIN_LEVEL
void* CopyBytesStream(const void* src, void* dst, int32_t count)
{
    return CopyBytes<0>(src, dst, count);
}
void* CopyBytesLarge(const void* src, void* dst, int32_t count)
{
    return CopyBytes<0>(src, dst, count);
}
void PrefetchBytes(const void*, int32_t)
{
}
#endif
