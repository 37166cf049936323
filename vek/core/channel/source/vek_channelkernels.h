#pragma once
// Three 8-bit planes into one interleaved line, the common merge of the DICOM readers, and one
// channel of three out of such a line, each with a plain body and an SSSE3 body that give the
// same bytes; the bodies are chosen once, at first use.

#include <cstdint>

using VEK_Merge3U8Line = void (*)(const uint8_t* a, const uint8_t* b, const uint8_t* c, uint8_t* out, uint32_t width);

VEK_Merge3U8Line vek_merge3_u8_line();

// Channel k (0..2) of width interleaved 8-bit triples.
using VEK_Select1of3U8Line = void (*)(const uint8_t* in, uint8_t* out, uint32_t width, uint32_t k);

VEK_Select1of3U8Line vek_select1of3_u8_line();
