#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "huffman/huff_decode.h"
#include "jpeg_test_stream.h"
#include "jpegpeer.h"
#include "kernel_test_util.h"

namespace {

using Block = std::array<int16_t, 64>;

HuffDecodeSpec make_spec(const TestHuffTable& t, int level = 0)
{
    HuffDecodeSpec spec;
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_decode_spec_init>(level)(t.counts, t.values.data(), &spec), kernel_ok);
    return spec;
}

TestHuffTable table_of(std::initializer_list<std::pair<int, int>> length_counts, std::vector<uint8_t> values)
{
    TestHuffTable t;
    for (auto [length, count] : length_counts)
        t.counts[length - 1] = uint8_t(count);
    t.values = std::move(values);
    return t;
}

// 256 codes: the 8-bit pattern of each symbol below 255, then 255 with 9 bits.
TestHuffTable byte_table()
{
    TestHuffTable t = table_of({{8, 255}, {9, 1}}, {});
    for (int s = 0; s < 256; ++s)
        t.values.push_back(uint8_t(s));
    return t;
}

HuffDecodeState fresh_state()
{
    HuffDecodeState st;
    std::memset(&st, 0xA5, sizeof st);
    EXPECT_EQ(huff_decode_state_init(&st), kernel_ok);
    return st;
}

// ---- tables ----

using HuffSpec = KernelTest;

TEST_F(HuffSpec, SizesAndStateInitialisation)
{
    int32_t size = 0;
    EXPECT_EQ(huff_decode_spec_size(&size), kernel_ok);
    EXPECT_EQ(size, 1644);
    EXPECT_EQ(huff_decode_state_size(&size), kernel_ok);
    EXPECT_EQ(size, 24);
    EXPECT_EQ(huff_decode_spec_size(nullptr), kernel_null_pointer);
    EXPECT_EQ(huff_decode_state_size(nullptr), kernel_null_pointer);
    EXPECT_EQ(huff_decode_state_init(nullptr), kernel_null_pointer);
    HuffDecodeState st = fresh_state();
    EXPECT_EQ(st.bitBuffer, 0u);
    EXPECT_EQ(st.bitCount, 0);
    EXPECT_EQ(st.blockEnd, 0);
    EXPECT_EQ(st.spare, 0xA5A5A5A5u);   // the last word is left alone
}

TEST_F(HuffSpec, CountLimitsAndCodesThatDoNotFit)
{
    for_each_level(0, [](int level) {
        auto init = dispatch_entry<dispatch_table_huff_decode_spec_init>(level);
        HuffDecodeSpec spec;
        const TestHuffTable full = byte_table();
        EXPECT_EQ(init(full.counts, full.values.data(), &spec), kernel_ok);   // 256 codes
        EXPECT_EQ(spec.maxcode[9], 510);
        std::vector<uint8_t> values(257, 7);
        TestHuffTable over = table_of({{8, 255}, {9, 2}}, values);   // 257 codes
        EXPECT_EQ(init(over.counts, values.data(), &spec), kernel_bad_huffman_table);
        TestHuffTable three = table_of({{1, 3}}, values);
        EXPECT_EQ(init(three.counts, values.data(), &spec), kernel_bad_huffman_table);
        // Lengths above 8 that over-fill: their codes would wrap and index past the symbols.
        TestHuffTable wrap10 = table_of({{1, 2}, {10, 1}}, values);
        EXPECT_EQ(init(wrap10.counts, values.data(), &spec), kernel_bad_huffman_table);
        TestHuffTable wrap16 = table_of({{1, 2}, {16, 1}}, values);
        EXPECT_EQ(init(wrap16.counts, values.data(), &spec), kernel_bad_huffman_table);
        EXPECT_EQ(init(nullptr, values.data(), &spec), kernel_null_pointer);
        EXPECT_EQ(init(full.counts, nullptr, &spec), kernel_null_pointer);
        EXPECT_EQ(init(full.counts, values.data(), nullptr), kernel_null_pointer);
    });
}

TEST_F(HuffSpec, FieldsOfASmallTable)
{
    // Codes: 00 -> 5, 01 -> 6, 1000 -> 7, 1001 -> 8; no code of length 3.
    const TestHuffTable t = table_of({{2, 2}, {4, 2}}, {5, 6, 7, 8});
    const HuffDecodeSpec spec = make_spec(t);
    EXPECT_EQ(spec.maxcode[3], 0xFFFF);
    EXPECT_EQ(spec.maxcode[1], 0xFFFF);
    EXPECT_EQ(spec.maxcode[17], 0xFFFF);
    EXPECT_EQ(spec.mincode[4], 8);
    EXPECT_EQ(spec.maxcode[4], 9);
    EXPECT_EQ(spec.valptr[4], 2);
    EXPECT_EQ(spec.huffval[3], 8);
    EXPECT_EQ(spec.huffval[4], 0);
    EXPECT_EQ(spec.lookahead[0x00], (2u << 16) | 5);
    EXPECT_EQ(spec.lookahead[0x7F], (2u << 16) | 6);
    EXPECT_EQ(spec.lookahead[0x9F], (4u << 16) | 8);
    EXPECT_EQ(spec.lookahead[0xA0], 0u);
}

// ---- bit reader and symbol decoding ----

struct Reader {
    std::vector<uint8_t> data;
    int32_t position = 0;
    uint32_t marker = 0;
    HuffDecodeState st = fresh_state();
    kernel_status fill(int32_t need)
    {
        return FillHuffBitBuffer(data.data(), int32_t(data.size()), &position, &marker, need, &st);
    }
    kernel_status symbol(const HuffDecodeSpec& spec, uint32_t* sym)
    {
        return DecodeHuffSymbol(data.data(), int32_t(data.size()), &position, &marker, sym, &spec, &st);
    }
};

// Fills over stuffing, fill bytes, markers and the end of the data: status, where the reader
// stands and what it holds.
TEST(HuffBitReader, StuffingMarkersAndTheEnd)
{
    struct Case {
        std::vector<uint8_t> data;
        int32_t need;
        kernel_status status;
        int32_t position, bits;
        uint32_t marker;
    };
    const Case cases[] = {
        {{0x12, 0xFF, 0x00, 0x34}, 0, kernel_ok, 4, 24, 0},           // the stuffed zero is dropped
        {{0xFF, 0xFF, 0xFF, 0xD0, 0x55}, 0, kernel_ok, 4, 0, 0xD0},   // a marker after fill bytes
        {{0x12, 0xFF}, 0, kernel_input_exhausted, 2, 8, 0},           // a lone 0xFF at the end
        {{0x12}, 0, kernel_ok, 1, 8, 0},                              // the end is an error only
        {{0x12}, 9, kernel_input_exhausted, 1, 8, 0},                 // when bits are needed
        {{}, 0, kernel_ok, 0, 0, 0},
        {{0xFF, 0x00}, 0, kernel_ok, 2, 8, 0},
    };
    for (const Case& c : cases) {
        Reader r{c.data};
        EXPECT_EQ(r.fill(c.need), c.status) << c.data.size() << " " << c.need;
        EXPECT_EQ(r.position, c.position) << c.data.size() << " " << c.need;
        EXPECT_EQ(r.st.bitCount, c.bits) << c.data.size() << " " << c.need;
        EXPECT_EQ(r.marker, c.marker) << c.data.size() << " " << c.need;
    }
    Reader stuffed{{0x12, 0xFF, 0x00, 0x34}};
    stuffed.fill(0);
    EXPECT_EQ(stuffed.st.bitBuffer & 0xFFFFFF, 0x12FF34u);
    // Once the marker is met, nothing needed reads nothing; a bit needed reports it.
    Reader marked{{0xFF, 0xFF, 0xFF, 0xD0, 0x55}};
    marked.fill(0);
    EXPECT_EQ(marked.fill(0), kernel_ok);
    EXPECT_EQ(marked.fill(1), kernel_marker_reached);
    EXPECT_EQ(marked.position, 4);
}

TEST(HuffBitReader, SixteenBitCodes)
{
    // One code of each length 1 to 15 takes 0, 10, 110, ...; length 16 then holds 0xFFFE.
    TestHuffTable t = table_of({}, {});
    for (int l = 1; l <= 15; ++l)
        t.counts[l - 1] = 1, t.values.push_back(uint8_t(l));
    t.counts[15] = 1;
    t.values.push_back(0x99);
    HuffDecodeSpec spec = make_spec(t);
    EXPECT_EQ(spec.maxcode[16], 0xFFFE);
    Reader r{{0xFF, 0x00, 0xFE}};
    uint32_t sym = 1;
    EXPECT_EQ(r.symbol(spec, &sym), kernel_ok);
    EXPECT_EQ(sym, 0x99u);
    Reader none{{0xFF, 0x00, 0xFF, 0x00}};
    EXPECT_EQ(none.symbol(spec, &sym), kernel_marker_reached);
    EXPECT_EQ(sym, 0u);

    // Four codes of length 16 end at the reserved all-ones code: the others still decode.
    t.counts[14] = 0;
    t.counts[15] = 4;
    t.values = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x55, 0x66, 0x77, 0x88};
    spec = make_spec(t);
    EXPECT_EQ(spec.maxcode[16], 0xFFFE);
    Reader low{{0xFF, 0x00, 0xFC}};
    EXPECT_EQ(low.symbol(spec, &sym), kernel_ok);
    EXPECT_EQ(sym, 0x55u);
    Reader last{{0xFF, 0x00, 0xFE}};
    EXPECT_EQ(last.symbol(spec, &sym), kernel_ok);
    EXPECT_EQ(sym, 0x77u);
    Reader ones{{0xFF, 0x00, 0xFF, 0x00}};
    EXPECT_EQ(ones.symbol(spec, &sym), kernel_marker_reached);
    EXPECT_EQ(sym, 0u);
}

TEST(HuffBitReader, TableWithoutShortCodesWalksFromNine)
{
    const TestHuffTable t = table_of({{9, 2}, {10, 1}}, {0x31, 0x32, 0x33});
    const HuffDecodeSpec spec = make_spec(t);
    Reader r{{0x00, 0x80, 0x9F}};   // 000000001, 0000000100, padding
    uint32_t sym = 0;
    EXPECT_EQ(r.symbol(spec, &sym), kernel_ok);
    EXPECT_EQ(sym, 0x32u);
    EXPECT_EQ(r.symbol(spec, &sym), kernel_ok);
    EXPECT_EQ(sym, 0x33u);
}

// ---- blocks ----

struct BlockCase {
    std::vector<uint8_t> data;
    TestHuffTable dc = byte_table(), ac = byte_table();
};

struct BlockResult {
    kernel_status status;
    Block block;
    int16_t last_dc;
    int32_t block_end;
    int64_t point;
};

BlockResult decode_one(int level, const std::vector<uint8_t>& data, const TestHuffTable& dct, const TestHuffTable& act,
                       int16_t last_dc = 100, int16_t* block_at = nullptr)
{
    const HuffDecodeSpec dc = make_spec(dct), ac = make_spec(act);
    HuffDecodeState st = fresh_state();
    int32_t position = 0;
    uint32_t marker = 0;
    BlockResult r{};
    Block local;
    int16_t* block = block_at != nullptr ? block_at : local.data();
    for (int i = 0; i < 64; ++i)
        block[i] = int16_t(0x3333);
    r.last_dc = last_dc;
    r.status = dispatch_entry<dispatch_table_huff_decode_block_8x8>(level)(data.data(), int32_t(data.size()), &position,
                                                                           block, &r.last_dc, &marker, &dc, &ac, &st);
    std::copy(block, block + 64, r.block.begin());
    r.block_end = st.blockEnd;
    r.point = stream_point(data, position, st.bitCount);
    return r;
}

// A block from (run, size, bits) triples after a DC size and bits, with the byte tables.
std::vector<uint8_t> block_bytes(int dc_size, uint32_t dc_bits, std::vector<std::array<uint32_t, 3>> acs, bool eob,
                                 size_t pad_to = 0)
{
    TestBitWriter w;
    w.put(uint32_t(dc_size), 8);
    if (dc_size)
        w.put(dc_bits, dc_size);
    for (auto [run, size, bits] : acs) {
        w.put(run << 4 | size, 8);
        if (size)
            w.put(bits, int(size));
    }
    if (eob)
        w.put(0, 8);
    std::vector<uint8_t> out = w.finish();
    while (out.size() < pad_to)
        out.push_back(0x00);   // further EOB-only blocks
    return out;
}

using HuffBlock = KernelTest;

// A block whose first bits the state already holds, 0 to 32 of them, with DC codes of 2 to 9
// bits and values of 0 to 11 bits: the DC then comes from the held bits alone, from them and
// the data, or from the data. Every level decodes it as the general path does.
TEST_F(HuffBlock, DcAcrossTheBitsTheStateHolds)
{
    // The usual luminance DC table: size 0 in 2 bits, 1 to 5 in 3, then one more bit a size to 9.
    const TestHuffTable dct = table_of({{2, 1}, {3, 5}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {9, 1}},
                                       {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11});
    const std::map<int, TestCode> dc_codes = canonical_codes(dct);
    const HuffDecodeSpec dc = make_spec(dct), ac = make_spec(byte_table());
    for (int size = 0; size <= 11; ++size) {
        for (uint32_t high : {0u, 1u}) {
            // All ones, or a zero first bit (a negative value) with a one last when there is room.
            const uint32_t bits = size == 0 ? 0 : high != 0 ? (1u << size) - 1 : size == 1 ? 0u : 1u;
            const int32_t diff =
                size == 0 || (bits >> (size - 1) & 1) != 0 ? int32_t(bits) : int32_t(bits) + 1 - (1 << size);
            std::vector<bool> stream;
            const auto put = [&stream](uint32_t v, int n) {
                for (int i = n - 1; i >= 0; --i)
                    stream.push_back((v >> i & 1) != 0);
            };
            put(dc_codes.at(size).code, dc_codes.at(size).length);
            put(bits, size);
            put(0x13, 8);   // run 1, size 3
            put(0x5, 3);
            put(0x00, 8);   // end of block
            for (int32_t held = 0; held <= 32 && held <= int32_t(stream.size()); ++held) {
                HuffDecodeState start = fresh_state();
                for (int32_t i = 0; i < held; ++i)
                    start.bitBuffer = start.bitBuffer << 1 | uint32_t(stream[size_t(i)]);
                start.bitCount = held;
                TestBitWriter w;
                for (size_t i = size_t(held); i < stream.size(); ++i)
                    w.put(stream[i] ? 1 : 0, 1);
                std::vector<uint8_t> data = w.finish();
                data.resize(data.size() + 40, 0x00);   // end-of-block-only blocks behind it
                const auto decode = [&](int level, HuffDecodeState* st, int32_t* position, Block* block,
                                        int16_t* pred) {
                    uint32_t marker = 0;
                    return dispatch_entry<dispatch_table_huff_decode_block_8x8>(level)(
                        data.data(), int32_t(data.size()), position, block->data(), pred, &marker, &dc, &ac, st);
                };
                HuffDecodeState st0 = start;
                int32_t pos0 = 0;
                Block want{};
                int16_t pred0 = 1000;
                ASSERT_EQ(decode(0, &st0, &pos0, &want, &pred0), kernel_ok);
                ASSERT_EQ(pred0, 1000 + diff) << size << " " << held;
                ASSERT_EQ(want[0], pred0);
                ASSERT_EQ(want[8], 5);   // zigzag index 2
                for_each_level(1, [&](int level) {
                    HuffDecodeState st = start;
                    int32_t pos = 0;
                    Block got{};
                    int16_t pred = 1000;
                    ASSERT_EQ(decode(level, &st, &pos, &got, &pred), kernel_ok);
                    EXPECT_EQ(got, want) << size << " " << held;
                    EXPECT_EQ(pred, pred0);
                    EXPECT_EQ(st.blockEnd, st0.blockEnd);
                    EXPECT_EQ(stream_point(data, pos, st.bitCount), stream_point(data, pos0, st0.bitCount))
                        << size << " " << held;
                });
            }
        }
    }
}

TEST_F(HuffBlock, DcOnlyBlocks)
{
    for_each_level(0, [](int level) {
        const BlockResult keep = decode_one(level, block_bytes(0, 0, {}, true, 40), byte_table(), byte_table());
        EXPECT_EQ(keep.status, kernel_ok);
        EXPECT_EQ(keep.last_dc, 100);
        EXPECT_EQ(keep.block[0], 100);
        EXPECT_EQ(keep.block_end, 1);
        for (int i = 1; i < 64; ++i)
            EXPECT_EQ(keep.block[i], 0);
        // Size 3, bits 010: 2 - 7 = -5.
        const BlockResult add = decode_one(level, block_bytes(3, 2, {}, true, 40), byte_table(), byte_table());
        EXPECT_EQ(add.last_dc, 95);
        EXPECT_EQ(add.block[0], 95);
        // The predictor wraps in 16 bits.
        const BlockResult wrap =
            decode_one(level, block_bytes(11, 2047, {}, true, 40), byte_table(), byte_table(), 32000);
        EXPECT_EQ(wrap.last_dc, int16_t(uint16_t(32000 + 2047)));
    });
}

TEST_F(HuffBlock, FullBlockAndRunsPastTheEnd)
{
    std::vector<std::array<uint32_t, 3>> full;
    for (int k = 1; k < 64; ++k)
        full.push_back({0, 2, uint32_t(k & 3)});
    const std::vector<uint8_t> streams[3] = {
        block_bytes(0, 0, full, false, 64),
        block_bytes(0, 0, std::vector<std::array<uint32_t, 3>>(4, {15, 0, 0}), false, 64),
        // A coefficient at zigzag 63 after 62 zeros, then ZRL past the end: the guard keeps it at 63.
        block_bytes(0, 0, {{15, 0, 0}, {15, 0, 0}, {15, 0, 0}, {14, 1, 1}, {15, 0, 0}}, false, 64)};
    const BlockResult f0 = decode_one(0, streams[0], byte_table(), byte_table());
    ASSERT_EQ(f0.status, kernel_ok);
    EXPECT_EQ(f0.block_end, 64);
    for (int k = 1; k < 64; ++k) {
        const int v = k & 3;
        EXPECT_EQ(f0.block[huff_zigzag_natural[k]], v < 2 ? v - 3 : v) << k;
    }
    const BlockResult z0 = decode_one(0, streams[1], byte_table(), byte_table());
    EXPECT_EQ(z0.status, kernel_ok);
    EXPECT_EQ(z0.block_end, 65);
    const BlockResult l0 = decode_one(0, streams[2], byte_table(), byte_table());
    EXPECT_EQ(l0.block[63], 1);
    EXPECT_EQ(l0.block_end, 64);
    const BlockResult* plain[3] = {&f0, &z0, &l0};
    for_each_level(1, [&](int level) {
        for (int i = 0; i < 3; ++i) {
            const BlockResult r = decode_one(level, streams[i], byte_table(), byte_table());
            EXPECT_EQ(r.status, plain[i]->status);
            EXPECT_EQ(r.block, plain[i]->block);
            EXPECT_EQ(r.block_end, plain[i]->block_end);
            EXPECT_EQ(r.point, plain[i]->point);
        }
    });
}

TEST_F(HuffBlock, ShortDataTakesTheGeneralPathWithTheSameResult)
{
    const std::vector<std::array<uint32_t, 3>> acs = {{0, 5, 17}, {3, 9, 300}, {1, 1, 0}};
    const std::vector<uint8_t> padded = block_bytes(4, 9, acs, true, 40);
    std::vector<uint8_t> tight = block_bytes(4, 9, acs, true);
    ASSERT_LT(tight.size(), 24u);
    const BlockResult want = decode_one(0, padded, byte_table(), byte_table());
    for_each_level(0, [&](int level) {
        const BlockResult a = decode_one(level, padded, byte_table(), byte_table());
        const BlockResult b = decode_one(level, tight, byte_table(), byte_table());
        EXPECT_EQ(a.block, want.block);
        EXPECT_EQ(b.block, want.block);
        EXPECT_EQ(a.point, want.point);
        EXPECT_EQ(b.point, want.point);
        EXPECT_EQ(b.block_end, 8);
    });
}

TEST_F(HuffBlock, UnalignedBlockIsClearedWhole)
{
    alignas(16) int16_t storage[80];
    for_each_level(0, [&](int level) {
        const BlockResult r =
            decode_one(level, block_bytes(0, 0, {}, true, 40), byte_table(), byte_table(), 7, storage + 1);
        EXPECT_EQ(r.block[0], 7);
        for (int i = 1; i < 64; ++i)
            EXPECT_EQ(r.block[i], 0) << i;
    });
}

// Blocks of short AC codes, as photographs have, for the fast kernels' memo: coefficient pairs in
// one look-up, blocks filled to the last position with the next block's bits behind them. Codes
// 00 01 | 100 101 110 | 1110 1111 for the values in order; the DC size 0 is the code 0.
struct ShortCodeStream {
    std::vector<uint8_t> data;
    int blocks = 0;
};

ShortCodeStream short_code_stream(const std::vector<uint8_t>& values, uint32_t seed, int blocks)
{
    std::mt19937 rng(seed);
    auto code_of = [&values](uint8_t symbol) {
        static const TestCode codes[7] = {{0, 2}, {1, 2}, {4, 3}, {5, 3}, {6, 3}, {14, 4}, {15, 4}};
        for (size_t i = 0; i < values.size(); ++i)
            if (values[i] == symbol)
                return codes[i];
        return TestCode{};
    };
    TestBitWriter w;
    ShortCodeStream out;
    out.blocks = blocks;
    for (int b = 0; b < blocks; ++b) {
        w.put(0, 1);
        for (int k = 1; k < 64;) {
            const int pick = int(rng() % 24);
            uint8_t symbol = pick < 12   ? 0x01
                             : pick < 16 ? 0x02
                             : pick < 18 ? 0x03
                             : pick < 20 ? 0x11
                             : pick < 22 ? 0x21
                             : pick < 23 ? 0xF0
                                         : 0x00;
            const int run = symbol >> 4, size = symbol & 15;
            if (symbol == 0xF0 && k + 16 > 63)
                symbol = 0x01;
            else if (symbol != 0x00 && size != 0 && k + run > 63)
                symbol = 0x01;
            w.put(code_of(symbol));
            if (symbol == 0x00)
                break;
            if (symbol == 0xF0) {
                k += 16;
                continue;
            }
            w.put(rng() & ((1u << (symbol & 15)) - 1), symbol & 15);
            k += (symbol >> 4) + 1;
        }
    }
    out.data = w.finish();
    out.data.resize(out.data.size() + 32, 0x00);
    return out;
}

TEST_F(HuffBlock, MemoEntriesRemadeWhenATableChangesInPlace)
{
    const TestHuffTable dct = table_of({{1, 1}}, {0});
    // The second table keeps the 2-bit codes and moves the longer ones: memo entries of the first
    // table stay right for a 2-bit code but not for what follows it.
    const TestHuffTable first = table_of({{2, 2}, {3, 3}, {4, 2}}, {0x01, 0x02, 0x11, 0x00, 0x03, 0x21, 0xF0});
    const TestHuffTable second = table_of({{2, 2}, {3, 3}, {4, 2}}, {0x01, 0x02, 0x03, 0x11, 0x00, 0xF0, 0x21});
    const HuffDecodeSpec dc = make_spec(dct);
    for_each_level(1, [&](int level) {
        HuffDecodeSpec ac = make_spec(first);   // one address for both tables
        uint32_t seed = 5;
        for (const TestHuffTable* table : {&first, &second, &first}) {
            ac = make_spec(*table);
            const HuffDecodeSpec plain = make_spec(*table);
            const ShortCodeStream s = short_code_stream(table->values, seed++, 300);
            HuffDecodeState st = fresh_state(), st0 = fresh_state();
            int32_t pos = 0, pos0 = 0;
            uint32_t marker = 0, marker0 = 0;
            int16_t dc_pred = 0, dc_pred0 = 0;
            int full = 0;
            for (int b = 0; b < s.blocks; ++b) {
                Block got{}, want{};
                const int32_t length = int32_t(s.data.size());
                ASSERT_EQ(dispatch_entry<dispatch_table_huff_decode_block_8x8>(level)(
                              s.data.data(), length, &pos, got.data(), &dc_pred, &marker, &dc, &ac, &st),
                          kernel_ok);
                ASSERT_EQ(dispatch_entry<dispatch_table_huff_decode_block_8x8>(0)(
                              s.data.data(), length, &pos0, want.data(), &dc_pred0, &marker0, &dc, &plain, &st0),
                          kernel_ok);
                ASSERT_EQ(got, want) << "block " << b;
                ASSERT_EQ(st.blockEnd, st0.blockEnd) << "block " << b;
                ASSERT_EQ(stream_point(s.data, pos, st.bitCount), stream_point(s.data, pos0, st0.bitCount));
                full += st.blockEnd == 64;
            }
            EXPECT_GT(full, 20);   // blocks that end at the last position, the next one behind them
        }
    });
}

#if defined(__x86_64__) || defined(__i386__)
using FastBlock = int32_t (*)(const uint8_t*, int32_t, int32_t*, int16_t*, int16_t*, uint32_t*, const HuffDecodeSpec*,
                              const HuffDecodeSpec*, HuffDecodeState*);
FastBlock fast_block_of(int level)
{
    switch (level) {
    case 1: return &DecodeHuffman8x8Fast<1>;
    case 2: return &DecodeHuffman8x8Fast<2>;
    case 3: return &DecodeHuffman8x8Fast<3>;
    case 4: return &DecodeHuffman8x8Fast<4>;
    default: return &DecodeHuffman8x8Fast<5>;
    }
}

TEST_F(HuffBlock, FastKernelGivesBackBytesAboveThirtyTwoBits)
{
    // Two short blocks in 40 bytes: the first call holds far more than 32 bits when it ends.
    TestBitWriter w;
    w.put(2, 8), w.put(1, 2), w.put(0x01, 8), w.put(1, 1), w.put(0, 8);
    w.put(5, 8), w.put(20, 5), w.put(0x23, 8), w.put(6, 3), w.put(0, 8);
    std::vector<uint8_t> data = w.finish();
    data.resize(40, 0x00);
    const HuffDecodeSpec spec = make_spec(byte_table());
    for_each_level(1, [&](int level) {
        HuffDecodeState st = fresh_state();
        int32_t position = 0;
        uint32_t marker = 0;
        int16_t dc = 0;
        Block b{};
        ASSERT_EQ(fast_block_of(level)(data.data(), 40, &position, b.data(), &dc, &marker, &spec, &spec, &st), 0);
        EXPECT_GE(st.bitCount, 25);
        EXPECT_LE(st.bitCount, 32);
        EXPECT_EQ(stream_point(data, position, st.bitCount), 8 + 2 + 8 + 1 + 8);
        EXPECT_EQ(b[0], -2);
        EXPECT_EQ(b[1], 1);
        ASSERT_EQ(fast_block_of(level)(data.data(), 40, &position, b.data(), &dc, &marker, &spec, &spec, &st), 0);
        EXPECT_EQ(dc, -2 + 20);
        EXPECT_EQ(b[huff_zigzag_natural[3]], 6);
        EXPECT_EQ(st.blockEnd, 4);
    });
}

TEST_F(HuffBlock, FastKernelDeclinesAtMarkersAndLeavesTheStateAsItWas)
{
    std::vector<uint8_t> data = block_bytes(8, 0xFF, {{0, 8, 0xFF}}, true);   // stuffed bytes inside
    const size_t body = data.size();
    data.resize(30, 0x00);
    const HuffDecodeSpec spec = make_spec(byte_table());
    for_each_level(1, [&](int level) {
        // Stuffed zeros stay on the fast path.
        HuffDecodeState st = fresh_state();
        int32_t position = 0;
        uint32_t marker = 0;
        int16_t dc = 3;
        Block b{};
        EXPECT_EQ(fast_block_of(level)(data.data(), 30, &position, b.data(), &dc, &marker, &spec, &spec, &st), 0);
        EXPECT_EQ(b[0], 3 + 255);
        EXPECT_EQ(b[1], 255);
        // A marker where the byte-at-a-time refill must read declines; nothing moves.
        std::vector<uint8_t> cut(data.begin(), data.begin() + 1);
        cut.push_back(0xFF);
        cut.push_back(0xD3);
        cut.resize(30, 0x00);
        HuffDecodeState st2 = fresh_state();
        int32_t pos2 = 0;
        int16_t dc2 = 3;
        EXPECT_EQ(fast_block_of(level)(cut.data(), 30, &pos2, b.data(), &dc2, &marker, &spec, &spec, &st2), 1);
        EXPECT_EQ(pos2, 0);
        EXPECT_EQ(dc2, 3);
        EXPECT_EQ(st2.bitCount, 0);
        EXPECT_EQ(st2.blockEnd, 0);
        // A marker already met declines too.
        uint32_t met = 0xD0;
        EXPECT_EQ(fast_block_of(level)(data.data(), 30, &pos2, b.data(), &dc2, &met, &spec, &spec, &st2), 1);
        // The entry records the marker along the general path and reports the cut value.
        int32_t pos3 = 0;
        uint32_t marker3 = 0;
        HuffDecodeState st3 = fresh_state();
        int16_t dc3 = 3;
        const kernel_status s = dispatch_entry<dispatch_table_huff_decode_block_8x8>(level)(
            cut.data(), 30, &pos3, b.data(), &dc3, &marker3, &spec, &spec, &st3);
        EXPECT_EQ(s, kernel_marker_reached);
        EXPECT_EQ(marker3, 0xD3u);
        EXPECT_EQ(pos3, 3);
    });
    (void)body;
}
#endif

TEST_F(HuffBlock, BitsCutByAMarkerReadAsZeros)
{
    // The refill for a 15-bit AC value finds one byte and then a restart marker: the value gets
    // 13 real bits and two zeros, and the next symbol reports the marker.
    TestBitWriter w;
    w.put(0x0B, 8), w.put(1024, 11), w.put(0x0F, 8), w.put(0x1FFF, 13);
    std::vector<uint8_t> data = w.finish();
    data.push_back(0xFF);
    data.push_back(0xD5);
    for_each_level(0, [&](int level) {
        const BlockResult r = decode_one(level, data, byte_table(), byte_table());
        EXPECT_EQ(r.status, kernel_marker_reached);
        EXPECT_EQ(r.last_dc, 100 + 1024);
        EXPECT_EQ(r.block[1], 0x7FFC);
        EXPECT_EQ(r.block_end, 2);
    });
}

TEST_F(HuffBlock, ArgumentChecksInOrder)
{
    const HuffDecodeSpec spec = make_spec(byte_table());
    HuffDecodeState st = fresh_state();
    uint8_t data[4] = {};
    int32_t pos = 0;
    uint32_t marker = 0;
    int16_t dc = 0;
    Block b;
    for_each_level(0, [&](int level) {
        auto f = dispatch_entry<dispatch_table_huff_decode_block_8x8>(level);
        b.fill(9);
        EXPECT_EQ(f(nullptr, -1, &pos, b.data(), &dc, &marker, &spec, &spec, &st), kernel_null_pointer);
        EXPECT_EQ(f(data, -1, nullptr, b.data(), &dc, &marker, &spec, &spec, &st), kernel_out_of_range);
        EXPECT_EQ(f(data, 4, &pos, b.data(), &dc, &marker, &spec, nullptr, &st), kernel_null_pointer);
        EXPECT_EQ(f(data, 4, &pos, b.data(), &dc, &marker, &spec, &spec, nullptr), kernel_null_pointer);
        EXPECT_EQ(b[5], 9);
        // A length of 0 passes and runs out of data.
        EXPECT_EQ(f(data, 0, &pos, b.data(), &dc, &marker, &spec, &spec, &st), kernel_input_exhausted);
    });
}

// ---- the start of the caller's buffer ----

// Bytes that begin a page whose page before is unreadable: a read before them faults.
class PageStart {
public:
    PageStart() : page_(size_t(sysconf(_SC_PAGESIZE)))
    {
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
        if (base_ != nullptr && mprotect(base_, page_, PROT_NONE) != 0) {
            munmap(base_, 2 * page_);
            base_ = nullptr;
        }
    }
    ~PageStart()
    {
        if (base_ != nullptr)
            munmap(base_, 2 * page_);
    }
    PageStart(const PageStart&) = delete;
    PageStart& operator=(const PageStart&) = delete;
    uint8_t* bytes() const { return base_ + page_; }
    bool ok() const { return base_ != nullptr; }

private:
    size_t page_;
    uint8_t* base_;
};

using HuffBufferStart = KernelTest;

// One-bit codes over zero bytes: a block or a short row uses fewer bits than the state held when
// the call began, so a fast kernel gives back every byte it read, down to the first one it was
// handed. Each call gets the buffer at a page start, as the codec hands each call the rest of its
// data after moving it to the front: no level reads before it, and none takes a byte before the
// position for stuffing (the 0xFF there at position 1). Every level decodes zeros and uses
// exactly the bits the codes take.
TEST_F(HuffBufferStart, ReadersNeverReadBeforeTheirBuffer)
{
    PageStart page;
    ASSERT_TRUE(page.ok());
    uint8_t* const data = page.bytes();
    constexpr int32_t kLength = 64;
    const TestHuffTable one_bit = table_of({{1, 1}}, {0});
    const HuffDecodeSpec table = make_spec(one_bit);
    const HuffDecodeSpec* tables[4] = {&table, &table, &table, &table};
    // The bits one call takes from the stream: bytes moved over, less the change in bits held.
    const auto used = [](int32_t start, int32_t pos, int32_t before, int32_t after) {
        return 8 * (pos - start) + before - after;
    };
    for_each_level(0, [&](int level) {
        for (int32_t start : {0, 1})
            for (int32_t held : {0, 9, 25, 32}) {
                SCOPED_TRACE(::testing::Message() << "start " << start << ", held " << held);
                std::memset(data, 0, kLength);
                data[0] = start == 1 ? 0xFF : 0x00;
                HuffDecodeState st = fresh_state();
                st.bitCount = held;
                int16_t pred = 7;
                for (int call = 0; call < 40; ++call) {
                    Block b;
                    b.fill(0x3333);
                    int32_t pos = start;
                    uint32_t marker = 0;
                    const int32_t before = st.bitCount;
                    ASSERT_EQ(dispatch_entry<dispatch_table_huff_decode_block_8x8>(level)(
                                  data, kLength, &pos, b.data(), &pred, &marker, &table, &table, &st),
                              kernel_ok)
                        << call;
                    ASSERT_EQ(used(start, pos, before, st.bitCount), 2) << call;   // a DC of size 0, an end of block
                    EXPECT_EQ(b[0], 7);
                    EXPECT_EQ(std::count(b.begin() + 1, b.end(), 0), 63);
                    EXPECT_EQ(st.blockEnd, 1);
                }
                for (int32_t components : {1, 3, 4})
                    for (int32_t width : {1, 2, 8}) {
                        st = fresh_state();
                        st.bitCount = held;
                        std::vector<std::vector<uint16_t>> rows(4, std::vector<uint16_t>(size_t(width)));
                        uint16_t* row_ptrs[4] = {rows[0].data(), rows[1].data(), rows[2].data(), rows[3].data()};
                        for (int call = 0; call < 40; ++call) {
                            for (auto& r : rows)
                                std::fill(r.begin(), r.end(), 0x5555);
                            int32_t pos = start;
                            uint32_t marker = 0;
                            const int32_t before = st.bitCount;
                            ASSERT_EQ(dispatch_entry<dispatch_table_huff_decode_lossless_row>(level)(
                                          data, kLength, &pos, row_ptrs, width, components, &marker, tables, &st),
                                      kernel_ok)
                                << components << " x " << width << ", call " << call;
                            ASSERT_EQ(used(start, pos, before, st.bitCount), width * components)
                                << components << " x " << width << ", call " << call;
                            for (int32_t c = 0; c < components; ++c)
                                EXPECT_EQ(std::count(rows[size_t(c)].begin(), rows[size_t(c)].end(), 0), width);
                        }
                    }
            }
    });
}

// ---- the oracle: libjpeg-turbo's quantised coefficients ----

struct Coefficients {
    std::vector<std::vector<Block>> components;   // per component, blocks in raster order
};

struct BlockRecord {
    Block block;
    int16_t last_dc;
    int32_t block_end;
    int64_t point;
    bool operator==(const BlockRecord&) const = default;
};

// Decodes every block of the scan at one level, as the codec would: MCU by MCU, resetting the
// predictors, the state and the marker at each restart.
Coefficients decode_scan(int level, const TestJpeg& j, std::vector<BlockRecord>* records)
{
    auto decode = dispatch_entry<dispatch_table_huff_decode_block_8x8>(level);
    const size_t nc = j.components.size();
    int hmax = 1, vmax = 1;
    for (const auto& c : j.components)
        hmax = std::max(hmax, c.h), vmax = std::max(vmax, c.v);
    Coefficients out;
    out.components.resize(nc);
    std::vector<int> wb(nc), hb(nc);
    for (size_t c = 0; c < nc; ++c) {
        wb[c] = (j.width * j.components[c].h + 8 * hmax - 1) / (8 * hmax);
        hb[c] = (j.height * j.components[c].v + 8 * vmax - 1) / (8 * vmax);
        out.components[c].assign(size_t(wb[c]) * size_t(hb[c]), Block{});
    }
    std::vector<HuffDecodeSpec> dc(j.scan.size()), ac(j.scan.size());
    for (size_t s = 0; s < j.scan.size(); ++s) {
        dc[s] = make_spec(j.dc_tables.at(j.scan[s].dc), level);
        ac[s] = make_spec(j.ac_tables.at(j.scan[s].ac), level);
    }
    const bool interleaved = j.scan.size() > 1;
    const int mcus_x = interleaved ? (j.width + 8 * hmax - 1) / (8 * hmax) : wb[size_t(j.scan[0].index)];
    const int mcus_y = interleaved ? (j.height + 8 * vmax - 1) / (8 * vmax) : hb[size_t(j.scan[0].index)];
    std::vector<uint8_t> data = j.data;   // exact size: any overread shows under ASan
    const int32_t length = int32_t(data.size());
    int32_t position = 0;
    uint32_t marker = 0;
    HuffDecodeState st = fresh_state();
    std::vector<int16_t> pred(j.scan.size(), 0);
    for (int m = 0; m < mcus_x * mcus_y; ++m) {
        if (j.restart_interval != 0 && m != 0 && m % j.restart_interval == 0) {
            if (marker == 0) {   // skip the padding up to the restart marker
                while (position + 1 < length && !(data[size_t(position)] == 0xFF && data[size_t(position) + 1] != 0 &&
                                                  data[size_t(position) + 1] != 0xFF))
                    ++position;
                position += 2;
            }
            marker = 0;
            huff_decode_state_init(&st);
            std::fill(pred.begin(), pred.end(), 0);
        }
        const int mx = m % mcus_x, my = m / mcus_x;
        for (size_t s = 0; s < j.scan.size(); ++s) {
            const size_t c = size_t(j.scan[s].index);
            const int h = interleaved ? j.components[c].h : 1, v = interleaved ? j.components[c].v : 1;
            for (int by = 0; by < v; ++by)
                for (int bx = 0; bx < h; ++bx) {
                    Block& b = out.components[c][size_t(my * v + by) * size_t(wb[c]) + size_t(mx * h + bx)];
                    const kernel_status r =
                        decode(data.data(), length, &position, b.data(), &pred[s], &marker, &dc[s], &ac[s], &st);
                    EXPECT_EQ(r, kernel_ok) << "MCU " << m;
                    if (records)
                        records->push_back({b, pred[s], st.blockEnd, stream_point(data, position, st.bitCount)});
                }
        }
    }
    return out;
}

class HuffOracle : public KernelTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HuffOracle, EveryBlockEqualsLibjpegAtEveryLevel)
{
    const std::vector<uint8_t> file = read_test_file(GetParam());
    ASSERT_FALSE(file.empty());
    const TestJpeg j = parse_test_jpeg(file);
    ASSERT_EQ(j.sof, 0xC0);
    const std::vector<std::vector<int16_t>> want = PeerReadCoefficients(file);
    ASSERT_EQ(want.size(), j.components.size());
    std::vector<BlockRecord> base;
    for_each_level(0, [&](int level) {
        std::vector<BlockRecord> records;
        const Coefficients got = decode_scan(level, j, &records);
        for (size_t c = 0; c < want.size(); ++c)
            ASSERT_EQ(flat_blocks(got.components[c]), want[c]) << "component " << c;
        if (level == 0)
            base = records;
        else
            EXPECT_TRUE(records == base) << "level " << level << " stands elsewhere in the stream";
    });
}

#if defined(__x86_64__) || defined(__i386__)
// A thread whose memo could not be had decodes through the general path: the same coefficients,
// predictions, block ends and stream positions as with the memo.
TEST_P(HuffOracle, RefusedMemoDecodesTheSameThroughTheGeneralPath)
{
    const TestJpeg j = parse_test_jpeg(read_test_file(GetParam()));
    int refused = 0;
    for_each_level(1, [&](int level) {
        std::vector<BlockRecord> with, without;
        decode_scan(level, j, &with);
        refused += run_with_memo_refused([&] { decode_scan(level, j, &without); });
        EXPECT_TRUE(with == without);
    });
    EXPECT_GT(refused, 0);
}
#endif

INSTANTIATE_TEST_SUITE_P(Cjpeg, HuffOracle,
                         ::testing::Values("baseline_grey.jpg", "baseline_420.jpg", "baseline_grey_optimize.jpg",
                                           "baseline_420_restart.jpg"));

}   // namespace
