#include <immintrin.h>

#include "memory/copy_fill.h"
#include "memory/copy_wide_body.h"

namespace {

struct Zmm {
    using T = __m512i;
    static constexpr uint32_t W = 64;
    static T loadu(const uint8_t* p) { return _mm512_loadu_si512(p); }
    static void storeu(uint8_t* p, T v) { _mm512_storeu_si512(p, v); }
    static void storea(uint8_t* p, T v) { _mm512_store_si512(p, v); }
    static void stream(uint8_t* p, T v) { _mm512_stream_si512(reinterpret_cast<T*>(p), v); }
};

}   // namespace

void* CopyBytesAvx512(const void* src, void* dst, int32_t count)
{
    return copy_wide<Zmm>(src, dst, count);
}
