#pragma once

#include <cstddef>
#include <cstdint>

#include "processor/kernel_status.h"

// Huffman decoding of sequential blocks and lossless rows. A table is built once per DHT table
// and only read afterwards; the state carries the bit buffer across the blocks or rows of one
// restart interval, while the caller keeps the byte position and the marker slot (0 until the
// reader meets a marker, then the marker's code byte, after which nothing more is read).

struct HuffDecodeSpec {
    uint16_t huffval[256];     // symbols in code order
    uint32_t lookahead[256];   // next 8 bits -> (length << 16) | symbol; 0 when no code of <= 8 bits
    uint16_t mincode[18];      // first code of each length 1..16
    uint16_t maxcode[18];      // last code of each length, 0xFFFF for none (and for 17)
    uint16_t valptr[18];       // index in huffval of the first code of each length
};
static_assert(sizeof(HuffDecodeSpec) == 1644);

struct HuffDecodeState {
    uint32_t bitBuffer;    // unread bits right-aligned; the next one is bit bitCount - 1
    uint32_t refillFlag;   // 0 after every byte appended
    int32_t bitCount;      // below 0 only after a marker cut a value short
    uint32_t reserved;
    int32_t blockEnd;   // zigzag index past the last decoded coefficient, 0 when the DC failed
    uint32_t spare;     // never cleared nor touched
};
static_assert(sizeof(HuffDecodeState) == 24);

// Natural position of every zigzag index, then 15 guards of 63 that a run past the end reaches.
extern const uint32_t huff_zigzag_natural[79];

// Level 0 bodies of the operations (every level shares the size queries and the initialisers).
kernel_status HuffDecodeSpecSize(int32_t* size);
kernel_status HuffDecodeStateSize(int32_t* size);
kernel_status HuffDecodeStateInit(HuffDecodeState* state);

// Canonical codes from 16 counts of code lengths and the symbols in code order. -8 for a null
// pointer; -64 when more than 256 codes are declared or a code does not fit its length.
template <int Level>
kernel_status HuffDecodeSpecInit(const uint8_t* counts, const uint8_t* values, HuffDecodeSpec* spec);

kernel_status DecodeHuffman8x8(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                               uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                               HuffDecodeState* state);
kernel_status DecodeHuffDiff(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff, uint32_t* marker,
                             const HuffDecodeSpec* spec, HuffDecodeState* state);
kernel_status DecodeHuffmanLosslessRow(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                       int32_t samples, int32_t components, uint32_t* marker,
                                       const HuffDecodeSpec* const* specs, HuffDecodeState* state);

// Entries of levels 1 to 5: the fast kernel where the level has one, else the general path. The
// block entries live beside their fast kernels (huff_decode_sse2.cpp, huff_decode_ssse3.cpp).
template <int Level>
kernel_status DecodeHuffman8x8Simd(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                   int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc,
                                   const HuffDecodeSpec* ac, HuffDecodeState* state);
template <int Level>
kernel_status DecodeHuffDiffSimd(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff,
                                 uint32_t* marker, const HuffDecodeSpec* spec, HuffDecodeState* state);
template <int Level>
kernel_status DecodeHuffmanLosslessRowSimd(const uint8_t* data, int32_t length, int32_t* position,
                                           uint16_t* const* rows, int32_t samples, int32_t components, uint32_t* marker,
                                           const HuffDecodeSpec* const* specs, HuffDecodeState* state);

// The general path, unchecked; the entries have made the checks. Missing bits after a marker
// read as zeros.
kernel_status FillHuffBitBuffer(const uint8_t* data, int32_t length, int32_t* position, uint32_t* marker, int32_t need,
                                HuffDecodeState* state);
kernel_status DecodeHuffSymbol(const uint8_t* data, int32_t length, int32_t* position, uint32_t* marker,
                               uint32_t* symbol, const HuffDecodeSpec* spec, HuffDecodeState* state);
// The checks of the block entries, in their order.
inline kernel_status HuffCheckBlockArguments(const uint8_t* data, int32_t length, const int32_t* position,
                                             const int16_t* block, const int16_t* last_dc, const uint32_t* marker,
                                             const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                                             const HuffDecodeState* state)
{
    if (data == nullptr)
        return kernel_null_pointer;
    if (length < 0)
        return kernel_out_of_range;
    if (position == nullptr || block == nullptr || last_dc == nullptr || marker == nullptr || dc == nullptr ||
        ac == nullptr || state == nullptr)
        return kernel_null_pointer;
    return kernel_ok;
}
// The block after the checks and the clearing of the block.
kernel_status DecodeBlockGeneral(const uint8_t* data, int32_t length, int32_t* position, int16_t* block,
                                 int16_t* last_dc, uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                                 HuffDecodeState* state);
kernel_status DecodeDiffGeneral(const uint8_t* data, int32_t length, int32_t* position, uint16_t* diff,
                                uint32_t* marker, const HuffDecodeSpec* spec, HuffDecodeState* state);
kernel_status DecodeRowGeneral(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                               int32_t samples, int32_t components, uint32_t* marker,
                               const HuffDecodeSpec* const* specs, HuffDecodeState* state);

#if defined(__x86_64__) || defined(__i386__)
// The fast kernels' per-thread memo of a table, indexed by the next 10 bits: one read gives a
// whole coefficient or difference when its code and value bits fit in them. Entry i is made
// from lookahead[i >> 2] and i alone and keeps that word in its high half: checked against the
// table at each use and remade when it differs, an entry is never stale, so a slot taken over by
// another table of the same kind needs no clearing.
// Low half of a plain entry (bit 7 clear): bits 0-5 code and value bits together, 8-15 run + 1
// (AC), 16-31 the value (as stored: a difference is its 16-bit pattern). Otherwise bit 7 is set
// and bits 16-17 tell the kind: kHuffMemoLongValue (bits 0-5 and 8-15 as above, 18-23
// (64 - size) & 63, 24-29 code bits), kHuffMemoRunEnd (AC end of block or sixteen zeros: bits
// 0-5 code bits, 8-15 run), kHuffMemoLongCode (no code of 8 bits or fewer) or kHuffMemoDecline
// (a length no table of ours holds; the general path reads the table as it stands).
enum : uint32_t { kHuffMemoLongValue = 0, kHuffMemoRunEnd = 1, kHuffMemoLongCode = 2, kHuffMemoDecline = 3 };
// What a table's symbols are: run and size of AC coefficients, or sizes of lossless differences.
enum HuffMemoKind : uint32_t { kHuffMemoAc = 0, kHuffMemoDifference = 1 };
struct HuffMemo {
    const HuffDecodeSpec* spec;
    HuffMemoKind kind;
    uint64_t entries[1024];
};
// Four slots cover the tables of any scan; a fifth table takes the slot used longest ago.
struct HuffMemoSet {
    HuffMemo slots[4];
    uint32_t next;
};
// The calling thread's set, null until its first use. A plain __thread pointer: reading it from
// another file then needs no call to a guard. Initial-exec: the kernels are linked into the
// program, and the default model costs a call.
extern __thread HuffMemoSet* huff_memo_set __attribute__((tls_model("initial-exec")));
// A slot for a table that the calling thread's set does not hold yet (the set is made on the
// thread's first call and freed when the thread ends); null when no memory could be had.
HuffMemo* HuffMemoTake(const HuffDecodeSpec* spec, HuffMemoKind kind);
// The calling thread's memo slot for the table; null when no memory could be had. Inline, as
// it runs once a block: the slot already held is found without a call.
inline HuffMemo* HuffMemoFor(const HuffDecodeSpec* spec, HuffMemoKind kind)
{
    if (HuffMemoSet* const set = huff_memo_set; set != nullptr)
        for (HuffMemo& slot : set->slots)
            if (slot.spec == spec && slot.kind == kind)
                return &slot;
    return HuffMemoTake(spec, kind);
}
// How a thread's memo set is allocated (std::calloc); a test puts one that refuses in its place
// before starting the thread whose decoding it checks.
extern void* (*huff_memo_calloc)(size_t count, size_t size);
uint64_t HuffMemoEntry(uint32_t lookahead, uint32_t index, HuffMemoKind kind);

// Fast kernels: 0 when the whole job is done, 1 (position, state, marker and DC as on entry)
// when the general path must do it. The block kernel clears the block and blockEnd first.
// Levels 1 to 3 reverse the loaded bytes with two 32-bit swaps, 4 and 5 with one byte shuffle.
template <int Level>
int32_t DecodeHuffman8x8Fast(const uint8_t* data, int32_t length, int32_t* position, int16_t* block, int16_t* last_dc,
                             uint32_t* marker, const HuffDecodeSpec* dc, const HuffDecodeSpec* ac,
                             HuffDecodeState* state);
// Levels 4 and 5.
template <int Level>
int32_t DecodeHuffmanLosslessRowFast(const uint8_t* data, int32_t length, int32_t* position, uint16_t* const* rows,
                                     int32_t samples, int32_t components, uint32_t* marker,
                                     const HuffDecodeSpec* const* specs, HuffDecodeState* state);
// Unchecked: needs 8 bytes after the position and no marker.
int32_t DecodeHuffDiffFast(const uint8_t* data, int32_t* position, uint16_t* diff, const HuffDecodeSpec* spec,
                           HuffDecodeState* state);
#endif
