// The renderer's bitmap as an image Qt draws without converting again.

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/platdispatch.h"
#include "viewer/xevimageviewctrl.h"

namespace {

uint32_t Le32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t Le16(const uint8_t* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

// Every full paint passes here: a grey byte spread to four, 16 pixels a step. SSE2 is the
// baseline of every x86-64 processor, so no run-time choice beyond the forced plain body.
void ExpandGrey(const uint8_t* src, uint32_t* dst, int64_t width)
{
    int64_t x = 0;
#if defined(__SSE2__)
    static const bool plain = PlatForcePlainKernels();
    if (!plain) {
        const __m128i alpha = _mm_set1_epi32(int32_t(0xFF000000u));
        for (; x + 16 <= width; x += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
            const __m128i lo = _mm_unpacklo_epi8(v, v);
            const __m128i hi = _mm_unpackhi_epi8(v, v);
            auto* out = reinterpret_cast<__m128i*>(dst + x);
            _mm_storeu_si128(out, _mm_or_si128(_mm_unpacklo_epi16(lo, lo), alpha));
            _mm_storeu_si128(out + 1, _mm_or_si128(_mm_unpackhi_epi16(lo, lo), alpha));
            _mm_storeu_si128(out + 2, _mm_or_si128(_mm_unpacklo_epi16(hi, hi), alpha));
            _mm_storeu_si128(out + 3, _mm_or_si128(_mm_unpackhi_epi16(hi, hi), alpha));
        }
    }
#endif
    for (; x < width; ++x) {
        dst[x] = 0xFF000000u | uint32_t(src[x]) * 0x010101u;
    }
}

}   // namespace

bool XEVDibToImage(const uint8_t* dib, uint64_t size, QImage& target)
{
    constexpr uint64_t kInfoBytes = 40;
    if (dib == nullptr || size < kInfoBytes) {
        return false;
    }
    const uint64_t infoSize = Le32(dib);
    const int64_t width = int32_t(Le32(dib + 4));
    const int64_t rawHeight = int32_t(Le32(dib + 8));
    const uint32_t bitCount = Le16(dib + 14);
    const uint32_t compression = Le32(dib + 16);
    const uint64_t colorsUsed = Le32(dib + 32);
    if (infoSize < kInfoBytes || infoSize > size || width <= 0 || rawHeight == 0 || compression != 0 ||
        (bitCount != 8 && bitCount != 24 && bitCount != 32)) {
        return false;
    }
    const int64_t height = rawHeight < 0 ? -rawHeight : rawHeight;
    if (width > (1 << 20) || height > (1 << 20)) {
        return false;
    }
    const uint64_t entries = bitCount == 8 ? (colorsUsed == 0 ? 256 : colorsUsed) : 0;
    if (entries > 256) {
        return false;
    }
    // The rows are counted from the bitmap's own sizes, never from its stated image size.
    const uint64_t pixelsAt = infoSize + entries * 4;
    const uint64_t stride = ((uint64_t(bitCount) * uint64_t(width) + 31) / 32) * 4;
    if (pixelsAt > size || stride * uint64_t(height) > size - pixelsAt) {
        return false;
    }
    // The previous image's memory is written again when it fits: no fresh pages per render.
    QImage image;
    if (target.size() == QSize(int(width), int(height)) && target.format() == QImage::Format_RGB32 &&
        target.isDetached()) {
        image = std::move(target);
    } else {
        image = QImage(int(width), int(height), QImage::Format_RGB32);
    }
    if (image.isNull()) {
        return false;
    }
    uint32_t palette[256];
    for (uint64_t i = 0; i < 256; ++i) {
        const uint8_t* e = dib + infoSize + i * 4;
        palette[i] = i < entries ? 0xFF000000u | uint32_t(e[2]) << 16 | uint32_t(e[1]) << 8 | e[0] : 0xFF000000u;
    }
    // The renderer's grey table maps every index to itself: the bytes are spread, not looked up.
    bool grey = entries == 256;
    for (uint32_t i = 0; grey && i < 256; ++i) {
        grey = palette[i] == (0xFF000000u | i * 0x010101u);
    }
    const bool bottomUp = rawHeight > 0;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* src = dib + pixelsAt + stride * uint64_t(bottomUp ? height - 1 - y : y);
        auto* dst = reinterpret_cast<uint32_t*>(image.scanLine(int(y)));
        if (grey) {
            ExpandGrey(src, dst, width);
        } else if (bitCount == 8) {
            for (int64_t x = 0; x < width; ++x) {
                dst[x] = palette[src[x]];
            }
        } else if (bitCount == 24) {
            for (int64_t x = 0; x < width; ++x) {
                const uint8_t* p = src + x * 3;
                dst[x] = 0xFF000000u | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
            }
        } else {
            for (int64_t x = 0; x < width; ++x) {
                dst[x] = 0xFF000000u | (Le32(src + x * 4) & 0x00FFFFFFu);
            }
        }
    }
    target = std::move(image);
    return true;
}

QImage XEVDibToImage(const uint8_t* dib, uint64_t size)
{
    QImage image;
    return XEVDibToImage(dib, size, image) ? image : QImage();
}
