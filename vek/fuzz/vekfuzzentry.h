#pragma once

#include <cstddef>
#include <cstdint>

// Loads one input as a DICOM image and reads back every frame's fragment lists. Shared by
// the fuzzer and the test that replays its corpus.
int VekFuzzLoadDICOMInfo(const uint8_t* data, size_t size);

// Loads one input as a DICOMDIR and walks its tree and pointer lists.
int VekFuzzLoadDICOMDIR(const uint8_t* data, size_t size);
