#pragma once

// libjpeg-turbo's side of the decode benchmark, kept out of the codec's translation unit.

#include <cstdint>
#include <vector>

// A baseline stream of the image (1 or 3 channels) with the given sampling of component 0.
std::vector<uint8_t> PeerEncodeBaseline(const std::vector<uint8_t>& pixels, int width, int height, int channels,
                                        int h0, int v0, int quality);
// libjpeg API: JDCT_ISLOW, no fancy upsampling, output as coded (YCbCr or grey), row by row.
void PeerDecodeRows(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out);
// TurboJPEG to RGB (or grey for one component).
void PeerDecodeTurbo(void* handle, const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, int width,
                     int height, int channels);
void* PeerTurboCreate();
void PeerTurboDestroy(void* handle);
