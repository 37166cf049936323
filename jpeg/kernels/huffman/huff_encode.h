#pragma once

#include <cstdint>

#include "processor/kernel_status.h"

// Huffman encoding of sequential blocks, lossless rows and single differences into a caller's
// buffer, stuffing a 0x00 after every 0xFF. The state keeps the fewer than eight bits that do
// not fill a byte between calls; a flush ends the segment with one bits and resets the state.

struct HuffEncodeState {
    uint32_t bitAcc;    // pending bits from bit 23 down, zeros below; bits 31-24 are stale
    uint32_t aux0;      // 0 after every successful put
    int32_t bitCount;   // pending bits, 0 to 7 between calls
    uint32_t aux1;
    uint32_t aux2;
    uint8_t auxArea[1024];
};
static_assert(sizeof(HuffEncodeState) == 1044);

// Entry per symbol: length (1 to 16) in the high half, code in the low half; 0 for no code.
struct HuffEncodeSpec {
    uint32_t entry[256];
};
static_assert(sizeof(HuffEncodeSpec) == 1024);

// The bit writer of each level. Unchecked pointers; 0, -64 (length outside 1..16) or -62 (buffer
// full: the bytes stored so far are counted in the position, bitAcc and bitCount keep their old
// values).
template <int Level>
kernel_status PutHuffBits(uint32_t code, int32_t codeLength, uint8_t* buf, int32_t bufLen, int32_t* pos,
                          HuffEncodeState* state);
// -8 null, -6 count below 1, else zero-fills count bytes with the level's fill.
template <int Level>
kernel_status ZeroBytes(void* dst, int32_t count);
template <int Level>
void ResetHuffEncodeState(HuffEncodeState* state);

// Table entries. Every entry checks buf, bufLen, pos and state first, then a non-zero flush
// flag ends the segment (one bits to the byte boundary, then a reset) and returns that put's
// status; a position outside 0..bufLen is -5 with nothing written.
kernel_status GetHuffEncodeSpecSize(int32_t* size);
template <int Level>
kernel_status InitHuffEncodeSpec(const uint8_t* bits, const uint8_t* values, HuffEncodeSpec* spec);
template <int Level>
kernel_status InitHuffEncodeState(HuffEncodeState* state);

// One block of 64 coefficients in natural order; lastDc receives block[0]. -64 for a symbol
// without a code, for an AC value of -32768 and for a DC difference beyond +-32767.
template <int Level>
kernel_status EncodeHuffman8x8(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                               const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state,
                               int32_t flush);
// One row of differences, components interleaved sample by sample (the first four of them).
template <int Level>
kernel_status EncodeHuffmanLosslessRow(const int16_t* const* rows, int32_t width, int32_t componentCount, uint8_t* buf,
                                       int32_t bufLen, int32_t* pos, const HuffEncodeSpec* const* specs,
                                       HuffEncodeState* state, int32_t flush);
// One difference; -32768 is category 16 without value bits.
template <int Level>
kernel_status EncodeHuffmanDiff(const int16_t* value, uint8_t* buf, int32_t bufLen, int32_t* pos,
                                const HuffEncodeSpec* spec, HuffEncodeState* state, int32_t flush);

#if defined(__x86_64__) || defined(__i386__)
// Fast kernels, unchecked. The block kernel (levels 1 to 5) returns 0 when done, 1 with the
// position, state and DC as on entry when the entry must encode the block itself (little room,
// a symbol without a code, a value outside the scan's range); bytes from the position on may be
// overwritten either way.
template <int Level>
int32_t EncodeHuffman8x8Mmx(const int16_t* block, uint8_t* buf, int32_t bufLen, int32_t* pos, int16_t* lastDc,
                            const HuffEncodeSpec* dcSpec, const HuffEncodeSpec* acSpec, HuffEncodeState* state);
// Levels 4 and 5: 0, -62 or -64 with the position and state as on entry, or 1 for a component
// count outside 1..4.
template <int Level>
int32_t EncodeHuffmanLosslessRowSsse3(const int16_t* const* rows, int32_t width, int32_t componentCount, uint8_t* buf,
                                      int32_t bufLen, int32_t* pos, const HuffEncodeSpec* const* specs,
                                      HuffEncodeState* state);
// Levels 2 to 5: needs 9 free bytes; 1 (nothing changed) for a symbol without a code.
template <int Level>
int32_t EncodeHuffmanDiffScalar(const int16_t* value, uint8_t* buf, int32_t* pos, const HuffEncodeSpec* spec,
                                HuffEncodeState* state);
#endif
