#pragma once

#include <cstddef>
#include <cstdint>

// Decodes one input as Huffman tables and entropy-coded data, as blocks or as lossless rows, at
// level 0 and at every level this processor has; traps when any level disagrees with level 0 on
// what it decodes before the first marker or error.
// Shared by the fuzzer and the test that replays its corpus. Returns 0.
int HuffmanFuzzDecode(const uint8_t* data, size_t size);
