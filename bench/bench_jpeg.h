#pragma once
// The baseline and progressive streams the JPEG decode benchmarks share, coded by libjpeg-turbo
// from a photographic-looking test card.

#include <cmath>
#include <cstdint>
#include <vector>

#include "jpegpeer.h"

namespace bench_jpeg {

inline constexpr int kSize = 1024;

// A photographic-looking test card: smooth shading, edges and sensor noise.
inline std::vector<uint8_t> Picture(int channels, int size = kSize)
{
    std::vector<uint8_t> pixels(static_cast<size_t>(size) * size * channels);
    uint32_t noise = 1;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            for (int c = 0; c < channels; ++c) {
                noise = noise * 1103515245u + 12345u;
                const double r = std::hypot(x - 400.0 - 60 * c, y - 500.0);
                double v = 120 + 70 * std::cos(r * 0.02) + 40 * std::sin(x * 0.011 + y * 0.007 * (c + 1));
                v += (r < 300 ? 30 : 0) + static_cast<int>(noise >> 29) - 4;
                pixels[(static_cast<size_t>(y) * size + x) * channels + c] = static_cast<uint8_t>(v < 0     ? 0
                                                                                                  : v > 255 ? 255
                                                                                                            : v);
            }
        }
    }
    return pixels;
}

// Kinds: 0 grey, 1 4:2:0, 2 4:4:4 baseline; 3 grey, 4 4:2:0 progressive (libjpeg-turbo's default
// progression); 5 a 2048 x 2048 4:2:0 baseline stream for the reduced sizes.
inline constexpr int kLarge = 2048;

inline const std::vector<uint8_t>& Stream(int kind)
{
    static std::vector<uint8_t> streams[6];
    if (streams[kind].empty()) {
        const int channels = kind == 0 || kind == 3 ? 1 : 3;
        const int factor = kind == 1 || kind == 4 || kind == 5 ? 2 : 1;
        const int size = kind == 5 ? kLarge : kSize;
        PeerOptions options;
        options.width = size;
        options.height = size;
        options.components = channels;
        options.sampling[0] = static_cast<uint8_t>(factor << 4 | factor);
        options.quality = 90;
        options.progression = kind == 3 || kind == 4 ? 1 : 0;
        streams[kind] = PeerEncodeBaseline(options, Picture(channels, size));
    }
    return streams[kind];
}

}   // namespace bench_jpeg
