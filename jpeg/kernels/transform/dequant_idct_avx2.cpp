#include <immintrin.h>

#include "transform/dequant_idct.h"
#include "transform/idct_simd_body.h"

namespace {

// Two rows' constants side by side, one row in each 128-bit half.
struct alignas(32) RowPairConstants {
    int16_t pair[4][16];
    int32_t round[8];
};

constexpr RowPairConstants make_pair_constants(int r)
{
    RowPairConstants rc{};
    for (int half = 0; half < 2; ++half) {
        const RowConstants& row = kRows[r + half];
        for (int p = 0; p < 4; ++p)
            for (int i = 0; i < 8; ++i)
                rc.pair[p][8 * half + i] = row.pair[p][i];
        for (int i = 0; i < 4; ++i)
            rc.round[4 * half + i] = row.round[i];
    }
    return rc;
}

alignas(32) constexpr RowPairConstants kRowPairs[4] = {make_pair_constants(0), make_pair_constants(2),
                                                       make_pair_constants(4), make_pair_constants(6)};

// row_pass on rows r and r + 1 at once: every step works within its 128-bit half.
inline void row_pair(const int16_t* rows, const RowPairConstants& rc, const int16_t* q, __m128i* first, __m128i* second)
{
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows));
    v = _mm256_mullo_epi16(v, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q)));
    v = _mm256_shufflelo_epi16(v, _MM_SHUFFLE(3, 1, 2, 0));
    v = _mm256_shufflehi_epi16(v, _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i* c = reinterpret_cast<const __m256i*>(rc.pair);
    const __m256i x02 = _mm256_shuffle_epi32(v, 0x00);
    const __m256i x13 = _mm256_shuffle_epi32(v, 0x55);
    const __m256i x46 = _mm256_shuffle_epi32(v, 0xAA);
    const __m256i x57 = _mm256_shuffle_epi32(v, 0xFF);
    const __m256i round = _mm256_load_si256(reinterpret_cast<const __m256i*>(rc.round));
    const __m256i even =
        _mm256_add_epi32(_mm256_add_epi32(_mm256_madd_epi16(x02, c[0]), _mm256_madd_epi16(x46, c[1])), round);
    const __m256i odd = _mm256_add_epi32(_mm256_madd_epi16(x13, c[2]), _mm256_madd_epi16(x57, c[3]));
    const __m256i head = _mm256_srai_epi32(_mm256_add_epi32(even, odd), 11);
    const __m256i tail =
        _mm256_shuffle_epi32(_mm256_srai_epi32(_mm256_sub_epi32(even, odd), 11), _MM_SHUFFLE(0, 1, 2, 3));
    const __m256i packed = _mm256_packs_epi32(head, tail);
    *first = _mm256_castsi256_si128(packed);
    *second = _mm256_extracti128_si256(packed, 1);
}

}   // namespace

void DequantIdctAvx2(const int16_t* src, int16_t* dst, const int16_t* q)
{
    // Empty rows skipped as in the SSE2 body, here by pairs.
    const __m128i zero = _mm_setzero_si128();
    const auto empty = [zero](__m128i rows) { return _mm_movemask_epi8(_mm_cmpeq_epi16(rows, zero)) == 0xFFFF; };
    __m128i z0, z1, z2 = _mm_set1_epi16(1), z3 = zero, z4 = zero, z5 = zero, z6 = zero, z7 = zero;
    row_pair(src, kRowPairs[0], q, &z0, &z1);
    const __m128i middle = _mm_or_si128(load(src + 16), load(src + 24));
    const __m128i last = _mm_or_si128(load(src + 48), load(src + 56));
    const __m128i high = _mm_or_si128(_mm_or_si128(load(src + 32), load(src + 40)), last);
    if (!empty(_mm_or_si128(middle, high))) {
        row_pair(src + 16, kRowPairs[1], q + 16, &z2, &z3);
        if (!empty(high)) {
            row_pair(src + 32, kRowPairs[2], q + 32, &z4, &z5);
            if (!empty(last))
                row_pair(src + 48, kRowPairs[3], q + 48, &z6, &z7);
        }
    }
    column_pass(z0, z1, z2, z3, z4, z5, z6, z7, dst);
    _mm256_zeroupper();
}
