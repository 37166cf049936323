#pragma once

#include <cstddef>
#include <cstdint>

// One JPEG stream through a reader: the first byte chooses the reader (bits 0-1: JPEG, JFIF,
// lossless), the scale (bits 2-3: 256, 128, 64, 32) and whether the information is loaded
// first (bit 4); the rest is the stream. Shared by the fuzzer and the corpus replay test.
int VekFuzzReadJPEG(const uint8_t* data, size_t size);
