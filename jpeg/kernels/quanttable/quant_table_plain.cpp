#include "quanttable/quant_table_internal.h"

#include "transform/forward_dct.h"

const uint32_t natural_to_zigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28,   //
    2,  4,  7,  13, 16, 26, 29, 42,   //
    3,  8,  12, 17, 25, 30, 41, 43,   //
    9,  11, 18, 24, 31, 40, 44, 53,   //
    10, 19, 23, 32, 39, 45, 52, 54,   //
    20, 22, 33, 38, 46, 51, 55, 60,   //
    21, 34, 37, 47, 50, 56, 59, 61,   //
    35, 36, 48, 49, 57, 58, 62, 63,
};

// The row copies and the integer quotient shared by the plain level and level 1.
kernel_status widen_rows(const uint8_t* src, int32_t srcStep, uint16_t* dst, int32_t dstStep, int32_t width,
                         int32_t height, void (*row)(const uint8_t*, uint16_t*, int64_t, bool),
                         int64_t contiguous_limit, int64_t area_limit)
{
    if (src == nullptr || dst == nullptr)
        return kernel_null_pointer;
    if (width < 1 || height < 1)
        return kernel_size_below_one;
    if (srcStep < 1 || dstStep < 1)
        return kernel_step_below_one;
    const int64_t area = static_cast<int64_t>(width) * height;
    if (static_cast<int64_t>(dstStep) == 2 * static_cast<int64_t>(srcStep) && srcStep == width) {
        row(src, dst, area, area > contiguous_limit);
        return kernel_ok;
    }
    const bool streaming = area > area_limit && width > 512;
    auto* d = reinterpret_cast<uint8_t*>(dst);
    for (int64_t r = 0; r < height; ++r)
        row(src + r * srcStep, reinterpret_cast<uint16_t*>(d + r * dstStep), width, streaming);
    return kernel_ok;
}

template <>
void Widen8uTo16uRow<0>(const uint8_t* src, uint16_t* dst, int64_t count, bool)
{
    auto* d = reinterpret_cast<uint8_t*>(dst);
    for (int64_t i = 0; i < count; ++i) {
        const uint16_t v = src[i];
        __builtin_memcpy(d + 2 * i, &v, 2);
    }
}

template <>
kernel_status Widen8uTo16u<0>(const uint8_t* src, int32_t srcStep, uint16_t* dst, int32_t dstStep, int32_t width,
                              int32_t height)
{
    return widen_rows(src, srcStep, dst, dstStep, width, height, &Widen8uTo16uRow<0>, INT64_MAX, INT64_MAX);
}

template <>
kernel_status ZigzagToNatural16<0>(const uint16_t* src, uint16_t* dst)
{
    if (src == nullptr || dst == nullptr)
        return kernel_null_pointer;
    for (int n = 0; n < 64; ++n)
        dst[n] = src[natural_to_zigzag[n]];
    return kernel_ok;
}

// Rounds to nearest, ties to even, from a quotient with 16 fraction bits.
static uint16_t div_value_integer(uint16_t value, uint16_t q)
{
    const uint32_t t = (static_cast<uint32_t>(value) << 16) / q;
    const uint32_t b = (t >> 16) & 1u;
    return static_cast<uint16_t>((t + 32767u + 2u * b) >> 16);
}

kernel_status div_value_checked(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count,
                                kernel_status (*zero_fill)(void*, int32_t),
                                kernel_status (*divide)(const uint16_t*, uint16_t, uint16_t*, int32_t))
{
    if (src == nullptr || dst == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    if (value == 0) {
        kernel_status status = kernel_ok;
        for (int32_t i = 0; i < count; ++i)
            if (src[i] == 0) {
                status = kernel_division_by_zero;
                break;
            }
        zero_fill(dst, count);
        return status;
    }
    return divide(src, value, dst, count);
}

kernel_status div_integer_all(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count)
{
    kernel_status status = kernel_ok;
    for (int32_t i = 0; i < count; ++i) {
        const uint16_t q = src[i];
        if (q == 0) {
            dst[i] = 65535;
            status = kernel_division_by_zero;
        } else {
            dst[i] = div_value_integer(value, q);
        }
    }
    return status;
}

template <>
kernel_status DivValueBy16u<0>(const uint16_t* src, uint16_t value, uint16_t* dst, int32_t count)
{
    return div_value_checked(src, value, dst, count, &ZeroFill16<0>, &div_integer_all);
}

template <>
kernel_status DivValueBy16uInPlace<0>(uint16_t value, uint16_t* data, int32_t count)
{
    if (data == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    return DivValueBy16u<0>(data, value, data, count);
}

template <>
kernel_status InitQuantTable<0>(const uint8_t* steps, uint16_t* table)
{
    if (steps == nullptr || table == nullptr)
        return kernel_null_pointer;
    uint16_t tmp[64];
    if (const kernel_status s = Widen8uTo16u<0>(steps, 8, tmp, 16, 8, 8); s != kernel_ok)
        return s;
    if (const kernel_status s = ZigzagToNatural16<0>(tmp, table); s != kernel_ok)
        return s;
    return DivValueBy16uInPlace<0>(32768, table, 64);
}
