#include "colour/colour_blocks.h"

namespace {

// JFIF weights with 16 fraction bits.
constexpr int32_t kYR = 19595, kYG = 38470, kYB = 7471;
constexpr int32_t kCbR = -11059, kCbG = -21709, kCbB = 32768;
constexpr int32_t kCrR = 32768, kCrG = -27439, kCrB = -5329;

inline const uint8_t* row_at(const uint8_t* src, int32_t step, int r)
{
    return src + static_cast<int64_t>(r) * step;
}

inline int16_t luma(const uint8_t* p)
{
    return static_cast<int16_t>(((kYR * p[0] + kYG * p[1] + kYB * p[2]) >> 16) - 128);
}

// Chroma of channel sums sr, sg, sb over 2^extra pixels; >> floors.
inline int16_t cb_of(int32_t sr, int32_t sg, int32_t sb, int extra)
{
    return static_cast<int16_t>((kCbR * sr + kCbG * sg + kCbB * sb) >> (16 + extra));
}

inline int16_t cr_of(int32_t sr, int32_t sg, int32_t sb, int extra)
{
    return static_cast<int16_t>((kCrR * sr + kCrG * sg + kCrB * sb) >> (16 + extra));
}

}   // namespace

kernel_status RgbToYCbCrMcu444(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, srcStep, blocks); s != kernel_ok)
        return s;
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = row_at(src, srcStep, r);
        for (int c = 0; c < 8; ++c) {
            const uint8_t* p = row + 3 * c;
            blocks[0][8 * r + c] = luma(p);
            blocks[1][8 * r + c] = cb_of(p[0], p[1], p[2], 0);
            blocks[2][8 * r + c] = cr_of(p[0], p[1], p[2], 0);
        }
    }
    return kernel_ok;
}

kernel_status RgbToYCbCrMcu422(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, srcStep, blocks); s != kernel_ok)
        return s;
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = row_at(src, srcStep, r);
        for (int c = 0; c < 16; ++c)
            blocks[0][(c < 8 ? 0 : 56) + 8 * r + c] = luma(row + 3 * c);
        for (int j = 0; j < 8; ++j) {
            const uint8_t* p = row + 6 * j;
            const int32_t sr = p[0] + p[3], sg = p[1] + p[4], sb = p[2] + p[5];
            blocks[1][8 * r + j] = cb_of(sr, sg, sb, 1);
            blocks[2][8 * r + j] = cr_of(sr, sg, sb, 1);
        }
    }
    return kernel_ok;
}

void RgbToYCbCr420Truncating(const uint8_t* src, int32_t srcStep, int16_t* y, int16_t* cb, int16_t* cr)
{
    for (int r = 0; r < 16; ++r) {
        const uint8_t* row = row_at(src, srcStep, r);
        int16_t* out = y + (r < 8 ? 0 : 128) + 8 * (r & 7);
        for (int c = 0; c < 16; ++c)
            out[c < 8 ? c : 56 + c] = luma(row + 3 * c);
    }
    for (int i = 0; i < 8; ++i) {
        const uint8_t* a = row_at(src, srcStep, 2 * i);
        const uint8_t* b = row_at(src, srcStep, 2 * i + 1);
        for (int j = 0; j < 8; ++j) {
            int32_t s[3];
            for (int k = 0; k < 3; ++k)
                s[k] = a[6 * j + k] + a[6 * j + 3 + k] + b[6 * j + k] + b[6 * j + 3 + k];
            cb[8 * i + j] = cb_of(s[0], s[1], s[2], 2);
            cr[8 * i + j] = cr_of(s[0], s[1], s[2], 2);
        }
    }
}

kernel_status RgbToYCbCrMcu420(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, srcStep, blocks); s != kernel_ok)
        return s;
    RgbToYCbCr420Truncating(src, srcStep, blocks[0], blocks[1], blocks[2]);
    return kernel_ok;
}

kernel_status InterleavedToMcu444(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, srcStep, blocks); s != kernel_ok)
        return s;
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = row_at(src, srcStep, r);
        for (int c = 0; c < 8; ++c)
            for (int k = 0; k < 3; ++k)
                blocks[k][8 * r + c] = static_cast<int16_t>(row[3 * c + k] - 128);
    }
    return kernel_ok;
}

kernel_status InterleavedToMcu422(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, srcStep, blocks); s != kernel_ok)
        return s;
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = row_at(src, srcStep, r);
        for (int c = 0; c < 16; ++c)
            blocks[0][(c < 8 ? 0 : 56) + 8 * r + c] = static_cast<int16_t>(row[3 * c] - 128);
        for (int j = 0; j < 8; ++j)
            for (int k = 1; k < 3; ++k)
                blocks[k][8 * r + j] = static_cast<int16_t>(((row[6 * j + k] + row[6 * j + 3 + k]) >> 1) - 128);
    }
    return kernel_ok;
}

kernel_status InterleavedToMcu420(const uint8_t* src, int32_t srcStep, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, srcStep, blocks); s != kernel_ok)
        return s;
    for (int r = 0; r < 16; ++r) {
        const uint8_t* row = row_at(src, srcStep, r);
        int16_t* out = blocks[0] + (r < 8 ? 0 : 128) + 8 * (r & 7);
        for (int c = 0; c < 16; ++c)
            out[c < 8 ? c : 56 + c] = static_cast<int16_t>(row[3 * c] - 128);
    }
    for (int i = 0; i < 8; ++i) {
        const uint8_t* a = row_at(src, srcStep, 2 * i);
        const uint8_t* b = row_at(src, srcStep, 2 * i + 1);
        for (int j = 0; j < 8; ++j)
            for (int k = 1; k < 3; ++k) {
                const int32_t s = a[6 * j + k] + a[6 * j + 3 + k] + b[6 * j + k] + b[6 * j + 3 + k];
                blocks[k][8 * i + j] = static_cast<int16_t>((s >> 2) - 128);
            }
    }
    return kernel_ok;
}
