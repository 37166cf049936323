#include "transform/dequant_idct.h"

#include <emmintrin.h>

#include "processor/cpu_query.h"
#include "transform/idct_simd_body.h"

namespace {

// Both passes for all eight columns at once; src is read whole before dst is written. With a
// table the rows are dequantised as they are loaded, saving a pass through memory. A row without
// coefficients comes out of its pass as its rounding alone: 1 for rows 1 and 2, 0 for rows 3 to
// 7. Blocks of photographs mostly end in such rows, so their passes are skipped.
inline void idct_body(const int16_t* src, int16_t* dst, const int16_t* q = nullptr)
{
    const __m128i zero = _mm_setzero_si128();
    const auto empty = [zero](__m128i rows) { return _mm_movemask_epi8(_mm_cmpeq_epi16(rows, zero)) == 0xFFFF; };
    const __m128i z0 = row_pass(src, kRows[0], q);
    const __m128i z1 = row_pass(src + 8, kRows[1], q == nullptr ? nullptr : q + 8);
    __m128i z2 = _mm_set1_epi16(1), z3 = zero, z4 = zero, z5 = zero, z6 = zero, z7 = zero;
    const __m128i middle = _mm_or_si128(load(src + 16), load(src + 24));
    const __m128i last = _mm_or_si128(load(src + 48), load(src + 56));
    const __m128i high = _mm_or_si128(_mm_or_si128(load(src + 32), load(src + 40)), last);
    if (!empty(_mm_or_si128(middle, high))) {
        z2 = row_pass(src + 16, kRows[2], q == nullptr ? nullptr : q + 16);
        z3 = row_pass(src + 24, kRows[3], q == nullptr ? nullptr : q + 24);
        if (!empty(high)) {
            z4 = row_pass(src + 32, kRows[4], q == nullptr ? nullptr : q + 32);
            z5 = row_pass(src + 40, kRows[5], q == nullptr ? nullptr : q + 40);
            if (!empty(last)) {
                z6 = row_pass(src + 48, kRows[6], q == nullptr ? nullptr : q + 48);
                z7 = row_pass(src + 56, kRows[7], q == nullptr ? nullptr : q + 56);
            }
        }
    }

    column_pass(z0, z1, z2, z3, z4, z5, z6, z7, dst);
}

}   // namespace

void DequantBlockSimd(const int16_t* src, int16_t* dst, const uint16_t* table)
{
    const int16_t* q = reinterpret_cast<const int16_t*>(table);
    for (int i = 0; i < 64; i += 8)
        store(dst + i, _mm_mullo_epi16(load(src + i), load(q + i)));
}

void IdctBlockSse2(const int16_t* src, int16_t* dst)
{
    idct_body(src, dst);
}

// x86-64 always has SSE2, so the level-1 transform runs the same body; its results equal the
// 64-bit-lane form by construction.
void IdctBlockMmx(const int16_t* src, int16_t* dst)
{
    idct_body(src, dst);
}

template <int Level>
kernel_status DequantIdct8x8Simd(const int16_t* src, int16_t* dst, const uint16_t* table)
{
    if (src == nullptr || dst == nullptr || table == nullptr)
        return kernel_null_pointer;
    // Every level runs the same arithmetic (see IdctBlockMmx), dequantising as it loads; level 5
    // takes two rows a step where the processor has AVX2.
    if constexpr (Level == 5) {
        static const bool avx2 = cpu_avx2_usable();
        if (avx2) {
            DequantIdctAvx2(src, dst, reinterpret_cast<const int16_t*>(table));
            return kernel_ok;
        }
    }
    idct_body(src, dst, reinterpret_cast<const int16_t*>(table));
    return kernel_ok;
}

template kernel_status DequantIdct8x8Simd<1>(const int16_t*, int16_t*, const uint16_t*);
template kernel_status DequantIdct8x8Simd<2>(const int16_t*, int16_t*, const uint16_t*);
template kernel_status DequantIdct8x8Simd<3>(const int16_t*, int16_t*, const uint16_t*);
template kernel_status DequantIdct8x8Simd<4>(const int16_t*, int16_t*, const uint16_t*);
template kernel_status DequantIdct8x8Simd<5>(const int16_t*, int16_t*, const uint16_t*);
