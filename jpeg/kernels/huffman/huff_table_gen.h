#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// The Huffman table of T.81 K.2 for 257 symbol counts (the last is replaced by 1, so that no code
// is all ones): 16 counts of code lengths 1 to 16 and the symbols in code order, lengths limited
// to 16. Ties go to the larger symbol number, as libjpeg's jpeg_gen_optimal_table does.
// -8 for a null pointer; -5 for a negative count among the first 256; -64 when a code before the
// limiting would be longer than 32 bits. Nothing is written on failure. With every count 0 the
// lengths are all 0 and no value is written. Each level moves its work arrays with its own
// copy and fill kernels.
template <int Level>
kernel_status GenerateHuffTable(const int32_t* counts, uint8_t* bits, uint8_t* values);
