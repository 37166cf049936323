#include "memory/zero_fill.h"

#include <cstring>

#include "processor/cpu_query.h"

const uint8_t cacheDescriptorSizes[57] = {
    0x4D, 0x16,                                                               // 16 MiB
    0x4C, 0x34,                                                               // 12 MiB
    0x4B, 0x15, 0x47, 0x15,                                                   // 8 MiB
    0x4E, 0x33, 0x4A, 0x33,                                                   // 6 MiB
    0x49, 0x14, 0x29, 0x14, 0x46, 0x14,                                       // 4 MiB
    0x48, 0x32,                                                               // 3 MiB
    0x25, 0x13, 0x7D, 0x13, 0x85, 0x13, 0x45, 0x13,                           // 2 MiB
    0x23, 0x12, 0x87, 0x12, 0x7C, 0x12, 0x78, 0x12, 0x84, 0x12,               // 1 MiB
    0x44, 0x12, 0x22, 0x11, 0x7B, 0x11, 0x80, 0x11, 0x86, 0x11, 0x3E, 0x11,   // 512 KiB
    0x7F, 0x11, 0x83, 0x11, 0x43, 0x11, 0x00,
};

uint32_t QueryCacheSizeLeaf2()
{
    if (CheckCpuidPresent() == 0 || CheckCpuVendor() == 0)
        return 0;
    uint32_t r[4];
    cpuid_ask(r, 2, 0);
    if ((r[0] & 0xFFu) != 1)
        return 0;

    // Bytes 1-3 of EAX and all of EBX, ECX, EDX are descriptors, unless bit 31 marks a word
    // as carrying none.
    uint8_t reported[15];
    int n = 0;
    for (int w = 0; w < 4; ++w) {
        if ((r[w] & 0x80000000u) != 0)
            continue;
        for (int b = (w == 0 ? 1 : 0); b < 4; ++b) {
            const uint8_t d = static_cast<uint8_t>(r[w] >> (8 * b));
            if (d != 0)
                reported[n++] = d;
        }
    }
    for (const uint8_t* e = cacheDescriptorSizes; e[0] != 0; e += 2)
        for (int i = 0; i < n; ++i)
            if (reported[i] == e[0])
                return uint32_t(e[1] >> 4) << ((e[1] & 15) + 18);
    return 0;
}

template <>
void* ZeroFillBytes<0>(void* dst, int32_t count)
{
    uint8_t* p = static_cast<uint8_t*>(dst);
    if (count < 1)
        return dst;
    uint32_t n = static_cast<uint32_t>(count);
    while (n > 0 && (reinterpret_cast<uintptr_t>(p) & 3u) != 0) {
        *p++ = 0;
        --n;
    }
    const uint32_t zero = 0;
    for (; n >= 32; n -= 32, p += 32)
        for (int i = 0; i < 32; i += 4)
            std::memcpy(p + i, &zero, 4);
    while (n-- > 0)
        *p++ = 0;
    return dst;
}

#if !(defined(__x86_64__) || defined(__i386__))
// Without the SIMD bodies every level runs the plain one.
template <>
void* ZeroFillBytes<1>(void* dst, int32_t count)
{
    return ZeroFillBytes<0>(dst, count);
}
template <>
void* ZeroFillBytes<2>(void* dst, int32_t count)
{
    return ZeroFillBytes<0>(dst, count);
}
template <>
void* ZeroFillBytes<3>(void* dst, int32_t count)
{
    return ZeroFillBytes<0>(dst, count);
}
template <>
void* ZeroFillBytes<4>(void* dst, int32_t count)
{
    return ZeroFillBytes<0>(dst, count);
}
template <>
void* ZeroFillBytes<5>(void* dst, int32_t count)
{
    return ZeroFillBytes<0>(dst, count);
}
#endif
