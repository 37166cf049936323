#include "huffman_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return HuffmanFuzzDecode(data, size);
}
