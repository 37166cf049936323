#pragma once

// libjpeg-turbo as the decoder's oracle and benchmark peer, in its own source file: it codes the
// streams and decodes them islow with replicated chroma. Tests and bench/ only.

#include <cstdint>
#include <vector>

struct PeerOptions {
    int width = 33;
    int height = 17;
    int components = 3;
    uint8_t sampling[3] = {0x22, 0x11, 0x11};
    bool rgb = false;       // coded in RGB (cjpeg -rgb)
    int restart_mcus = 0;   // -restart NB
    bool optimize = false;
    int quality = 90;
    int progression = 0;      // 1: libjpeg-turbo's default progression; 2: spectral selection only
    int separate_scans = 0;   // 1: one full-spectrum scan per component; 2: the same, last component first
};

// A baseline stream of interleaved pixels (o.components per pixel).
std::vector<uint8_t> PeerEncodeBaseline(const PeerOptions& o, const std::vector<uint8_t>& pixels);
// libjpeg API: JDCT_ISLOW, no fancy upsampling (chroma replicated), samples as coded.
std::vector<uint8_t> PeerDecode(const std::vector<uint8_t>& bytes);
// The same into an existing buffer, row by row (the benchmark's loop).
void PeerDecodeInto(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& out);
// Quantised coefficients as jpeg_read_coefficients gives them: per component, its blocks in raster
// order, 64 values each in natural order.
std::vector<std::vector<int16_t>> PeerReadCoefficients(const std::vector<uint8_t>& bytes);
// Scaled islow decode (scale_num 1, scale_denom as given), samples as coded, chroma replicated.
std::vector<uint8_t> PeerDecodeScaled(const std::vector<uint8_t>& bytes, int denominator, int* width, int* height);
// TurboJPEG to RGB (grey for one component).
void* PeerTurboCreate();
void PeerTurboDestroy(void* handle);
void PeerDecodeTurbo(void* handle, const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, int width, int height,
                     int channels);
