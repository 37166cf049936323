#pragma once

#include <cstdint>

// What one image may cost, whatever its file claims; the readers of every library share these.

// Bytes of decoded samples one frame may have (rows x columns x samples x bits, rounded up to
// whole bytes a line), checked from the header before anything of the frame's size is
// allocated. Above the largest real single frames (mammography and stitched CR, tens of
// megapixels at 16 bits, or colour at 8), and low enough that a frame of a few header bytes
// cannot claim gigabytes.
constexpr uint64_t kPlatFrameDecodeBudget = uint64_t(128) << 20;

// Bytes one image load may hold at once through its manager: its parsed dataset and every
// buffer of the decode. The largest decode holds the decode budget's worth (a progressive JPEG
// frame's coefficients count against it); this leaves room for that and the rest of the chain.
constexpr uint64_t kPlatLoadMemoryBudget = uint64_t(384) << 20;

// Bytes of a frame of these dimensions decoded; UINT64_MAX when that does not fit 64 bits.
constexpr uint64_t PlatDecodedFrameBytes(uint64_t width, uint64_t height, uint64_t samples, uint64_t bits)
{
    constexpr uint64_t kMost = ~uint64_t{0};
    if (samples != 0 && width > kMost / samples) {
        return kMost;
    }
    const uint64_t lineSamples = width * samples;
    if (bits != 0 && lineSamples > (kMost - 7) / bits) {
        return kMost;
    }
    const uint64_t lineBytes = (lineSamples * bits + 7) / 8;
    return lineBytes != 0 && height > kMost / lineBytes ? kMost : lineBytes * height;
}
