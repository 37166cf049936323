#include <immintrin.h>

#include "memory/copy_fill.h"
#include "memory/copy_wide_body.h"

namespace {

struct Ymm {
    using T = __m256i;
    static constexpr uint32_t W = 32;
    static T loadu(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const T*>(p)); }
    static void storeu(uint8_t* p, T v) { _mm256_storeu_si256(reinterpret_cast<T*>(p), v); }
    static void storea(uint8_t* p, T v) { _mm256_store_si256(reinterpret_cast<T*>(p), v); }
    static void stream(uint8_t* p, T v) { _mm256_stream_si256(reinterpret_cast<T*>(p), v); }
};

}   // namespace

void* CopyBytesAvx2(const void* src, void* dst, int32_t count)
{
    return copy_wide<Ymm>(src, dst, count);
}
