#pragma once

#include <cstddef>
#include <cstdint>

// Reads one input's header from memory as the library would, with a few requested colours, a
// table donor and the set-up steps that follow a header; reads back every accessor; then decodes
// every row at every size and luminance only, also after a failed header. Shared by the fuzzer
// and the test that replays its corpus.
int JpegFuzzReadHeader(const uint8_t* data, size_t size);
