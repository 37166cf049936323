#include "transform/dequant_idct.h"

namespace {

// The transform's sums wrap modulo 2^32 on hostile coefficients; unsigned arithmetic gives
// exactly the wrapped values without signed overflow.
constexpr uint32_t K3 = 27246;
constexpr uint32_t K35 = uint32_t(-9041);
constexpr uint32_t K53 = uint32_t(-45451);
constexpr uint32_t K7 = 6393;
constexpr uint32_t K17 = 25746;
constexpr uint32_t K71 = uint32_t(-38531);
constexpr uint32_t K6 = 17734;
constexpr uint32_t K26 = 25080;
constexpr uint32_t K62 = uint32_t(-60547);
constexpr uint32_t S2 = 5793;

uint32_t widen(int16_t v)
{
    return static_cast<uint32_t>(static_cast<int32_t>(v));
}

// Arithmetic shift of the wrapped value, kept as its low 16 bits.
int16_t finish(uint32_t y, uint32_t round, int shift)
{
    return static_cast<int16_t>(static_cast<int32_t>(y + round) >> shift);
}

uint32_t round_shift12(uint32_t v)
{
    return static_cast<uint32_t>(static_cast<int32_t>(v + 2048u) >> 12);
}

// One 1-D transform of the eight values at p[0], p[stride], ... p[7 * stride], in place.
inline void idct_line(int16_t* p, int stride, uint32_t round, int shift)
{
    const uint32_t x0 = widen(p[0]), x1 = widen(p[stride]), x2 = widen(p[2 * stride]), x3 = widen(p[3 * stride]),
                   x4 = widen(p[4 * stride]), x5 = widen(p[5 * stride]), x6 = widen(p[6 * stride]),
                   x7 = widen(p[7 * stride]);

    uint32_t t = K3 * (x3 + x5);
    const uint32_t a = t + K35 * x5;
    const uint32_t b = t + K53 * x3;
    t = K7 * (x1 + x7);
    const uint32_t c = t + K17 * x1;
    const uint32_t d = t + K71 * x7;
    const uint32_t o0 = S2 * round_shift12(c + a);
    const uint32_t o3 = S2 * round_shift12(d + b);
    const uint32_t o1 = (c - a) + (d - b);
    const uint32_t o2 = (c - a) - (d - b);

    t = K6 * (x2 + x6);
    const uint32_t f = t + K26 * x2;
    const uint32_t g = t + K62 * x6;
    const uint32_t pp = (x0 << 15) + (x4 << 15);
    const uint32_t q = (x0 << 15) - (x4 << 15);
    const uint32_t e0 = pp + f, e3 = pp - f, e1 = q + g, e2 = q - g;

    p[0] = finish(e0 + o0, round, shift);
    p[7 * stride] = finish(e0 - o0, round, shift);
    p[stride] = finish(e1 + o1, round, shift);
    p[6 * stride] = finish(e1 - o1, round, shift);
    p[2 * stride] = finish(e2 + o2, round, shift);
    p[5 * stride] = finish(e2 - o2, round, shift);
    p[3 * stride] = finish(e3 + o3, round, shift);
    p[4 * stride] = finish(e3 - o3, round, shift);
}

}   // namespace

kernel_status DequantSaturate(const int16_t* src, const int16_t* table, int16_t* dst, int32_t count)
{
    if (src == nullptr || table == nullptr || dst == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    for (int32_t i = 0; i < count; ++i) {
        int32_t p = int32_t(src[i]) * int32_t(table[i]);
        p = p > 32767 ? 32767 : (p < -32768 ? -32768 : p);
        dst[i] = static_cast<int16_t>(p);
    }
    return kernel_ok;
}

kernel_status IdctBlockGeneric(int16_t* block)
{
    if (block == nullptr)
        return kernel_null_pointer;
    for (int c = 0; c < 8; ++c)
        idct_line(block + c, 8, 2048u, 12);
    for (int r = 0; r < 8; ++r)
        idct_line(block + 8 * r, 1, 1048576u, 21);
    return kernel_ok;
}

kernel_status DequantIdct8x8(const int16_t* src, int16_t* dst, const uint16_t* table)
{
    if (src == nullptr || dst == nullptr || table == nullptr)
        return kernel_null_pointer;
    // Quantisers of 32768 and more count as negative.
    DequantSaturate(src, reinterpret_cast<const int16_t*>(table), dst, 64);
    IdctBlockGeneric(dst);
    return kernel_ok;
}
