#include <tmmintrin.h>

#include "memory/copy_fill.h"
#include "memory/copy_simd_body.h"
#include "processor/cpu_query.h"

namespace {

// A source at 4, 8 or 12 bytes past a 16-byte boundary: aligned loads shifted together. The first
// aligned load is at the boundary below s, which the caller keeps inside the source; while 80
// bytes remain the last one (16 bytes past the step) stays inside it too.
template <int Offset>
void shifted_loads(const uint8_t*& s, uint8_t*& d, uint32_t& n)
{
    const uint8_t* a = s - Offset;
    __m128i low = load16a(a);
    for (; n >= 80; n -= 64, a += 64, d += 64) {
        const __m128i b = load16a(a + 16), c = load16a(a + 32), e = load16a(a + 48), f = load16a(a + 64);
        store16a(d, _mm_alignr_epi8(b, low, Offset));
        store16a(d + 16, _mm_alignr_epi8(c, b, Offset));
        store16a(d + 32, _mm_alignr_epi8(e, c, Offset));
        store16a(d + 48, _mm_alignr_epi8(f, e, Offset));
        low = f;
    }
    s = a + Offset;
}

// Levels 4 and 5: stream from 1 MiB, every aligned copy chooses its direction.
void* copy_ssse3(const void* src, void* dst, int32_t count)
{
    static constexpr CopyLevel level{1u << 20, 0, false};
    return copy_simd(level, src, dst, count, [](const uint8_t* s, uint8_t* d, uint32_t n) {
        const uint32_t offset = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(s) & 15u);
        if ((offset & 3u) == 0) {
            // One unaligned piece first, so that the boundary below s lies inside the source.
            store16a(d, load16(s));
            s += 16, d += 16, n -= 16;
            switch (offset) {
            case 4: shifted_loads<4>(s, d, n); break;
            case 8: shifted_loads<8>(s, d, n); break;
            default: shifted_loads<12>(s, d, n); break;
            }
        }
        unaligned_loads(s, d, n);
    });
}

using copy_body = void* (*)(const void*, void*, int32_t);

// 64-byte pieces where the processor has AVX-512, except on Intel's, whose cores lower their
// clock for them; else 32-byte pieces where it has AVX2.
copy_body choose_level5_copy()
{
    if (cpu_avx512_usable()) {
        uint32_t r[4];
        QueryCpuid(r, 0, 0);
        const bool intel = r[1] == 0x756e6547u && r[3] == 0x49656e69u && r[2] == 0x6c65746eu;
        if (!intel)
            return &CopyBytesAvx512;
    }
    return cpu_avx2_usable() ? &CopyBytesAvx2 : &copy_ssse3;
}

}   // namespace

template <>
void* CopyBytes<4>(const void* s, void* d, int32_t n)
{
    return copy_ssse3(s, d, n);
}
template <>
void* CopyBytes<5>(const void* s, void* d, int32_t n)
{
    static const copy_body body = choose_level5_copy();
    return body(s, d, n);
}
