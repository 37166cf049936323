#pragma once

#include <cstddef>
#include <cstdint>

// Loads one input as a DICOM image, reads back every frame's fragment lists and runs each
// frame's reading chain. Shared by the fuzzer and the test that replays its corpus.
int VekFuzzLoadDICOMInfo(const uint8_t* data, size_t size);

// Loads one input as a DICOMDIR and walks its tree and pointer lists.
int VekFuzzLoadDICOMDIR(const uint8_t* data, size_t size);

// One RLE frame: width and height (1 to 64) from the first two bytes, then a flags byte
// (1: 16 bits, 2: three channels, 4: YBR_FULL_422); the rest is the frame.
int VekFuzzReadRLEFrame(const uint8_t* data, size_t size);
