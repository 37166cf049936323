#include <emmintrin.h>

#include <cstring>

#include "memory/zero_fill.h"
#include "quanttable/quant_table_internal.h"
#include "transform/forward_dct.h"

namespace {

alignas(16) constexpr uint32_t kNaturalToZigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63,
};

inline void put16(uint8_t* d, uint16_t v)
{
    std::memcpy(d, &v, 2);
}

inline void stream8(uint8_t* p, __m128i v)
{
#if defined(__x86_64__)
    _mm_stream_si64(reinterpret_cast<long long*>(p), _mm_cvtsi128_si64(v));
#else
    _mm_stream_si32(reinterpret_cast<int*>(p), _mm_cvtsi128_si32(v));
    _mm_stream_si32(reinterpret_cast<int*>(p + 4), _mm_cvtsi128_si32(_mm_srli_si128(v, 4)));
#endif
}

// Levels 2 to 5: align the output to 16 bytes, then 32 and 16 values per step.
void widen_row_sse2(const uint8_t* src, uint16_t* dst, int64_t count, bool streaming)
{
    auto* d = reinterpret_cast<uint8_t*>(dst);
    while (count > 0 && (reinterpret_cast<uintptr_t>(d) & 15u) != 0) {
        put16(d, *src++);
        d += 2;
        --count;
    }
    const __m128i zero = _mm_setzero_si128();
    if (count >= 32) {
        for (; count >= 32; count -= 32, src += 32, d += 64)
            for (int k = 0; k < 4; ++k) {
                const __m128i v =
                    _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + 8 * k)), zero);
                auto* out = reinterpret_cast<__m128i*>(d + 16 * k);
                if (streaming)
                    _mm_stream_si128(out, v);
                else
                    _mm_store_si128(out, v);
            }
        if (streaming)
            _mm_sfence();
    }
    if (count >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        _mm_store_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(v, zero));
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 16), _mm_unpackhi_epi8(v, zero));
        count -= 16, src += 16, d += 32;
    }
    for (; count > 0; --count, d += 2)
        put16(d, *src++);
}

// Level 1: always streams, in 8-byte stores.
void widen_row_stream8(const uint8_t* src, uint16_t* dst, int64_t count, bool)
{
    auto* d = reinterpret_cast<uint8_t*>(dst);
    while (count > 0 && (reinterpret_cast<uintptr_t>(d) & 7u) != 0) {
        put16(d, *src++);
        d += 2;
        --count;
    }
    const __m128i zero = _mm_setzero_si128();
    for (; count >= 16; count -= 16, src += 16, d += 32) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
        const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        stream8(d, lo);
        stream8(d + 8, _mm_unpackhi_epi64(lo, lo));
        stream8(d + 16, hi);
        stream8(d + 24, _mm_unpackhi_epi64(hi, hi));
    }
    for (; count > 0; --count, d += 2)
        put16(d, *src++);
    _mm_sfence();
}

// Single precision: the scalar step rounds the correctly rounded quotient to nearest even.
inline uint16_t div_scalar(float v, uint16_t q)
{
    return static_cast<uint16_t>(_mm_cvtss_si32(_mm_set_ss(v / static_cast<float>(q))));
}

kernel_status div_float_all(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count)
{
    kernel_status status = kernel_ok;
    const float v = static_cast<float>(value);
    int32_t i = 0;
    auto scalar = [&](int32_t k) {
        const uint16_t q = src[k];
        if (q == 0) {
            dst[k] = 65535;
            status = kernel_division_by_zero;
        } else {
            dst[k] = div_scalar(v, q);
        }
    };
    for (; i < count && (reinterpret_cast<uintptr_t>(dst + i) & 14u) != 0; ++i)
        scalar(i);
    const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi16(1);
    const __m128 vv = _mm_set1_ps(v), fone = _mm_set1_ps(1.0f);
    const __m128i vvalue = _mm_set1_epi16(static_cast<int16_t>(value));
    const bool big = value > 32767;
    __m128i any_zero = zero;
    for (; i + 8 <= count; i += 8) {
        __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i z = _mm_cmpeq_epi16(x, zero);
        const __m128i was_one = _mm_cmpeq_epi16(x, one);
        any_zero = _mm_or_si128(any_zero, z);
        x = _mm_or_si128(x, _mm_and_si128(z, one));
        __m128i halves[2] = {_mm_unpacklo_epi16(x, zero), _mm_unpackhi_epi16(x, zero)};
        for (__m128i& h : halves) {
            const __m128 d = _mm_cvtepi32_ps(h);
            const __m128 r = _mm_rcp_ps(d);
            const __m128 e = _mm_sub_ps(fone, _mm_mul_ps(d, r));
            const __m128 y0 = _mm_mul_ps(vv, r);
            const __m128 y1 = _mm_add_ps(y0, _mm_mul_ps(e, y0));
            const __m128 y = _mm_add_ps(y1, _mm_mul_ps(_mm_mul_ps(e, e), y1));
            h = _mm_cvtps_epi32(y);
        }
        __m128i q = _mm_packs_epi32(halves[0], halves[1]);
        if (big)
            q = _mm_or_si128(_mm_andnot_si128(was_one, q), _mm_and_si128(was_one, vvalue));
        q = _mm_or_si128(q, z);   // 65535 where the divisor was 0
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), q);
    }
    if (_mm_movemask_epi8(any_zero) != 0)
        status = kernel_division_by_zero;
    for (; i < count; ++i)
        scalar(i);
    return status;
}

constexpr int64_t contiguous_limit(int level)
{
    return level >= 4 ? 1398101 : 699050;
}

constexpr int64_t area_limit(int level)
{
    return level >= 4 ? 2796202 : 1398100;
}

inline void zero_stream_bytes(uint8_t* p, int32_t count)
{
    if (count < 1)
        return;
    uint32_t n = static_cast<uint32_t>(count);
    if (n < 8) {
        for (uint32_t i = 0; i < n; ++i)
            p[i] = 0;
        return;
    }
    const __m128i z = _mm_setzero_si128();
    const uint32_t mis = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p) & 7u);
    if (mis != 0) {
        std::memset(p, 0, 8);
        p += 8 - mis;
        n -= 8 - mis;
    }
    for (; n >= 64; n -= 64, p += 64)
        for (int k = 0; k < 64; k += 8)
            stream8(p + k, z);
    for (uint32_t block = 32; block >= 8; block /= 2)
        if (n >= block) {
            for (uint32_t k = 0; k < block; k += 8)
                stream8(p + k, z);
            p += block;
            n -= block;
        }
    if (n >= 4) {
        _mm_stream_si32(reinterpret_cast<int*>(p), 0);
        p += 4;
        n -= 4;
    }
    for (; n > 0; --n)
        *p++ = 0;
    _mm_sfence();
}

}   // namespace

void* ZeroFillStream(void* dst, int32_t byteCount)
{
    zero_stream_bytes(static_cast<uint8_t*>(dst), byteCount);
    return dst;
}

// Level 1 streams from 10,240 values on.
static void* fill_level1(void* dst, int32_t bytes)
{
    return bytes >= 2 * 10240 ? ZeroFillStream(dst, bytes) : ZeroFillBytes<1>(dst, bytes);
}

template <int Level>
kernel_status ZeroFill16(void* dst, int32_t count)
{
    return zero_fill16_in_pieces(dst, count, Level == 1 ? &fill_level1 : &ZeroFillBytes<Level>);
}

template <int Level>
void Widen8uTo16uRow(const uint8_t* src, uint16_t* dst, int64_t count, bool streaming)
{
    if (Level == 1)
        widen_row_stream8(src, dst, count, streaming);
    else
        widen_row_sse2(src, dst, count, streaming);
}

template <int Level>
kernel_status Widen8uTo16u(const uint8_t* src, int32_t srcStep, uint16_t* dst, int32_t dstStep, int32_t width,
                           int32_t height)
{
    return widen_rows(src, srcStep, dst, dstStep, width, height, &Widen8uTo16uRow<Level>, contiguous_limit(Level),
                      area_limit(Level));
}

template <int Level>
kernel_status ZigzagToNatural16(const uint16_t* src, uint16_t* dst)
{
    if (src == nullptr || dst == nullptr)
        return kernel_null_pointer;
    for (int n = 0; n < 64; ++n)
        dst[n] = src[kNaturalToZigzag[n]];
    return kernel_ok;
}

template <int Level>
kernel_status DivValueBy16u(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count)
{
    return div_value_checked(src, value, dst, count, &ZeroFill16<Level>,
                             Level == 1 ? &div_integer_all : &div_float_all);
}

template <int Level>
kernel_status DivValueBy16uInPlace(uint16_t value, uint16_t* data, int32_t count)
{
    if (data == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    return DivValueBy16u<Level>(data, value, data, count);
}

template <int Level>
kernel_status InitQuantTable(const uint8_t* steps, uint16_t* table)
{
    if (steps == nullptr || table == nullptr)
        return kernel_null_pointer;
    uint16_t tmp[64];
    if (const kernel_status s = Widen8uTo16u<Level>(steps, 8, tmp, 16, 8, 8); s != kernel_ok)
        return s;
    if (const kernel_status s = ZigzagToNatural16<Level>(tmp, table); s != kernel_ok)
        return s;
    return DivValueBy16uInPlace<Level>(32768, table, 64);
}

#define KV_QUANT_TABLE_LEVEL(L)                                                                                        \
    template kernel_status ZeroFill16<L>(void*, int32_t);                                                              \
    template void Widen8uTo16uRow<L>(const uint8_t*, uint16_t*, int64_t, bool);                                        \
    template kernel_status Widen8uTo16u<L>(const uint8_t*, int32_t, uint16_t*, int32_t, int32_t, int32_t);             \
    template kernel_status ZigzagToNatural16<L>(const uint16_t*, uint16_t*);                                           \
    template kernel_status DivValueBy16u<L>(const uint16_t*, uint16_t, uint16_t*, int32_t);                            \
    template kernel_status DivValueBy16uInPlace<L>(uint16_t, uint16_t*, int32_t);                                      \
    template kernel_status InitQuantTable<L>(const uint8_t*, uint16_t*);
KV_QUANT_TABLE_LEVEL(1)
KV_QUANT_TABLE_LEVEL(2)
KV_QUANT_TABLE_LEVEL(3)
KV_QUANT_TABLE_LEVEL(4)
KV_QUANT_TABLE_LEVEL(5)
#undef KV_QUANT_TABLE_LEVEL
