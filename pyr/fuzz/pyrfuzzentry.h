#pragma once

#include <cstddef>
#include <cstdint>

// Parses one input the ways a viewer meets files and reads back every value. Shared by the
// fuzzer and the test that replays its corpus.
int PyrFuzzReadDataset(const uint8_t* data, size_t size);
