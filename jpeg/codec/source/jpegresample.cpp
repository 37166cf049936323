// Resampling of component planes in place.

#include <bit>
#include <cstring>

#include "jpeg/jpegdecode.h"

namespace {

// Eight samples doubled into sixteen, right to left within the row (in place when to == from).
void DoubleRow(const uint8_t* from, uint8_t* to, uint32_t count)
{
    uint32_t i = count;
    while (std::endian::native == std::endian::little && i >= 8) {
        i -= 8;
        uint64_t word = 0;
        std::memcpy(&word, from + i, 8);
        uint64_t low = word & 0xFFFFFFFFu;
        uint64_t high = word >> 32;
        low = (low | low << 16) & 0x0000FFFF0000FFFFull;
        low = (low | low << 8) & 0x00FF00FF00FF00FFull;
        high = (high | high << 16) & 0x0000FFFF0000FFFFull;
        high = (high | high << 8) & 0x00FF00FF00FF00FFull;
        low |= low << 8;
        high |= high << 8;
        std::memcpy(to + 2 * i, &low, 8);
        std::memcpy(to + 2 * i + 8, &high, 8);
    }
    while (i-- > 0) {
        to[2 * i + 1] = from[i];
        to[2 * i] = from[i];
    }
}

}   // namespace

void jpeg_upsample_h(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t, uint32_t width, uint32_t)
{
    const uint32_t source_width = source->width;
    const uint32_t height = source->height;
    const int32_t stride = source->stride;
    uint8_t* samples = source->samples;
    if (source_width == 0 || h == 0) {
        return;
    }
    // From the last row and the last position down, so that the wider rows may overwrite the
    // narrower ones in the same memory.
    for (uint32_t r = height; r-- > 0;) {
        const uint8_t* from = samples + static_cast<ptrdiff_t>(r) * stride;
        uint8_t* to = samples + static_cast<ptrdiff_t>(r) * width;
        if (h == 2 && width == 2 * source_width) {
            DoubleRow(from, to, source_width);
            continue;
        }
        // Each source sample fills h positions, counted from the row's end.
        uint32_t x = width;
        for (uint32_t i = source_width; i-- > 0 && x > 0;) {
            for (uint32_t k = 0; k < h && x > 0; ++k) {
                to[--x] = from[i];
            }
        }
        while (x > 0) {
            to[--x] = from[0];
        }
    }
    target->samples = samples;
    target->width = width;
    target->height = height;
    target->stride = static_cast<int32_t>(width);
}

void jpeg_upsample_v(jpeg_plane* source, jpeg_plane* target, uint32_t, uint32_t v, uint32_t, uint32_t lines)
{
    const uint32_t height = source->height;
    const int32_t stride = source->stride;
    uint8_t* samples = source->samples;
    const auto row_bytes = static_cast<size_t>(stride);
    if (v == 0) {
        return;
    }
    for (uint32_t r = height; r-- > 1;) {
        for (uint32_t k = v; k-- > 0;) {
            const uint32_t to = r * v + k;
            if (to < lines) {
                std::memcpy(samples + static_cast<ptrdiff_t>(to) * stride, samples + static_cast<ptrdiff_t>(r) * stride,
                            row_bytes);
            }
        }
    }
    for (uint32_t k = 1; k < v && k < lines; ++k) {
        std::memcpy(samples + static_cast<ptrdiff_t>(k) * stride, samples, row_bytes);
    }
    target->samples = samples;
    target->width = source->width;
    target->height = lines;
    target->stride = stride;
}

void jpeg_upsample_hv(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width, uint32_t lines)
{
    jpeg_upsample_h(source, target, h, v, width, lines);
    jpeg_upsample_v(target, target, h, v, width, lines);
}

void jpeg_downsample_v(jpeg_plane* source, jpeg_plane* target, uint32_t, uint32_t v, uint32_t, uint32_t lines)
{
    const uint32_t width = source->width;
    const int32_t stride = source->stride;
    uint8_t* samples = source->samples;
    const uint32_t shift = v >> 1;
    for (uint32_t r = 0; r < lines; ++r) {
        uint8_t* to = samples + static_cast<ptrdiff_t>(r) * stride;
        const uint8_t* from = samples + static_cast<ptrdiff_t>(r) * v * stride;
        for (uint32_t x = 0; x < width; ++x) {
            uint32_t sum = 0;
            for (uint32_t k = 0; k < v; ++k) {
                sum += from[static_cast<ptrdiff_t>(k) * stride + x];
            }
            to[x] = static_cast<uint8_t>(sum >> shift);
        }
    }
    target->samples = samples;
    target->width = width;
    target->height = lines;
    target->stride = stride;
}

void jpeg_downsample_v_upsample_h(jpeg_plane* source, jpeg_plane* target, uint32_t h, uint32_t v, uint32_t width,
                                  uint32_t lines)
{
    jpeg_downsample_v(source, target, h, v, width, lines);
    const uint32_t narrow = target->width;
    // Only the averaged rows, each in its own row of the plane, right to left.
    for (uint32_t r = 0; r < lines; ++r) {
        uint8_t* row = target->samples + static_cast<ptrdiff_t>(r) * target->stride;
        for (uint32_t x = width; x-- > 0;) {
            const uint32_t from = x / h;
            row[x] = row[from < narrow ? from : narrow - 1];
        }
    }
    target->width = width;
}

void jpeg_setup_resample(jpeg_decoder* decoder)
{
    const uint32_t s = decoder->scale_denominator != 0 ? decoder->scale_denominator : 1;
    for (int32_t c = 0; c < decoder->component_count; ++c) {
        const uint32_t rh = decoder->ratio_h[c];
        const uint32_t rv = decoder->ratio_v[c];
        if (s != 1) {
            decoder->resample[c] = nullptr;
            if (c == 1 || c == 2) {
                if (jpeg_layout_is_411(decoder)) {
                    decoder->resample[c] = s == 2 ? &jpeg_downsample_v_upsample_h : &jpeg_downsample_v;
                } else if (jpeg_layout_is_422(decoder)) {
                    decoder->resample[c] = &jpeg_downsample_v;
                }
            }
        } else {
            if (rh <= 1 && rv <= 1) {
                decoder->resample[c] = nullptr;
            } else if (rh == rv) {
                decoder->resample[c] = &jpeg_upsample_hv;
            } else if (rv <= 1) {
                decoder->resample[c] = &jpeg_upsample_h;
            } else if (rh <= 1) {
                decoder->resample[c] = &jpeg_upsample_v;
            } else {
                decoder->resample[c] = &jpeg_upsample_hv;
            }
        }
        decoder->resample_lines[c] = decoder->line_buffers[c].rows / s;
        decoder->resample_width[c] = decoder->line_buffers[c].stride / s;
    }
}
