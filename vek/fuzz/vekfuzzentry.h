#pragma once

#include <cstddef>
#include <cstdint>

// Loads one input as a DICOM image and reads back every frame's fragment lists. Shared by
// the fuzzer and the test that replays its corpus.
int VekFuzzLoadDICOMInfo(const uint8_t* data, size_t size);
