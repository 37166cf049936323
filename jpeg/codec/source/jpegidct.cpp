#include <cstring>

#include "jpeg/jpegdecode.h"

// Transforms of the buffered path. Sums and products wrap (unsigned): damaged data may
// overflow 32 bits, and garbage in must stay garbage out rather than undefined behaviour.

namespace {

using u32 = uint32_t;

int32_t S(u32 value)
{
    return static_cast<int32_t>(value);
}

u32 U(int32_t value)
{
    return static_cast<u32>(value);
}

// A product by one of the AAN constants (8 fractional bits), truncated.
u32 Aan(u32 value, int32_t constant)
{
    return U(S(value * U(constant)) >> 8);
}

// One AAN pass over eight values spaced `step` apart in `in`, written `step` apart to `out`.
void AanPass(const u32* in, u32* out, int32_t step)
{
    const u32 i0 = in[0];
    const u32 i1 = in[step];
    const u32 i2 = in[2 * step];
    const u32 i3 = in[3 * step];
    const u32 i4 = in[4 * step];
    const u32 i5 = in[5 * step];
    const u32 i6 = in[6 * step];
    const u32 i7 = in[7 * step];
    const u32 t10 = i0 + i4;
    const u32 t11 = i0 - i4;
    const u32 t13 = i2 + i6;
    const u32 t12 = Aan(i2 - i6, 362) - t13;
    const u32 e0 = t10 + t13;
    const u32 e3 = t10 - t13;
    const u32 e1 = t11 + t12;
    const u32 e2 = t11 - t12;
    const u32 z13 = i5 + i3;
    const u32 z10 = i5 - i3;
    const u32 z11 = i1 + i7;
    const u32 z12 = i1 - i7;
    const u32 d7 = z11 + z13;
    const u32 z5 = Aan(z10 + z12, 473);
    const u32 d6 = Aan(z10, -669) + z5 - d7;
    const u32 d5 = Aan(z11 - z13, 362) - d6;
    const u32 d4 = Aan(z12, 277) - z5 + d5;
    out[0] = e0 + d7;
    out[7 * step] = e0 - d7;
    out[step] = e1 + d6;
    out[6 * step] = e1 - d6;
    out[2 * step] = e2 + d5;
    out[5 * step] = e2 - d5;
    out[4 * step] = e3 + d4;
    out[3 * step] = e3 - d4;
}

// Columns of `in` (already multiplied) through pass 1, rows through pass 2, into the block.
void Aan8x8(u32* in, const int32_t* raw, int32_t* block)
{
    u32 work[64];
    for (int32_t j = 0; j < 8; ++j) {
        if ((raw[8 + j] | raw[16 + j] | raw[24 + j] | raw[32 + j] | raw[40 + j] | raw[48 + j] | raw[56 + j]) == 0) {
            for (int32_t k = 0; k < 8; ++k) {
                work[8 * k + j] = in[j];
            }
            continue;
        }
        AanPass(in + j, work + j, 8);
    }
    for (int32_t r = 0; r < 8; ++r) {
        u32* row = work + 8 * r;
        int32_t* out = block + 8 * r;
        if ((row[1] | row[2] | row[3] | row[4] | row[5] | row[6] | row[7]) == 0) {
            const int32_t value = S(row[0]) >> 13;
            for (int32_t k = 0; k < 8; ++k) {
                out[k] = value;
            }
            continue;
        }
        u32 result[8];
        AanPass(row, result, 1);
        for (int32_t k = 0; k < 8; ++k) {
            out[k] = S(result[k]) >> 13;
        }
    }
}

// The four-point odd and even parts shared by both passes of the 4 x 4 transform.
void Reduce4(u32 i0, u32 i1, u32 i2, u32 i3, u32 i5, u32 i6, u32 i7, u32 out[4])
{
    const u32 a0 = i0 * 16384u;
    const u32 a2 = i2 * 15137u - i6 * 6270u;
    const u32 t10 = a0 + a2;
    const u32 t12 = a0 - a2;
    const u32 p = i7 * U(-1730) + i5 * 11893u + i3 * U(-17799) + i1 * 8697u;
    const u32 q = i7 * U(-4176) + i5 * U(-4926) + i3 * 7373u + i1 * 20995u;
    out[0] = t10 + q;
    out[1] = t12 + p;
    out[2] = t12 - p;
    out[3] = t10 - q;
}

u32 Reduce2(u32 i1, u32 i3, u32 i5, u32 i7)
{
    return i1 * 29692u + i3 * U(-10426) + i5 * 6967u + i7 * U(-5906);
}

}   // namespace

void jpeg_idct_8x8_fast(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    int32_t* block = entry->coefficients;
    u32 in[64];
    std::memcpy(in, block, sizeof in);
    int32_t raw[64];
    std::memcpy(raw, block, sizeof raw);
    Aan8x8(in, raw, block);
}

void jpeg_idct_8x8_dequant(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    int32_t* block = entry->coefficients;
    const int32_t* multiplier = decoder->multipliers[component].values;
    u32 in[64];
    int32_t raw[64];
    std::memcpy(raw, block, sizeof raw);
    for (int32_t k = 0; k < 64; ++k) {
        in[k] = U(raw[k]) * U(multiplier[k]);
    }
    Aan8x8(in, raw, block);
}

void jpeg_idct_4x4(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    int32_t* block = entry->coefficients;
    u32 work[32];
    for (int32_t j = 0; j < 8; ++j) {
        if (j == 4) {
            continue;
        }
        const int32_t* c = block + j;
        if ((c[8] | c[16] | c[24] | c[40] | c[48] | c[56]) == 0) {
            for (int32_t k = 0; k < 4; ++k) {
                work[8 * k + j] = U(c[0]) * 4u;
            }
            continue;
        }
        u32 out[4];
        Reduce4(U(c[0]), U(c[8]), U(c[16]), U(c[24]), U(c[40]), U(c[48]), U(c[56]), out);
        for (int32_t k = 0; k < 4; ++k) {
            work[8 * k + j] = U(S(out[k] + 2048u) >> 12);
        }
    }
    for (int32_t r = 0; r < 4; ++r) {
        const u32* w = work + 8 * r;
        int32_t* out = block + 8 * r;
        if ((w[1] | w[2] | w[3] | w[5] | w[6] | w[7]) == 0) {
            // Rounded as the full formulas round, so the shortcut changes nothing.
            const int32_t value = S(w[0] + 16u) >> 5;
            for (int32_t k = 0; k < 4; ++k) {
                out[k] = value;
            }
            continue;
        }
        u32 result[4];
        Reduce4(w[0], w[1], w[2], w[3], w[5], w[6], w[7], result);
        for (int32_t k = 0; k < 4; ++k) {
            out[k] = S(result[k] + 262144u) >> 19;
        }
    }
}

void jpeg_idct_2x2(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    int32_t* block = entry->coefficients;
    u32 work[16];
    for (int32_t j = 0; j < 8; ++j) {
        if (j == 2 || j == 4 || j == 6) {
            continue;
        }
        const int32_t* c = block + j;
        if ((c[8] | c[24] | c[40] | c[56]) == 0) {
            work[j] = U(c[0]) * 4u;
            work[8 + j] = work[j];
            continue;
        }
        const u32 a = U(c[0]) * 32768u;
        const u32 p = Reduce2(U(c[8]), U(c[24]), U(c[40]), U(c[56]));
        work[j] = U(S(a + p + 4096u) >> 13);
        work[8 + j] = U(S(a - p + 4096u) >> 13);
    }
    for (int32_t r = 0; r < 2; ++r) {
        const u32* w = work + 8 * r;
        int32_t* out = block + 8 * r;
        if ((w[1] | w[3] | w[5] | w[7]) == 0) {
            out[0] = S(w[0] + 16u) >> 5;
            out[1] = out[0];
            continue;
        }
        const u32 a = w[0] * 32768u;
        const u32 p = Reduce2(w[1], w[3], w[5], w[7]);
        out[0] = S(a + p + 524288u) >> 20;
        out[1] = S(a - p + 524288u) >> 20;
    }
}

void jpeg_idct_1x1(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    entry->coefficients[0] >>= 3;
}
