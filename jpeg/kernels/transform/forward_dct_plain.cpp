#include <cstring>

#include "memory/zero_fill.h"
#include "transform/forward_dct.h"

namespace {

// Products of the column pass overflow 32 bits on +-255 blocks while their sums come out right:
// unsigned arithmetic wraps without undefined behaviour.
using u32 = uint32_t;

constexpr u32 K17734 = 17734, K25080 = 25080, K60547n = u32(-60547), K46341 = 46341;
constexpr u32 K799 = 799, K3406 = 3406, K3218 = 3218, K5681n = u32(-5681), K4816n = u32(-4816), K1130n = u32(-1130);

inline int32_t sra(u32 v, int s)
{
    return static_cast<int32_t>(v) >> s;
}

// One 1-D transform of x[0..7] (already widened) into out[0..7].
inline void fdct_line(const int32_t* xi, int32_t* out, bool rows)
{
    u32 x[8];
    for (int i = 0; i < 8; ++i)
        x[i] = static_cast<u32>(xi[i]);
    const u32 s07 = x[0] + x[7], s16 = x[1] + x[6], s25 = x[2] + x[5], s34 = x[3] + x[4];
    const u32 d07 = x[0] - x[7], d16 = x[1] - x[6], d25 = x[2] - x[5], d34 = x[3] - x[4];
    const u32 E = s07 + s34, F = s16 + s25, a = s07 - s34, b = s16 - s25;
    const u32 round = rows ? (1u << 11) : (1u << 20);
    const int shift = rows ? 12 : 21;
    if (rows) {
        out[0] = static_cast<int32_t>(8u * (E + F));
        out[4] = static_cast<int32_t>(8u * (E - F));
    } else {
        out[0] = sra(E + F + 32u, 6);
        out[4] = sra(E - F + 32u, 6);
    }
    const u32 ab = K17734 * (a + b);
    out[2] = sra(K25080 * a + ab + round, shift);
    out[6] = sra(K60547n * b + ab + round, shift);

    const u32 P = 8u * d16 + 8u * d25, M = 8u * d16 - 8u * d25;
    const u32 S07 = static_cast<u32>(sra(K46341 * d07 + 2048u, 12));
    const u32 S34 = static_cast<u32>(sra(K46341 * d34 + 2048u, 12));
    const u32 A = S07 + P, C = S07 - P, B = M + S34, D = S34 - M;
    const u32 ab2 = K799 * (A + B), cd = K3406 * (C + D);
    out[1] = sra(K3218 * A + ab2 + round, shift);
    out[7] = sra(K4816n * B + ab2 + round, shift);
    out[3] = sra(cd + K5681n * D + round, shift);
    out[5] = sra(cd + K1130n * C + round, shift);
}

}   // namespace

void ForwardDct8x8Generic(const int16_t* src, int16_t* dst)
{
    int32_t tmp[64];
    for (int r = 0; r < 8; ++r) {
        int32_t x[8], out[8];
        for (int c = 0; c < 8; ++c)
            x[c] = src[8 * r + c];
        fdct_line(x, out, true);
        // Row results keep their low 16 bits, as stored.
        for (int c = 0; c < 8; ++c)
            tmp[8 * r + c] = static_cast<int16_t>(out[c]);
    }
    for (int c = 0; c < 8; ++c) {
        int32_t x[8], out[8];
        for (int r = 0; r < 8; ++r)
            x[r] = tmp[8 * r + c];
        fdct_line(x, out, false);
        for (int r = 0; r < 8; ++r)
            dst[8 * r + c] = static_cast<int16_t>(out[r]);
    }
}

kernel_status ForwardDct8x8(int16_t* block)
{
    if (block == nullptr)
        return kernel_null_pointer;
    ForwardDct8x8Generic(block, block);
    return kernel_ok;
}

namespace {

inline int16_t sat16(int64_t v)
{
    return static_cast<int16_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v));
}

}   // namespace

namespace {

// One element of the rounding form for shifts 1 to 31, and the plain level's rule for the others.
int16_t quant_mul_shift_one(uint16_t m, int16_t c, int32_t s)
{
    const int32_t p = static_cast<int32_t>(m) * c;   // |p| < 2^31
    if (s >= 1 && s <= 31) {
        // p / 2^s, ties to even, formed from p >> 1 so that no sum overflows.
        const int32_t b = p >> 1;
        const int32_t inner = ((p & 1) + ((1 << (s - 1)) - 1) + ((b >> (s - 1)) & 1)) >> 1;
        return sat16(static_cast<int64_t>((b + inner) >> (s - 1)));
    }
    if (s >= 32)
        return 0;
    if (s == 0)
        return sat16(p);
    if (s >= -14)
        return sat16(static_cast<int64_t>(sat16(p)) * (int64_t{1} << -s));
    if (m == 0 || c == 0)
        return 0;
    return c > 0 ? 32767 : -32768;
}

}   // namespace

void quant_mul_shift_scalar(const uint16_t* table, const int16_t* src, int16_t* dst, int64_t first, int32_t count,
                            int32_t shift)
{
    // Byte copies: the arrays may sit at odd addresses.
    const auto* t = reinterpret_cast<const uint8_t*>(table);
    const auto* s = reinterpret_cast<const uint8_t*>(src);
    auto* d = reinterpret_cast<uint8_t*>(dst);
    for (int64_t i = first; i < count; ++i) {
        uint16_t m;
        int16_t c;
        std::memcpy(&m, t + 2 * i, 2);
        std::memcpy(&c, s + 2 * i, 2);
        const int16_t r = quant_mul_shift_one(m, c, shift);
        std::memcpy(d + 2 * i, &r, 2);
    }
}

kernel_status QuantMulShift16(const uint16_t* table, const int16_t* src, int16_t* dst, int32_t count, int32_t shift)
{
    if (table == nullptr || src == nullptr || dst == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    if (shift >= 32)
        return ZeroFill16<0>(dst, count);
    quant_mul_shift_scalar(table, src, dst, 0, count, shift);
    return kernel_ok;
}

kernel_status zero_fill16_in_pieces(void* dst, int32_t count, void* (*fill)(void*, int32_t))
{
    if (dst == nullptr)
        return kernel_null_pointer;
    if (count < 1)
        return kernel_size_below_one;
    auto* p = static_cast<uint8_t*>(dst);
    int64_t left = count;
    constexpr int64_t piece = (int64_t{1} << 30) - 1;
    while (left > 0) {
        const int64_t n = left < piece ? left : piece;
        fill(p, static_cast<int32_t>(2 * n));
        p += 2 * n;
        left -= n;
    }
    return kernel_ok;
}

template <>
kernel_status ZeroFill16<0>(void* dst, int32_t count)
{
    return zero_fill16_in_pieces(dst, count, &ZeroFillBytes<0>);
}

kernel_status ForwardDctQuant8x8(int16_t* block, const uint16_t* table)
{
    if (block == nullptr || table == nullptr)
        return kernel_null_pointer;
    ForwardDct8x8(block);
    QuantMulShift16(table, block, block, 64, 15);
    return kernel_ok;
}
