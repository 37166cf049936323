#include "colour/colour_blocks.h"

#include <emmintrin.h>

#include <cstring>

namespace {

// 14-bit JFIF weights as (R, G) and (B, 0) lane pairs, then the offsets.
struct alignas(16) RgbConstants {
    int16_t y_rg[8], y_b0[8], cb_rg[8], cb_b0[8], cr_rg[8], cr_b0[8];
    int32_t y_offset[4];   // 128 * 16384 - 8192: level shift and the half step of Y
    int32_t round15[4], round14[4], round13[4];
};

alignas(16) constexpr RgbConstants kRgb = {
    {4899, 9617, 4899, 9617, 4899, 9617, 4899, 9617},
    {1868, 0, 1868, 0, 1868, 0, 1868, 0},
    {-2764, -5428, -2764, -5428, -2764, -5428, -2764, -5428},
    {8192, 0, 8192, 0, 8192, 0, 8192, 0},
    {8192, -6860, 8192, -6860, 8192, -6860, 8192, -6860},
    {-1332, 0, -1332, 0, -1332, 0, -1332, 0},
    {2088960, 2088960, 2088960, 2088960},
    {32768, 32768, 32768, 32768},
    {16384, 16384, 16384, 16384},
    {8192, 8192, 8192, 8192},
};

struct alignas(16) LaneConstants {
    int16_t c128[8], c256[8], c512[8], ones[8];
};

alignas(16) constexpr LaneConstants kLanes = {
    {128, 128, 128, 128, 128, 128, 128, 128},
    {256, 256, 256, 256, 256, 256, 256, 256},
    {512, 512, 512, 512, 512, 512, 512, 512},
    {1, 1, 1, 1, 1, 1, 1, 1},
};

inline __m128i cv(const int16_t* p)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i cv(const int32_t* p)
{
    return _mm_load_si128(reinterpret_cast<const __m128i*>(p));
}

inline __m128i load4(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(static_cast<int>(v));
}

// The last pixel of a group reads exactly its three bytes, so no row is read past its end.
inline __m128i load3(const uint8_t* p)
{
    return _mm_cvtsi32_si128(static_cast<int>(p[0] | (p[1] << 8) | (p[2] << 16)));
}

struct Planes {
    __m128i c0, c1, c2;   // 8 pixels per channel, 16-bit lanes
};

// Four pixels widened to (c0, c1, c2, x) lanes and transposed: lo = c0 | c1, hi = c2 | x.
inline void four_pixels(const uint8_t* p, bool last, __m128i& lo, __m128i& hi)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i a = _mm_unpacklo_epi32(load4(p), load4(p + 3));
    const __m128i b = _mm_unpacklo_epi32(load4(p + 6), last ? load3(p + 9) : load4(p + 9));
    const __m128i bytes = _mm_unpacklo_epi64(a, b);
    const __m128i v01 = _mm_unpacklo_epi8(bytes, zero), v23 = _mm_unpackhi_epi8(bytes, zero);
    const __m128i t0 = _mm_unpacklo_epi16(v01, v23), t1 = _mm_unpackhi_epi16(v01, v23);
    lo = _mm_unpacklo_epi16(t0, t1);
    hi = _mm_unpackhi_epi16(t0, t1);
}

// Eight pixels (24 bytes) of a row; nothing past byte 23 is read.
inline Planes eight_pixels(const uint8_t* p)
{
    __m128i lo0, hi0, lo1, hi1;
    four_pixels(p, false, lo0, hi0);
    four_pixels(p + 12, true, lo1, hi1);
    return {_mm_unpacklo_epi64(lo0, lo1), _mm_unpackhi_epi64(lo0, lo1), _mm_unpacklo_epi64(hi0, hi1)};
}

inline void store8(int16_t* p, __m128i v)
{
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

// Weighted sums of 8 lanes of R, G, B with (rg, b0) weights, plus add, shifted right by shift.
inline __m128i weigh(const Planes& s, const int16_t* rg, const int16_t* b0, __m128i add, int shift)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i wrg = cv(rg), wb = cv(b0);
    const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(s.c0, s.c1), wrg),
                                     _mm_madd_epi16(_mm_unpacklo_epi16(s.c2, zero), wb));
    const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(s.c0, s.c1), wrg),
                                     _mm_madd_epi16(_mm_unpackhi_epi16(s.c2, zero), wb));
    const __m128i cnt = _mm_cvtsi32_si128(shift);
    return _mm_packs_epi32(_mm_sra_epi32(_mm_add_epi32(lo, add), cnt), _mm_sra_epi32(_mm_add_epi32(hi, add), cnt));
}

inline __m128i luma(const Planes& s)
{
    const __m128i neg_offset = _mm_sub_epi32(_mm_setzero_si128(), cv(kRgb.y_offset));
    return weigh(s, kRgb.y_rg, kRgb.y_b0, neg_offset, 14);
}

// Sums of horizontal pairs of two 8-lane rows: 8 lanes.
inline __m128i pair_sums(__m128i a, __m128i b)
{
    const __m128i ones = cv(kLanes.ones);
    return _mm_packs_epi32(_mm_madd_epi16(a, ones), _mm_madd_epi16(b, ones));
}

inline Planes pair_planes(const Planes& a, const Planes& b)
{
    return {pair_sums(a.c0, b.c0), pair_sums(a.c1, b.c1), pair_sums(a.c2, b.c2)};
}

inline Planes add_planes(const Planes& a, const Planes& b)
{
    return {_mm_add_epi16(a.c0, b.c0), _mm_add_epi16(a.c1, b.c1), _mm_add_epi16(a.c2, b.c2)};
}

inline const uint8_t* row_at(const uint8_t* src, int32_t step, int r)
{
    return src + static_cast<int64_t>(r) * step;
}

void rgb444(const uint8_t* src, int32_t step, int16_t* y, int16_t* cb, int16_t* cr)
{
    const __m128i round = cv(kRgb.round13);
    for (int r = 0; r < 8; ++r) {
        const Planes s = eight_pixels(row_at(src, step, r));
        store8(y + 8 * r, luma(s));
        store8(cb + 8 * r, weigh(s, kRgb.cb_rg, kRgb.cb_b0, round, 14));
        store8(cr + 8 * r, weigh(s, kRgb.cr_rg, kRgb.cr_b0, round, 14));
    }
}

void rgb422(const uint8_t* src, int32_t step, int16_t* y, int16_t* cb, int16_t* cr)
{
    const __m128i round = cv(kRgb.round14);
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = row_at(src, step, r);
        const Planes a = eight_pixels(row), b = eight_pixels(row + 24);
        store8(y + 8 * r, luma(a));
        store8(y + 64 + 8 * r, luma(b));
        const Planes s = pair_planes(a, b);
        store8(cb + 8 * r, weigh(s, kRgb.cb_rg, kRgb.cb_b0, round, 15));
        store8(cr + 8 * r, weigh(s, kRgb.cr_rg, kRgb.cr_b0, round, 15));
    }
}

void rgb420(const uint8_t* src, int32_t step, int16_t* y, int16_t* cb, int16_t* cr)
{
    const __m128i round = cv(kRgb.round15);
    for (int i = 0; i < 8; ++i) {
        const uint8_t* r0 = row_at(src, step, 2 * i);
        const uint8_t* r1 = row_at(src, step, 2 * i + 1);
        const Planes a0 = eight_pixels(r0), b0 = eight_pixels(r0 + 24);
        const Planes a1 = eight_pixels(r1), b1 = eight_pixels(r1 + 24);
        int16_t* out = y + (i < 4 ? 0 : 128) + 16 * (i & 3);
        store8(out, luma(a0));
        store8(out + 64, luma(b0));
        store8(out + 8, luma(a1));
        store8(out + 72, luma(b1));
        const Planes s = add_planes(pair_planes(a0, b0), pair_planes(a1, b1));
        store8(cb + 8 * i, weigh(s, kRgb.cb_rg, kRgb.cb_b0, round, 16));
        store8(cr + 8 * i, weigh(s, kRgb.cr_rg, kRgb.cr_b0, round, 16));
    }
}

void split444(const uint8_t* src, int32_t step, int16_t* b0, int16_t* b1, int16_t* b2)
{
    const __m128i k128 = cv(kLanes.c128);
    for (int r = 0; r < 8; ++r) {
        const Planes s = eight_pixels(row_at(src, step, r));
        store8(b0 + 8 * r, _mm_sub_epi16(s.c0, k128));
        store8(b1 + 8 * r, _mm_sub_epi16(s.c1, k128));
        store8(b2 + 8 * r, _mm_sub_epi16(s.c2, k128));
    }
}

void split422(const uint8_t* src, int32_t step, int16_t* b0, int16_t* b1, int16_t* b2)
{
    const __m128i k128 = cv(kLanes.c128), k256 = cv(kLanes.c256);
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = row_at(src, step, r);
        const Planes a = eight_pixels(row), b = eight_pixels(row + 24);
        store8(b0 + 8 * r, _mm_sub_epi16(a.c0, k128));
        store8(b0 + 64 + 8 * r, _mm_sub_epi16(b.c0, k128));
        store8(b1 + 8 * r, _mm_srai_epi16(_mm_sub_epi16(pair_sums(a.c1, b.c1), k256), 1));
        store8(b2 + 8 * r, _mm_srai_epi16(_mm_sub_epi16(pair_sums(a.c2, b.c2), k256), 1));
    }
}

void split420(const uint8_t* src, int32_t step, int16_t* b0, int16_t* b1, int16_t* b2)
{
    const __m128i k128 = cv(kLanes.c128), k512 = cv(kLanes.c512);
    for (int i = 0; i < 8; ++i) {
        const uint8_t* r0 = row_at(src, step, 2 * i);
        const uint8_t* r1 = row_at(src, step, 2 * i + 1);
        const Planes a0 = eight_pixels(r0), c0 = eight_pixels(r0 + 24);
        const Planes a1 = eight_pixels(r1), c1 = eight_pixels(r1 + 24);
        int16_t* out = b0 + (i < 4 ? 0 : 128) + 16 * (i & 3);
        store8(out, _mm_sub_epi16(a0.c0, k128));
        store8(out + 64, _mm_sub_epi16(c0.c0, k128));
        store8(out + 8, _mm_sub_epi16(a1.c0, k128));
        store8(out + 72, _mm_sub_epi16(c1.c0, k128));
        const __m128i s1 = _mm_add_epi16(pair_sums(a0.c1, c0.c1), pair_sums(a1.c1, c1.c1));
        const __m128i s2 = _mm_add_epi16(pair_sums(a0.c2, c0.c2), pair_sums(a1.c2, c1.c2));
        store8(b1 + 8 * i, _mm_srai_epi16(_mm_sub_epi16(s1, k512), 2));
        store8(b2 + 8 * i, _mm_srai_epi16(_mm_sub_epi16(s2, k512), 2));
    }
}

}   // namespace

void RgbToYCbCrMcu444Sse2(const uint8_t* s, int32_t st, int16_t* y, int16_t* cb, int16_t* cr)
{
    rgb444(s, st, y, cb, cr);
}
void RgbToYCbCrMcu444Mmx(const uint8_t* s, int32_t st, int16_t* y, int16_t* cb, int16_t* cr)
{
    rgb444(s, st, y, cb, cr);
}
void RgbToYCbCrMcu422Sse2(const uint8_t* s, int32_t st, int16_t* y, int16_t* cb, int16_t* cr)
{
    rgb422(s, st, y, cb, cr);
}
void RgbToYCbCrMcu422Mmx(const uint8_t* s, int32_t st, int16_t* y, int16_t* cb, int16_t* cr)
{
    rgb422(s, st, y, cb, cr);
}
void RgbToYCbCrMcu420Sse2(const uint8_t* s, int32_t st, int16_t* y, int16_t* cb, int16_t* cr)
{
    rgb420(s, st, y, cb, cr);
}
void RgbToYCbCrMcu420Mmx(const uint8_t* s, int32_t st, int16_t* y, int16_t* cb, int16_t* cr)
{
    rgb420(s, st, y, cb, cr);
}
void InterleavedToMcu444Mmx(const uint8_t* s, int32_t st, int16_t* a, int16_t* b, int16_t* c)
{
    split444(s, st, a, b, c);
}
void InterleavedToMcu422Mmx(const uint8_t* s, int32_t st, int16_t* a, int16_t* b, int16_t* c)
{
    split422(s, st, a, b, c);
}
void InterleavedToMcu420Mmx(const uint8_t* s, int32_t st, int16_t* a, int16_t* b, int16_t* c)
{
    split420(s, st, a, b, c);
}
void InterleavedToMcu420Sse2(const uint8_t* s, int32_t st, int16_t* a, int16_t* b, int16_t* c)
{
    split420(s, st, a, b, c);
}

namespace {

using Kernel = void (*)(const uint8_t*, int32_t, int16_t*, int16_t*, int16_t*);

inline kernel_status run(Kernel k, const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    if (const kernel_status s = check_block_args(src, step, blocks); s != kernel_ok)
        return s;
    k(src, step, blocks[0], blocks[1], blocks[2]);
    return kernel_ok;
}

constexpr bool wide(int level)
{
    return level == 2 || level == 4 || level == 5;
}

}   // namespace

template <int Level>
kernel_status RgbToYCbCrMcu444Simd(const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    return run(wide(Level) ? &RgbToYCbCrMcu444Sse2 : &RgbToYCbCrMcu444Mmx, src, step, blocks);
}

template <int Level>
kernel_status RgbToYCbCrMcu422Simd(const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    return run(wide(Level) ? &RgbToYCbCrMcu422Sse2 : &RgbToYCbCrMcu422Mmx, src, step, blocks);
}

// The 128-bit kernel stores Y rows aligned; off a 16-byte boundary the level-0 formula runs.
template <int Level>
kernel_status RgbToYCbCrMcu420Simd(const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    if (!wide(Level))
        return run(&RgbToYCbCrMcu420Mmx, src, step, blocks);
    if (const kernel_status s = check_block_args(src, step, blocks); s != kernel_ok)
        return s;
    if ((reinterpret_cast<uintptr_t>(blocks[0]) & 15u) == 0)
        RgbToYCbCrMcu420Sse2(src, step, blocks[0], blocks[1], blocks[2]);
    else
        RgbToYCbCr420Truncating(src, step, blocks[0], blocks[1], blocks[2]);
    return kernel_ok;
}

template <int Level>
kernel_status InterleavedToMcu444Simd(const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    return run(&InterleavedToMcu444Mmx, src, step, blocks);
}

template <int Level>
kernel_status InterleavedToMcu422Simd(const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    return run(&InterleavedToMcu422Mmx, src, step, blocks);
}

template <int Level>
kernel_status InterleavedToMcu420Simd(const uint8_t* src, int32_t step, int16_t* const* blocks)
{
    return run(Level == 1 ? &InterleavedToMcu420Mmx : &InterleavedToMcu420Sse2, src, step, blocks);
}

#define KV_COLOUR_LEVELS(name)                                                                                         \
    template kernel_status name<1>(const uint8_t*, int32_t, int16_t* const*);                                          \
    template kernel_status name<2>(const uint8_t*, int32_t, int16_t* const*);                                          \
    template kernel_status name<3>(const uint8_t*, int32_t, int16_t* const*);                                          \
    template kernel_status name<4>(const uint8_t*, int32_t, int16_t* const*);                                          \
    template kernel_status name<5>(const uint8_t*, int32_t, int16_t* const*);
KV_COLOUR_LEVELS(RgbToYCbCrMcu444Simd)
KV_COLOUR_LEVELS(RgbToYCbCrMcu422Simd)
KV_COLOUR_LEVELS(RgbToYCbCrMcu420Simd)
KV_COLOUR_LEVELS(InterleavedToMcu444Simd)
KV_COLOUR_LEVELS(InterleavedToMcu422Simd)
KV_COLOUR_LEVELS(InterleavedToMcu420Simd)
#undef KV_COLOUR_LEVELS
