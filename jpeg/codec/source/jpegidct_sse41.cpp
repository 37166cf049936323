// SSE4.1 bodies of the full-size AAN transforms: the SSE2 ones with a single-instruction
// 32-bit product; only this file is compiled for SSE4.1.

#include "jpeg/jpegdecode.h"

#if defined(__x86_64__) || defined(__i386__)
#include <smmintrin.h>

namespace {

[[gnu::always_inline]] inline __m128i MulLow(__m128i a, __m128i b)
{
    return _mm_mullo_epi32(a, b);
}

#include "jpegidct_aan_simd.h"

}  // namespace

void jpeg_idct_8x8_fast_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Aan8x8(entry->coefficients, nullptr);
}

void jpeg_idct_8x8_dequant_sse41(jpeg_decoder* decoder, jpeg_block_entry* entry, int32_t component)
{
    Aan8x8(entry->coefficients, decoder->multipliers[component].values);
}
#endif

#if defined(__x86_64__) || defined(__i386__)
namespace {

using Vector = __m128i;

[[gnu::always_inline]] inline Vector Mul(Vector a, int32_t constant)
{
    return _mm_mullo_epi32(a, _mm_set1_epi32(constant));
}

[[gnu::always_inline]] inline Vector Or(Vector a, Vector b)
{
    return _mm_or_si128(a, b);
}

// The four-point parts of both passes, lane by lane, wrapping as the plain body does.
[[gnu::always_inline]] inline void Reduce4(Vector i0, Vector i1, Vector i2, Vector i3, Vector i5, Vector i6,
                                           Vector i7, Vector out[4])
{
    const Vector a0 = _mm_slli_epi32(i0, 14);
    const Vector a2 = _mm_sub_epi32(Mul(i2, 15137), Mul(i6, 6270));
    const Vector t10 = _mm_add_epi32(a0, a2);
    const Vector t12 = _mm_sub_epi32(a0, a2);
    const Vector p = _mm_add_epi32(_mm_add_epi32(Mul(i7, -1730), Mul(i5, 11893)),
                                   _mm_add_epi32(Mul(i3, -17799), Mul(i1, 8697)));
    const Vector q = _mm_add_epi32(_mm_add_epi32(Mul(i7, -4176), Mul(i5, -4926)),
                                   _mm_add_epi32(Mul(i3, 7373), Mul(i1, 20995)));
    out[0] = _mm_add_epi32(t10, q);
    out[1] = _mm_add_epi32(t12, p);
    out[2] = _mm_sub_epi32(t12, p);
    out[3] = _mm_sub_epi32(t10, q);
}

// The column pass over four columns of the given rows; lanes whose odd and upper inputs are all
// zero take the plain body's shortcut, which differs from the formula once products wrap.
[[gnu::always_inline]] inline void Columns4(const Vector* rows, Vector out[4])
{
    Reduce4(rows[0], rows[1], rows[2], rows[3], rows[5], rows[6], rows[7], out);
    const Vector flat =
        _mm_cmpeq_epi32(Or(Or(Or(rows[1], rows[2]), Or(rows[3], rows[5])), Or(rows[6], rows[7])), _mm_setzero_si128());
    const Vector dc = _mm_slli_epi32(rows[0], 2);
    const Vector round = _mm_set1_epi32(2048);
    for (int32_t k = 0; k < 4; ++k) {
        out[k] = _mm_blendv_epi8(_mm_srai_epi32(_mm_add_epi32(out[k], round), 12), dc, flat);
    }
}

}  // namespace

namespace {

// The 4 x 4 transform of eight rows, each as columns 0..3 and 4..7, into the block's top left.
[[gnu::always_inline]] inline void Idct4x4(const Vector* left, const Vector* right, int32_t* block)
{
    // Rows 0..3 of columns 0..3 and 4..7 (column 4 is never read), then one lane per row.
    Vector low[4];
    Vector high[4];
    Columns4(left, low);
    Columns4(right, high);
    Transpose4(low[0], low[1], low[2], low[3]);
    Transpose4(high[0], high[1], high[2], high[3]);
    Vector out[4];
    Reduce4(low[0], low[1], low[2], low[3], high[1], high[2], high[3], out);
    const Vector flat =
        _mm_cmpeq_epi32(Or(Or(Or(low[1], low[2]), Or(low[3], high[1])), Or(high[2], high[3])), _mm_setzero_si128());
    const Vector dc = _mm_srai_epi32(_mm_add_epi32(low[0], _mm_set1_epi32(16)), 5);
    const Vector round = _mm_set1_epi32(262144);
    for (int32_t k = 0; k < 4; ++k) {
        out[k] = _mm_blendv_epi8(_mm_srai_epi32(_mm_add_epi32(out[k], round), 19), dc, flat);
    }
    Transpose4(out[0], out[1], out[2], out[3]);
    for (int32_t r = 0; r < 4; ++r) {
        _mm_storeu_si128(reinterpret_cast<Vector*>(block + 8 * r), out[r]);
    }
}

// The 2 x 2 transform: the column pass four lanes at a time, the two rows one by one.
[[gnu::always_inline]] inline void Idct2x2(const Vector* left, const Vector* right, int32_t* block)
{
    alignas(16) int32_t work[16];
    const Vector* halves[2] = {left, right};
    for (int32_t h = 0; h < 2; ++h) {
        const Vector* rows = halves[h];
        const Vector flat = _mm_cmpeq_epi32(Or(Or(rows[1], rows[3]), Or(rows[5], rows[7])), _mm_setzero_si128());
        const Vector dc = _mm_slli_epi32(rows[0], 2);
        const Vector a = _mm_add_epi32(_mm_slli_epi32(rows[0], 15), _mm_set1_epi32(4096));
        const Vector p = _mm_add_epi32(_mm_add_epi32(Mul(rows[1], 29692), Mul(rows[3], -10426)),
                                       _mm_add_epi32(Mul(rows[5], 6967), Mul(rows[7], -5906)));
        const Vector w0 = _mm_blendv_epi8(_mm_srai_epi32(_mm_add_epi32(a, p), 13), dc, flat);
        const Vector w1 = _mm_blendv_epi8(_mm_srai_epi32(_mm_sub_epi32(a, p), 13), dc, flat);
        _mm_store_si128(reinterpret_cast<Vector*>(work + 4 * h), w0);
        _mm_store_si128(reinterpret_cast<Vector*>(work + 8 + 4 * h), w1);
    }
    for (int32_t r = 0; r < 2; ++r) {
        const auto* w = reinterpret_cast<const uint32_t*>(work + 8 * r);
        int32_t* out = block + 8 * r;
        if ((w[1] | w[3] | w[5] | w[7]) == 0) {
            out[0] = static_cast<int32_t>(w[0] + 16u) >> 5;
            out[1] = out[0];
            continue;
        }
        const uint32_t a = w[0] * 32768u;
        const uint32_t p = w[1] * 29692u + w[3] * static_cast<uint32_t>(-10426) + w[5] * 6967u +
                           w[7] * static_cast<uint32_t>(-5906);
        out[0] = static_cast<int32_t>(a + p + 524288u) >> 20;
        out[1] = static_cast<int32_t>(a - p + 524288u) >> 20;
    }
}

void LoadBlock(const int32_t* block, Vector* left, Vector* right)
{
    for (int32_t k = 0; k < 8; ++k) {
        left[k] = _mm_loadu_si128(reinterpret_cast<const Vector*>(block + 8 * k));
        right[k] = _mm_loadu_si128(reinterpret_cast<const Vector*>(block + 8 * k + 4));
    }
}

// 16-bit values times their multipliers, wrapping to 32 bits; only the rows in `rows` (a bit
// each), the transform reading no others.
[[gnu::always_inline]] inline void LoadWords(const int16_t* words, const int32_t* multiplier, Vector* left,
                                             Vector* right, uint32_t rows)
{
    for (int32_t k = 0; k < 8; ++k) {
        if ((rows >> k & 1) == 0) {
            left[k] = _mm_setzero_si128();
            right[k] = _mm_setzero_si128();
            continue;
        }
        const Vector w = _mm_loadu_si128(reinterpret_cast<const Vector*>(words + 8 * k));
        left[k] = _mm_mullo_epi32(_mm_cvtepi16_epi32(w),
                                  _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k)));
        right[k] = _mm_mullo_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(w, 8)),
                                   _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k + 4)));
    }
}

}  // namespace

void jpeg_idct_4x4_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Vector left[8];
    Vector right[8];
    LoadBlock(entry->coefficients, left, right);
    Idct4x4(left, right, entry->coefficients);
}

void jpeg_idct_2x2_sse41(jpeg_decoder*, jpeg_block_entry* entry, int32_t)
{
    Vector left[8];
    Vector right[8];
    LoadBlock(entry->coefficients, left, right);
    Idct2x2(left, right, entry->coefficients);
}

void jpeg_idct_4x4_words_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    Vector left[8];
    Vector right[8];
    LoadWords(words, multiplier, left, right, 0xEF);
    Idct4x4(left, right, out);
}

void jpeg_idct_2x2_words_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    Vector left[8];
    Vector right[8];
    LoadWords(words, multiplier, left, right, 0xAB);
    Idct2x2(left, right, out);
}

void jpeg_widen_block_sse41(const int16_t* words, const int32_t* multiplier, int32_t* out)
{
    // All loads first: out may overlay words.
    Vector w[8];
    for (int32_t k = 0; k < 8; ++k) {
        w[k] = _mm_loadu_si128(reinterpret_cast<const Vector*>(words + 8 * k));
    }
    for (int32_t k = 0; k < 8; ++k) {
        const Vector m0 = _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k));
        const Vector m1 = _mm_loadu_si128(reinterpret_cast<const Vector*>(multiplier + 8 * k + 4));
        _mm_storeu_si128(reinterpret_cast<Vector*>(out + 8 * k), _mm_mullo_epi32(_mm_cvtepi16_epi32(w[k]), m0));
        _mm_storeu_si128(reinterpret_cast<Vector*>(out + 8 * k + 4),
                         _mm_mullo_epi32(_mm_cvtepi16_epi32(_mm_srli_si128(w[k], 8)), m1));
    }
}
#endif
