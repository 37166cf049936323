#include "huffman_fuzz_entry.h"

#include <cstring>
#include <vector>

#include "huffman/huff_decode.h"
#include "jpeg_test_stream.h"
#include "lossless/lossless_reconstruct.h"
#include "processor/kernel_dispatch.h"

// Input: a mode byte (bit 0 lossless rows, bits 1-2 component count - 1, bit 3 one more
// component, bit 4 each call handed the rest of the data as a buffer of its own), a width byte,
// then two tables (16 counts and their symbols each) and the data.

namespace {

struct Cursor {
    const uint8_t* p;
    size_t left;
    uint8_t byte() { return left ? (--left, *p++) : 0; }
};

void read_table(Cursor& c, uint8_t counts[16], std::vector<uint8_t>& values)
{
    size_t total = 0;
    for (int i = 0; i < 16; ++i)
        total += counts[i] = c.byte();
    values.assign(total, 0);
    for (size_t i = 0; i < total; ++i)
        values[i] = c.byte();
}

void check(bool same)
{
    if (!same)
        __builtin_trap();
}

// What one call is handed: the whole data at the position, or (own) the rest of it from the
// position with the position 0 in an allocation of its own, as the codec hands each call the
// rest of its buffer; a read before the position then leaves the allocation.
struct CallBuffer {
    std::vector<uint8_t> rest;
    const uint8_t* bytes;
    int32_t length, offset, position;

    CallBuffer(const std::vector<uint8_t>& data, int32_t pos, bool own)
        : rest(own ? std::vector<uint8_t>(data.begin() + pos, data.end()) : std::vector<uint8_t>()),
          bytes(own ? rest.data() : data.data()), length(int32_t(own ? rest.size() : data.size())),
          offset(own ? pos : 0), position(own ? 0 : pos)
    {
    }
    int32_t end() const { return offset + position; }
};

// One record per block or row. Once a marker is met, bits missing behind it read as zeros and
// how many of them a level reads depends on where its refills fell, so only the records before
// the first marker or error must agree.
struct Trace {
    std::vector<std::vector<int64_t>> records;
    size_t clean = 0;
};

Trace decode_blocks(int level, const HuffDecodeSpec& dc, const HuffDecodeSpec& ac, const std::vector<uint8_t>& data,
                    bool own)
{
    Trace t;
    auto decode = dispatch_entry<dispatch_table_huff_decode_block_8x8>(level);
    HuffDecodeState st;
    huff_decode_state_init(&st);
    int32_t pos = 0;
    uint32_t marker = 0;
    int16_t pred = 0;
    bool clean = true;
    for (int b = 0; b < 512; ++b) {
        int16_t block[64];
        CallBuffer in(data, pos, own);
        const kernel_status r = decode(in.bytes, in.length, &in.position, block, &pred, &marker, &dc, &ac, &st);
        pos = in.end();
        std::vector<int64_t> rec(block, block + 64);
        rec.insert(rec.end(), {r, pred, st.blockEnd, stream_point(data, pos, st.bitCount)});
        t.records.push_back(std::move(rec));
        clean = clean && r == kernel_ok && marker == 0;
        if (clean)
            t.clean = t.records.size();
        if (r != kernel_ok)
            break;
    }
    return t;
}

Trace decode_rows(int level, const HuffDecodeSpec* const* specs, int width, int components,
                  const std::vector<uint8_t>& data, bool own)
{
    Trace t;
    auto decode = dispatch_entry<dispatch_table_huff_decode_lossless_row>(level);
    HuffDecodeState st;
    huff_decode_state_init(&st);
    int32_t pos = 0;
    uint32_t marker = 0;
    std::vector<std::vector<uint16_t>> rows(5, std::vector<uint16_t>(static_cast<size_t>(width)));
    std::vector<uint16_t> above(static_cast<size_t>(width)), sample(static_cast<size_t>(width));
    uint16_t* row_ptrs[5] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data(), rows[4].data()};
    bool clean = true;
    for (int y = 0; y < 64; ++y) {
        CallBuffer in(data, pos, own);
        const kernel_status r =
            decode(in.bytes, in.length, &in.position, row_ptrs, width, components, &marker, specs, &st);
        pos = in.end();
        std::vector<int64_t> rec = {r, stream_point(data, pos, st.bitCount)};
        for (int c = 0; c < components && c < 4; ++c)
            rec.insert(rec.end(), rows[size_t(c)].begin(), rows[size_t(c)].end());
        // Reconstruction of the first component with a predictor from the row number.
        const kernel_status rr = y == 0 ? dispatch_entry<dispatch_table_lossless_reconstruct_first_row>(level)(
                                              rows[0].data(), sample.data(), width, 16, 0)
                                        : dispatch_entry<dispatch_table_lossless_reconstruct_row>(level)(
                                              rows[0].data(), above.data(), sample.data(), width, 1 + y % 7);
        rec.push_back(rr);
        rec.insert(rec.end(), sample.begin(), sample.end());
        above = sample;
        t.records.push_back(std::move(rec));
        clean = clean && r == kernel_ok && marker == 0;
        if (clean)
            t.clean = t.records.size();
        if (r != kernel_ok)
            break;
    }
    return t;
}

void check_against(const Trace& t, const Trace& base)
{
    const size_t n = t.clean < base.clean ? t.clean : base.clean;
    for (size_t i = 0; i < n; ++i)
        check(t.records[i] == base.records[i]);
}

}   // namespace

int HuffmanFuzzDecode(const uint8_t* bytes, size_t size)
{
    Cursor c{bytes, size};
    const uint8_t mode = c.byte();
    const int width = 1 + c.byte() % 64;
    const bool own = (mode & 16) != 0;
    uint8_t counts[2][16];
    std::vector<uint8_t> values[2];
    read_table(c, counts[0], values[0]);
    read_table(c, counts[1], values[1]);
    const std::vector<uint8_t> data(c.p, c.p + c.left);   // exact size: overreads show
    if (data.empty())
        return 0;

    for (int level = 0; level <= dispatch_supported_level(); ++level) {
        HuffDecodeSpec table[2];
        const kernel_status r0 =
            dispatch_entry<dispatch_table_huff_decode_spec_init>(level)(counts[0], values[0].data(), &table[0]);
        const kernel_status r1 =
            dispatch_entry<dispatch_table_huff_decode_spec_init>(level)(counts[1], values[1].data(), &table[1]);
        if (r0 != kernel_ok || r1 != kernel_ok)
            return 0;
        if ((mode & 1) == 0) {
            static thread_local Trace base;
            Trace t = decode_blocks(level, table[0], table[1], data, own);
            if (level == 0)
                base = std::move(t);
            else
                check_against(t, base);
        } else {
            const int components = 1 + (mode >> 1 & 3) + (mode >> 3 & 1);
            const HuffDecodeSpec* tables[5] = {&table[0], &table[1], &table[0], &table[1], nullptr};
            static thread_local Trace base;
            Trace t = decode_rows(level, tables, width, components, data, own);
            if (level == 0)
                base = std::move(t);
            else
                check_against(t, base);
        }
    }
    return 0;
}
