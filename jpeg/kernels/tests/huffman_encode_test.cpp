#include <gtest/gtest.h>

#include <turbojpeg.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "huffman/huff_decode.h"
#include "huffman/huff_encode.h"
#include "jpeg_test_stream.h"
#include "jpegpeer.h"
#include "kernel_test_util.h"

namespace {

using Block = std::array<int16_t, 64>;

constexpr int kZigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
                             41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
                             30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

auto table7(int level)
{
    return dispatch_entry<dispatch_table_encode_huffman_8x8>(level);
}
auto table22(int level)
{
    return dispatch_entry<dispatch_table_encode_huffman_lossless_row>(level);
}
auto table25(int level)
{
    return dispatch_entry<dispatch_table_encode_huffman_diff>(level);
}

HuffEncodeSpec encode_spec(const TestHuffTable& t, int level = 0)
{
    HuffEncodeSpec spec;
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_spec_init>(level)(t.counts, t.values.data(), &spec), kernel_ok);
    return spec;
}

HuffDecodeSpec decode_spec(const TestHuffTable& t)
{
    HuffDecodeSpec spec;
    EXPECT_EQ(huff_decode_spec_init(t.counts, t.values.data(), &spec), kernel_ok);
    return spec;
}

HuffEncodeState fresh_state(int level = 0)
{
    HuffEncodeState st;
    std::memset(&st, 0xA5, sizeof st);
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_state_init>(level)(&st), kernel_ok);
    return st;
}

// The standard tables, as libjpeg-turbo writes them into its own files.
struct StandardTables {
    TestHuffTable dc[2], ac[2];
    std::vector<uint8_t> dqt;   // the whole DQT segment, marker included
    std::vector<uint8_t> file;
};

StandardTables standard_tables(const std::vector<uint8_t>& rgb, int w, int h, int subsamp)
{
    StandardTables s;
    tjhandle tj = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, subsamp, 90, TJFLAG_ACCURATEDCT), 0);
    s.file.assign(out, out + size);
    tjFree(out);
    tjDestroy(tj);
    const TestJpeg j = parse_test_jpeg(s.file);
    for (int i = 0; i < 2; ++i) {
        s.dc[i] = j.dc_tables.at(i);
        s.ac[i] = j.ac_tables.at(i);
    }
    for (size_t p = 2; p + 4 <= s.file.size();) {
        const size_t len = size_t(s.file[p + 2]) << 8 | s.file[p + 3];
        if (s.file[p + 1] == 0xDB)
            s.dqt.insert(s.dqt.end(), s.file.begin() + long(p), s.file.begin() + long(p + 2 + len));
        if (s.file[p + 1] == 0xDA)
            break;
        p += 2 + len;
    }
    return s;
}

// ---- bit writer ----

using HuffBitWriter = KernelTest;

template <int Level>
void bit_writer_cases()
{
    SCOPED_TRACE(Level);
    HuffEncodeState st = fresh_state();
    std::vector<uint8_t> buf(16, 0xEE);
    int32_t pos = 0;
    // 7 pending bits, then a 16-bit code: two bytes out, seven pending.
    ASSERT_EQ(PutHuffBits<Level>(0x55, 7, buf.data(), 16, &pos, &st), kernel_ok);
    EXPECT_EQ(pos, 0);
    ASSERT_EQ(PutHuffBits<Level>(0x1234, 16, buf.data(), 16, &pos, &st), kernel_ok);
    EXPECT_EQ(pos, 2);
    EXPECT_EQ(buf[0], 0xAA);   // 1010101 0
    EXPECT_EQ(buf[1], 0x24);   // 0010010 0
    EXPECT_EQ(st.bitCount, 7);
    EXPECT_EQ(st.bitAcc & 0xFFFFFF, 0x34u << 17);
    // A code wider than its length is masked.
    st = fresh_state();
    pos = 0;
    ASSERT_EQ(PutHuffBits<Level>(0xFFFF00, 8, buf.data(), 16, &pos, &st), kernel_ok);
    EXPECT_EQ(buf[0], 0x00);
    // 0xFF is followed by a stuffed zero.
    ASSERT_EQ(PutHuffBits<Level>(0xFF, 8, buf.data(), 16, &pos, &st), kernel_ok);
    EXPECT_EQ(pos, 3);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ(buf[2], 0x00);
    // A 0xFF into the last free byte: stored, counted, -62, state as before.
    st = fresh_state();
    st.bitAcc = 0xF00000;
    st.bitCount = 4;
    pos = 3;
    std::fill(buf.begin(), buf.end(), 0xEE);
    EXPECT_EQ(PutHuffBits<Level>(0xF, 4, buf.data(), 4, &pos, &st), kernel_input_exhausted);
    EXPECT_EQ(pos, 4);
    EXPECT_EQ(buf[3], 0xFF);
    EXPECT_EQ(buf[4], 0xEE);
    EXPECT_EQ(st.bitCount, 4);
    EXPECT_EQ(st.bitAcc, 0xF00000u);
    // Length 0 and lengths above 16 are no code: nothing changes.
    for (int32_t length : {0, 17, 25, -1}) {
        pos = 0;
        EXPECT_EQ(PutHuffBits<Level>(1, length, buf.data(), 16, &pos, &st), kernel_bad_huffman_table);
        EXPECT_EQ(pos, 0);
        EXPECT_EQ(st.bitCount, 4);
    }
    EXPECT_EQ(ZeroBytes<Level>(buf.data(), 0), kernel_size_below_one);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(ZeroBytes<Level>(nullptr, 4), kernel_null_pointer);
    EXPECT_EQ(ZeroBytes<Level>(buf.data(), 3), kernel_ok);
    EXPECT_EQ(buf[2], 0);
    EXPECT_EQ(buf[3], 0xFF);
}

TEST_F(HuffBitWriter, PutsStuffsAndRunsOutAlikeAtEveryCopy)
{
    bit_writer_cases<0>();
    bit_writer_cases<1>();
    bit_writer_cases<2>();
    bit_writer_cases<3>();
    bit_writer_cases<4>();
    bit_writer_cases<5>();
}

TEST_F(HuffBitWriter, LevelOneZeroesLargeAreasToo)
{
    std::vector<uint8_t> big(40000, 0x5A);
    EXPECT_EQ(ZeroBytes<1>(big.data() + 1, 30000), kernel_ok);
    EXPECT_EQ(big[0], 0x5A);
    EXPECT_EQ(big[30000], 0);
    EXPECT_EQ(big[30001], 0x5A);
}

TEST_F(HuffBitWriter, FlushPadsWithOnesAndResets)
{
    for_each_level(0, [](int level) {
        const int16_t v = 0;
        struct Case {
            uint32_t acc;
            int32_t count;
            std::vector<uint8_t> out;
        };
        for (const Case& c : {Case{0xA00000, 3, {0xBF}}, Case{0xE00000, 3, {0xFF, 0x00}},
                              Case{0xFE0000, 7, {0xFF, 0x00}}, Case{0, 0, {}}}) {
            for (int table : {7, 22, 25}) {
                HuffEncodeState st = fresh_state();
                st.bitAcc = c.acc;
                st.bitCount = c.count;
                std::memset(st.auxArea, 1, sizeof st.auxArea);
                uint8_t buf[8] = {};
                int32_t pos = 0;
                kernel_status r = 0;
                if (table == 7)
                    r = table7(level)(nullptr, buf, 8, &pos, nullptr, nullptr, nullptr, &st, 1);
                if (table == 22)
                    r = table22(level)(nullptr, 0, 0, buf, 8, &pos, nullptr, &st, 1);
                if (table == 25)
                    r = table25(level)(&v, buf, 8, &pos, nullptr, &st, 1);
                EXPECT_EQ(r, kernel_ok);
                ASSERT_EQ(pos, int32_t(c.out.size()));
                EXPECT_EQ(std::vector<uint8_t>(buf, buf + pos), c.out);
                EXPECT_EQ(st.bitCount, 0);
                EXPECT_EQ(st.bitAcc, 0u);
                EXPECT_EQ(st.auxArea[1023], 0);
            }
        }
        // A full buffer: -62, and the state is reset all the same.
        HuffEncodeState st = fresh_state();
        st.bitAcc = 0xE00000;
        st.bitCount = 3;
        uint8_t buf[2] = {};
        int32_t pos = 1;
        EXPECT_EQ(table25(level)(&v, buf, 2, &pos, nullptr, &st, 1), kernel_input_exhausted);
        EXPECT_EQ(pos, 2);
        EXPECT_EQ(st.bitCount, 0);
    });
}

TEST_F(HuffBitWriter, SpecSizeAndInitialisation)
{
    int32_t size = 0;
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_spec_size>(3)(&size), kernel_ok);
    EXPECT_EQ(size, 1024);
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_spec_size>(0)(nullptr), kernel_null_pointer);
    for_each_level(0, [](int level) {
        auto init = dispatch_entry<dispatch_table_huff_encode_spec_init>(level);
        // Lengths 2, 2, 3: codes 00, 01, 100.
        const uint8_t bits[16] = {0, 2, 1};
        const uint8_t values[3] = {7, 200, 3};
        HuffEncodeSpec spec;
        std::memset(&spec, 0x77, sizeof spec);
        ASSERT_EQ(init(bits, values, &spec), kernel_ok);
        EXPECT_EQ(spec.entry[7], 2u << 16 | 0);
        EXPECT_EQ(spec.entry[200], 2u << 16 | 1);
        EXPECT_EQ(spec.entry[3], 3u << 16 | 4);
        EXPECT_EQ(spec.entry[0], 0u);
        // Three codes of one bit do not fit; 257 codes are too many.
        const uint8_t overfull[16] = {3};
        EXPECT_EQ(init(overfull, values, &spec), kernel_bad_huffman_table);
        EXPECT_EQ(spec.entry[7], 2u << 16 | 0);
        uint8_t many[16] = {};
        many[15] = 255;
        many[14] = 2;
        std::vector<uint8_t> v(257, 0);
        EXPECT_EQ(init(many, v.data(), &spec), kernel_bad_huffman_table);
        EXPECT_EQ(init(nullptr, values, &spec), kernel_null_pointer);
        EXPECT_EQ(dispatch_entry<dispatch_table_huff_encode_state_init>(level)(nullptr), kernel_null_pointer);
        HuffEncodeState st = fresh_state(level);
        EXPECT_EQ(st.bitAcc | st.aux0 | uint32_t(st.bitCount) | st.aux1 | st.aux2, 0u);
        EXPECT_EQ(st.auxArea[0] | st.auxArea[1023], 0);
    });
}

// ---- table 7 ----

struct Encoded {
    kernel_status status;
    std::vector<uint8_t> bytes;   // below the position
    int32_t pos;
    uint32_t acc;
    int32_t count;
    int16_t dc;
};

struct BlockCoder {
    HuffEncodeSpec dc, ac;
    TestHuffTable dc_table, ac_table;
    BlockCoder()
    {
        std::vector<uint8_t> rgb(64 * 64 * 3, 128);
        const StandardTables s = standard_tables(rgb, 64, 64, TJSAMP_444);
        dc_table = s.dc[0];
        ac_table = s.ac[0];
        dc = encode_spec(dc_table);
        ac = encode_spec(ac_table);
    }
    Encoded run(int level, const Block& b, int32_t room, int16_t last_dc = 0, uint32_t acc = 0, int32_t count = 0,
                int32_t start = 0) const
    {
        std::vector<uint8_t> buf(size_t(start + room) + 32, 0xEE);
        HuffEncodeState st = fresh_state();
        st.bitAcc = acc;
        st.bitCount = count;
        int32_t pos = start;
        int16_t dcv = last_dc;
        const kernel_status r = table7(level)(b.data(), buf.data(), start + room, &pos, &dcv, &dc, &ac, &st, 0);
        return {r,           std::vector<uint8_t>(buf.begin() + start, buf.begin() + pos),
                pos - start, st.bitAcc & 0xFFFFFF,
                st.bitCount, dcv};
    }
};

void expect_same(const Encoded& a, const Encoded& b)
{
    EXPECT_EQ(a.status, b.status);
    EXPECT_EQ(a.bytes, b.bytes);
    EXPECT_EQ(a.pos, b.pos);
    EXPECT_EQ(a.acc, b.acc);
    EXPECT_EQ(a.count, b.count);
    EXPECT_EQ(a.dc, b.dc);
}

Block random_block(std::mt19937& rng)
{
    Block b{};
    const int kind = int(rng() % 4);
    for (int k = 0; k < 64; ++k) {
        const int scale = kind == 0 ? 1023 : kind == 1 ? 40 : 6;   // the standard tables stop at 1023
        if (kind != 3 && rng() % 3 == 0)
            continue;
        if (kind == 3 && rng() % 9 != 0)
            continue;
        b[size_t(kZigzag[k])] = int16_t(int(rng() % uint32_t(2 * scale + 1)) - scale);
    }
    if (rng() % 8 == 0)
        b[size_t(rng() % 64)] = int16_t(rng() % 2 ? 1023 : -1023);
    return b;
}

// Decodes one block of bytes (padded with ones) through our decoder.
Block decode_block(const BlockCoder& c, const Encoded& e, int16_t last_dc)
{
    TestBitWriter w;
    w.bytes = e.bytes;
    w.put(e.acc >> (24 - e.count), e.count);
    const std::vector<uint8_t> data = w.finish();
    const HuffDecodeSpec dc = decode_spec(c.dc_table), ac = decode_spec(c.ac_table);
    HuffDecodeState st;
    huff_decode_state_init(&st);
    Block b{};
    int32_t pos = 0;
    uint32_t marker = 0;
    EXPECT_EQ(
        huff_decode_block_8x8(data.data(), int32_t(data.size()), &pos, b.data(), &last_dc, &marker, &dc, &ac, &st),
        kernel_ok);
    return b;
}

using HuffEncodeBlock = KernelTest;

TEST_F(HuffEncodeBlock, RandomBlocksAgreeAtEveryLevelAndDecode)
{
    const BlockCoder c;
    std::mt19937 rng(7);
    for (int i = 0; i < 400; ++i) {
        const Block b = random_block(rng);
        const int16_t last = int16_t(int(rng() % 2001) - 1000);
        const int32_t count = int32_t(rng() % 8);
        const uint32_t acc = count == 0 ? 0 : (uint32_t(rng()) << (24 - count)) & 0xFFFFFF;
        const Encoded ref = c.run(0, b, 400, last, acc, count);
        ASSERT_EQ(ref.status, kernel_ok);
        EXPECT_EQ(ref.dc, b[0]);
        if (count == 0) {
            EXPECT_EQ(decode_block(c, ref, last), b);
        }
        for_each_level(1, [&](int level) { expect_same(c.run(level, b, 400, last, acc, count, i % 5), ref); });
    }
}

TEST_F(HuffEncodeBlock, DcOnlyAndLoneLastCoefficient)
{
    const BlockCoder c;
    const auto dc_codes = canonical_codes(c.dc_table), ac_codes = canonical_codes(c.ac_table);
    Block dc_only{};
    dc_only[0] = -37;   // difference -37 from 0: category 6, bits of -38
    TestBitWriter w;
    w.put(dc_codes.at(6));
    w.put(uint32_t(-38) & 63, 6);
    w.put(ac_codes.at(0));
    Block last{};
    last[63] = 5;
    TestBitWriter w2;
    w2.put(dc_codes.at(0));
    for (int i = 0; i < 3; ++i)
        w2.put(ac_codes.at(0xF0));
    w2.put(ac_codes.at(0xE3));
    w2.put(5, 3);
    for (auto [block, writer] : {std::pair{dc_only, w}, std::pair{last, w2}}) {
        for_each_level(0, [&](int level) {
            const Encoded e = c.run(level, block, 100);
            EXPECT_EQ(e.status, kernel_ok);
            EXPECT_EQ(e.bytes, writer.bytes);
            EXPECT_EQ(e.count, writer.n);
            EXPECT_EQ(e.acc >> (24 - writer.n), writer.acc);
        });
    }
}

TEST_F(HuffEncodeBlock, EveryRoomGivesTheSameResultAtEveryLevel)
{
    const BlockCoder c;
    std::mt19937 rng(3);
    for (int i = 0; i < 12; ++i) {
        Block b = random_block(rng);
        if (i == 0)
            b.fill(1023);   // many 0xFF bytes
        const Encoded ample = c.run(0, b, 1000, 0, 0xE00000, 3);
        ASSERT_EQ(ample.status, kernel_ok);
        for (int32_t room = 1; room <= ample.pos + 30; ++room) {
            const Encoded ref = c.run(0, b, room, 0, 0xE00000, 3);
            if (room < ample.pos) {
                EXPECT_EQ(ref.status, kernel_input_exhausted);
                // What fits is written: a prefix of the whole block's bytes.
                EXPECT_EQ(ref.bytes, std::vector<uint8_t>(ample.bytes.begin(), ample.bytes.begin() + ref.pos));
                EXPECT_GE(ref.pos, room - 1);
            } else {
                expect_same(ref, ample);
            }
            for_each_level(1, [&](int level) { expect_same(c.run(level, b, room, 0, 0xE00000, 3, 1), ref); });
        }
    }
}

TEST_F(HuffEncodeBlock, MissingCodesAndValuesOutsideTheScan)
{
    BlockCoder c;
    Block b{};
    b[0] = 100;
    b[1] = 3;
    // DC category without a code: the new DC is stored, nothing written, -64.
    HuffEncodeSpec dc = c.dc;
    dc.entry[7] = 0;
    // An AC length above 16 counts as no code too.
    HuffEncodeSpec ac = c.ac;
    ac.entry[0x02] = 25u << 16 | 1;
    Block big_dc{};
    big_dc[0] = 20000;
    Block min_ac{};
    min_ac[2] = -32768;
    for_each_level(0, [&](int level) {
        std::vector<uint8_t> buf(100, 0xEE);
        HuffEncodeState st = fresh_state();
        int32_t pos = 0;
        int16_t last = 0;
        EXPECT_EQ(table7(level)(b.data(), buf.data(), 100, &pos, &last, &dc, &c.ac, &st, 0), kernel_bad_huffman_table);
        EXPECT_EQ(pos, 0);
        EXPECT_EQ(last, 100);
        EXPECT_EQ(st.bitCount, 0);
        last = 100;
        EXPECT_EQ(table7(level)(b.data(), buf.data(), 100, &pos, &last, &c.dc, &ac, &st, 0), kernel_bad_huffman_table);
        // DC difference beyond 32767 and an AC value of -32768 have no symbol in a DCT scan.
        const Encoded far = c.run(level, big_dc, 100, -20000);
        EXPECT_EQ(far.status, kernel_bad_huffman_table);
        EXPECT_EQ(far.pos, 0);
        EXPECT_EQ(far.dc, 20000);
        expect_same(c.run(level, min_ac, 100), c.run(0, min_ac, 100));
        EXPECT_EQ(c.run(level, min_ac, 100).status, kernel_bad_huffman_table);
    });
}

// A position outside the buffer writes nothing, on a flush too.
TEST_F(HuffEncodeBlock, PositionsOutsideTheBufferWriteNothing)
{
    const BlockCoder c;
    Block b{};
    for_each_level(0, [&](int level) {
        auto e = table7(level);
        uint8_t buf[64];
        HuffEncodeState st = fresh_state();
        EXPECT_EQ(e(b.data(), buf, 0, nullptr, nullptr, nullptr, nullptr, nullptr, 0), kernel_size_below_one);
        for (int32_t bad : {-1, 65, INT32_MIN}) {
            int32_t pos = bad;
            int16_t dc = 5;
            st.bitAcc = 0xE00000;
            st.bitCount = 3;
            EXPECT_EQ(e(b.data(), buf, 64, &pos, &dc, &c.dc, &c.ac, &st, 0), kernel_out_of_range);
            EXPECT_EQ(e(b.data(), buf, 64, &pos, &dc, &c.dc, &c.ac, &st, 1), kernel_out_of_range);
            EXPECT_EQ(pos, bad);
            EXPECT_EQ(dc, 5);
            EXPECT_EQ(st.bitCount, 3);
        }
    });
}

// ---- table 25 ----

using HuffEncodeDiff = KernelTest;

// Categories 0 to 14 with 4-bit codes 0000..1110, 15 and 16 with the 16-bit codes F000, F001.
TestHuffTable diff_table()
{
    TestHuffTable t;
    t.counts[3] = 15;
    t.counts[15] = 2;
    for (int c = 0; c <= 16; ++c)
        t.values.push_back(uint8_t(c));
    return t;
}

struct DiffResult {
    kernel_status status;
    std::vector<uint8_t> bytes;
    uint32_t acc;
    int32_t count;
};

DiffResult run_diff(int level, int16_t v, int32_t room, uint32_t acc, int32_t count, const HuffEncodeSpec& spec)
{
    std::vector<uint8_t> buf(size_t(room) + 16, 0xEE);
    HuffEncodeState st = fresh_state();
    st.bitAcc = acc;
    st.bitCount = count;
    int32_t pos = 0;
    const kernel_status r = table25(level)(&v, buf.data(), room, &pos, &spec, &st, 0);
    return {r, std::vector<uint8_t>(buf.begin(), buf.begin() + pos), st.bitAcc & 0xFFFFFF, st.bitCount};
}

TEST_F(HuffEncodeDiff, CategoriesAndValueBitsAlikeAtEveryLevel)
{
    const TestHuffTable t = diff_table();
    const HuffEncodeSpec spec = encode_spec(t);
    const auto codes = canonical_codes(t);
    struct Case {
        int16_t v;
        int cat;
        uint32_t bits;
        uint32_t acc;
        int32_t count;
    };
    const Case cases[] = {{0, 0, 0, 0, 0},
                          {-1, 1, 0, 0, 0},
                          {255, 8, 0xFF, 0, 0},
                          {256, 9, 256, 0, 0},
                          {-32768, 16, 0, 0, 0},
                          {32767, 15, 0x7FFF, 0, 0},
                          {32767, 15, 0x7FFF, 0xFE0000, 7},
                          {-300, 9, 211, 0xA00000, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.v);
        TestBitWriter w;
        w.put(c.acc >> (24 - c.count), c.count);
        w.put(codes.at(c.cat));
        if (c.cat != 0 && c.cat != 16)
            w.put(c.bits, c.cat);
        const DiffResult ample = run_diff(0, c.v, 64, c.acc, c.count, spec);
        EXPECT_EQ(ample.status, kernel_ok);
        EXPECT_EQ(ample.bytes, w.bytes);
        EXPECT_EQ(ample.count, w.n);
        EXPECT_EQ(ample.acc >> (24 - w.n), w.acc);
        if (c.count == 7 && c.cat == 15) {
            EXPECT_EQ(ample.bytes, (std::vector<uint8_t>{0xFF, 0x00, 0xE0, 0x01, 0xFF, 0x00}));
            EXPECT_EQ(ample.count, 6);
        }
        for (int32_t room = 1; room <= 12; ++room) {
            const DiffResult ref = run_diff(0, c.v, room, c.acc, c.count, spec);
            for_each_level(1, [&](int level) {
                const DiffResult r = run_diff(level, c.v, room, c.acc, c.count, spec);
                EXPECT_EQ(r.status, ref.status);
                EXPECT_EQ(r.bytes, ref.bytes);
                EXPECT_EQ(r.acc, ref.acc);
                EXPECT_EQ(r.count, ref.count);
            });
        }
    }
}

TEST_F(HuffEncodeDiff, MissingCodesAndPositionsOutsideTheBuffer)
{
    HuffEncodeSpec spec = encode_spec(diff_table());
    spec.entry[3] = 0;
    spec.entry[4] = 17u << 16;
    for_each_level(0, [&](int level) {
        for (int16_t v : {int16_t(5), int16_t(-9)}) {
            const DiffResult r = run_diff(level, v, 64, 0xA00000, 3, spec);
            EXPECT_EQ(r.status, kernel_bad_huffman_table);
            EXPECT_TRUE(r.bytes.empty());
            EXPECT_EQ(r.count, 3);
        }
        auto e = table25(level);
        const int16_t v = 1;
        uint8_t buf[16];
        HuffEncodeState st = fresh_state();
        int32_t pos = 17;
        EXPECT_EQ(e(&v, buf, 16, &pos, &spec, &st, 0), kernel_out_of_range);
        pos = -3;
        EXPECT_EQ(e(&v, buf, 16, &pos, &spec, &st, 1), kernel_out_of_range);
        EXPECT_EQ(pos, -3);
    });
}

// ---- table 22 ----

using HuffEncodeRow = KernelTest;

struct RowResult {
    kernel_status status;
    std::vector<uint8_t> bytes;
    int32_t pos;
    uint32_t acc;
    int32_t count;
};

RowResult run_row(int level, const std::vector<std::vector<int16_t>>& rows, int32_t comps, int32_t room,
                  const HuffEncodeSpec* const* specs, bool flush)
{
    std::vector<const int16_t*> ptrs;
    for (const auto& r : rows)
        ptrs.push_back(r.data());
    std::vector<uint8_t> buf(size_t(room), 0xEE);
    HuffEncodeState st = fresh_state();
    st.bitAcc = 0xC00000;
    st.bitCount = 2;
    int32_t pos = 0;
    kernel_status r =
        table22(level)(ptrs.data(), int32_t(rows[0].size()), comps, buf.data(), room, &pos, specs, &st, 0);
    if (r == kernel_ok && flush)
        r = table22(level)(nullptr, 0, 0, buf.data(), room, &pos, nullptr, &st, 1);
    return {r, std::vector<uint8_t>(buf.begin(), buf.begin() + pos), pos, st.bitAcc & 0xFFFFFF, st.bitCount};
}

TEST_F(HuffEncodeRow, RandomRowsDecodeToTheSameValuesAtEveryLevel)
{
    const TestHuffTable t = diff_table();
    const HuffEncodeSpec spec = encode_spec(t);
    const HuffDecodeSpec dspec = decode_spec(t);
    const HuffEncodeSpec* specs[5] = {&spec, &spec, &spec, &spec, &spec};
    const HuffDecodeSpec* dspecs[4] = {&dspec, &dspec, &dspec, &dspec};
    std::mt19937 rng(11);
    for (int32_t width : {1, 7, 100, 4096}) {
        for (int32_t comps = 1; comps <= 5; ++comps) {
            SCOPED_TRACE(::testing::Message() << width << "x" << comps);
            std::vector<std::vector<int16_t>> rows(static_cast<size_t>(comps),
                                                   std::vector<int16_t>(static_cast<size_t>(width)));
            for (auto& r : rows)
                for (auto& v : r) {
                    const int bits = int(rng() % 17);
                    v = int16_t(int32_t(rng() & ((1u << bits) - 1)) * (rng() % 2 ? 1 : -1));
                    if (rng() % 50 == 0)
                        v = -32768;
                }
            const RowResult ref = run_row(0, rows, comps, width * 40 + 16, specs, true);
            ASSERT_EQ(ref.status, kernel_ok);
            // Our decoder gives back the first four components, after the two pending bits 11.
            const std::vector<uint8_t>& data = ref.bytes;
            const int used = std::min(comps, 4);
            std::vector<std::vector<uint16_t>> out(static_cast<size_t>(used),
                                                   std::vector<uint16_t>(static_cast<size_t>(width)));
            std::vector<uint16_t*> outp;
            for (auto& o : out)
                outp.push_back(o.data());
            HuffDecodeState st;
            huff_decode_state_init(&st);
            int32_t pos = 0;
            uint32_t marker = 0;
            // Skip the two pending bits we started with.
            ASSERT_EQ(FillHuffBitBuffer(data.data(), int32_t(data.size()), &pos, &marker, 2, &st), kernel_ok);
            st.bitCount -= 2;
            ASSERT_EQ(huff_decode_lossless_row(data.data(), int32_t(data.size()), &pos, outp.data(), width, used,
                                               &marker, dspecs, &st),
                      kernel_ok);
            for (int c = 0; c < used; ++c)
                for (int x = 0; x < width; ++x)
                    ASSERT_EQ(out[size_t(c)][size_t(x)], uint16_t(rows[size_t(c)][size_t(x)]));
            for_each_level(1, [&](int level) {
                const RowResult r = run_row(level, rows, comps, width * 40 + 16, specs, true);
                EXPECT_EQ(r.status, ref.status);
                EXPECT_EQ(r.bytes, ref.bytes);
                EXPECT_EQ(r.count, ref.count);
            });
        }
    }
}

TEST_F(HuffEncodeRow, LoneMinimumWritesOnlyItsCode)
{
    const TestHuffTable t = diff_table();
    const HuffEncodeSpec spec = encode_spec(t);
    const HuffEncodeSpec* specs[1] = {&spec};
    const std::vector<std::vector<int16_t>> rows = {{-32768}};
    for_each_level(0, [&](int level) {
        const RowResult r = run_row(level, rows, 1, 16, specs, false);
        EXPECT_EQ(r.status, kernel_ok);
        // 11 then F001: 1111 1100 0000 0000, then 01 pending.
        EXPECT_EQ(r.bytes, (std::vector<uint8_t>{0xFC, 0x00}));
        EXPECT_EQ(r.count, 2);
        EXPECT_EQ(r.acc, 0x400000u);
    });
}

TEST_F(HuffEncodeRow, FailuresLeaveWhatEachLevelPromises)
{
    const TestHuffTable t = diff_table();
    HuffEncodeSpec spec = encode_spec(t);
    const HuffEncodeSpec* specs[1] = {&spec};
    std::vector<std::vector<int16_t>> rows(1, std::vector<int16_t>(64));
    for (int x = 0; x < 64; ++x)
        rows[0][size_t(x)] = int16_t(x * 97 - 3000);
    rows[0][63] = 20000;
    const RowResult ample = run_row(0, rows, 1, 4096, specs, false);
    ASSERT_EQ(ample.status, kernel_ok);
    // Levels 0 to 3 keep what went through; 4 and 5 leave the position and state as on entry.
    const auto expect_failure = [&](kernel_status status, int32_t room) {
        const RowResult generic = run_row(0, rows, 1, room, specs, false);
        EXPECT_EQ(generic.status, status);
        EXPECT_LE(generic.pos, room);
        EXPECT_EQ(generic.bytes, std::vector<uint8_t>(ample.bytes.begin(), ample.bytes.begin() + generic.pos));
        for_each_level(1, [&](int level) {
            const RowResult r = run_row(level, rows, 1, room, specs, false);
            EXPECT_EQ(r.status, status);
            if (level >= 4) {
                EXPECT_EQ(r.pos, 0);
                EXPECT_EQ(r.count, 2);
            } else {
                EXPECT_EQ(r.bytes, generic.bytes);
                EXPECT_EQ(r.count, generic.count);
            }
        });
        return generic;
    };
    for (int32_t room : {1, 5, 20, ample.pos - 1})
        expect_failure(kernel_input_exhausted, room);
    // The category of the last sample only: without a code, then with a length above 16.
    for (uint32_t entry : {0u, 17u << 16 | 1}) {
        spec.entry[15] = entry;
        EXPECT_GT(expect_failure(kernel_bad_huffman_table, 4096).pos, 0);
    }
}

TEST_F(HuffEncodeRow, ComponentsBeyondFourAndPositionsOutsideTheBuffer)
{
    const HuffEncodeSpec spec = encode_spec(diff_table());
    const int16_t row[2] = {1, 2};
    const int16_t* rows[5] = {row, row, nullptr, row, row};
    const HuffEncodeSpec* specs[5] = {&spec, &spec, &spec, &spec, nullptr};
    for_each_level(0, [&](int level) {
        auto e = table22(level);
        uint8_t buf[16];
        int32_t pos = 0;
        HuffEncodeState st = fresh_state();
        EXPECT_EQ(e(rows, 2, 3, buf, 16, &pos, specs, &st, 0), kernel_null_pointer);   // the third row
        // The fifth component's null spec is never read.
        const int16_t* four[5] = {row, row, row, row, nullptr};
        EXPECT_EQ(e(four, 2, 5, buf, 16, &pos, specs, &st, 0), kernel_ok);
        pos = 17;
        EXPECT_EQ(e(four, 2, 5, buf, 16, &pos, specs, &st, 0), kernel_out_of_range);
        EXPECT_EQ(pos, 17);
    });
}

// ---- whole images through tables 0-2, 6, 7 ----

std::vector<uint8_t> test_image(int w, int h)
{
    std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
    std::mt19937 rng(5);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int base[3] = {x * 255 / (w - 1), y * 255 / (h - 1), (x + y) * 255 / (w + h - 2)};
            for (int c = 0; c < 3; ++c) {
                const int v = base[c] + int(rng() % 17) - 8;
                rgb[(size_t(y) * size_t(w) + size_t(x)) * 3 + size_t(c)] = uint8_t(std::clamp(v, 0, 255));
            }
        }
    return rgb;
}

struct Sampling {
    int table;     // colour table
    int subsamp;   // TurboJPEG sampling
    int h, v;      // luma blocks per MCU
};

struct EncodedImage {
    std::vector<uint8_t> file;
    std::vector<uint8_t> scan;
    std::vector<std::vector<Block>> blocks;   // per component, raster order of its blocks
    int bw[3], bh[3];
};

void put16(std::vector<uint8_t>& f, int v)
{
    f.push_back(uint8_t(v >> 8));
    f.push_back(uint8_t(v));
}

EncodedImage encode_image(int level, const std::vector<uint8_t>& rgb, int w, int h, const Sampling& smp,
                          const StandardTables& tabs)
{
    EncodedImage out;
    uint16_t quant[2][64];
    for (int t = 0; t < 2; ++t) {
        // DQT: FF DB len, then per table: Pq/Tq byte and 64 steps.
        const uint8_t* steps = nullptr;
        for (size_t p = 0; p + 4 < tabs.dqt.size();) {
            const size_t len = size_t(tabs.dqt[p + 2]) << 8 | tabs.dqt[p + 3];
            for (size_t q = p + 4; q + 65 <= p + 2 + len; q += 65)
                if ((tabs.dqt[q] & 15) == t)
                    steps = &tabs.dqt[q + 1];
            p += 2 + len;
        }
        EXPECT_NE(steps, nullptr);
        EXPECT_EQ(dispatch_entry<dispatch_table_quant_table_init>(level)(steps, quant[t]), kernel_ok);
    }
    HuffEncodeSpec dc[2], ac[2];
    for (int t = 0; t < 2; ++t) {
        dc[t] = encode_spec(tabs.dc[t], level);
        ac[t] = encode_spec(tabs.ac[t], level);
    }
    HuffEncodeState st = fresh_state(level);
    const int mw = 8 * smp.h, mh = 8 * smp.v, ny = smp.h * smp.v;
    out.bw[0] = w / 8;
    out.bh[0] = h / 8;
    for (int c = 1; c < 3; ++c) {
        out.bw[c] = w / mw;
        out.bh[c] = h / mh;
    }
    out.blocks.resize(3);
    for (int c = 0; c < 3; ++c)
        out.blocks[size_t(c)].resize(size_t(out.bw[c]) * size_t(out.bh[c]));
    out.scan.assign(size_t(w) * size_t(h) * 4, 0);
    int32_t pos = 0;
    int16_t last[3] = {};
    alignas(16) int16_t area[6 * 64];
    auto convert = dispatch_entry<dispatch_table_ycbcr_from_rgb_444_blocks>(level);
    if (smp.table == 1)
        convert = dispatch_entry<dispatch_table_ycbcr_from_rgb_422_blocks>(level);
    if (smp.table == 2)
        convert = dispatch_entry<dispatch_table_ycbcr_from_rgb_420_blocks>(level);
    for (int my = 0; my < h / mh; ++my)
        for (int mx = 0; mx < w / mw; ++mx) {
            int16_t* ptrs[3] = {area, area + 64 * ny, area + 64 * (ny + 1)};
            const uint8_t* src = rgb.data() + (size_t(my * mh) * size_t(w) + size_t(mx * mw)) * 3;
            EXPECT_EQ(convert(src, w * 3, ptrs), kernel_ok);
            for (int b = 0; b < ny + 2; ++b) {
                const int comp = b < ny ? 0 : b - ny + 1, t = comp == 0 ? 0 : 1;
                int16_t* blk = area + 64 * b;
                EXPECT_EQ(dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level)(blk, quant[t]), kernel_ok);
                const int bx = comp == 0 ? mx * smp.h + b % smp.h : mx, by = comp == 0 ? my * smp.v + b / smp.h : my;
                std::memcpy(out.blocks[size_t(comp)][size_t(by * out.bw[comp] + bx)].data(), blk, 128);
                EXPECT_EQ(table7(level)(blk, out.scan.data(), int32_t(out.scan.size()), &pos, &last[comp], &dc[t],
                                        &ac[t], &st, 0),
                          kernel_ok);
            }
        }
    EXPECT_EQ(
        table7(level)(nullptr, out.scan.data(), int32_t(out.scan.size()), &pos, nullptr, nullptr, nullptr, &st, 1),
        kernel_ok);
    out.scan.resize(size_t(pos));

    std::vector<uint8_t>& f = out.file;
    f = {0xFF, 0xD8};
    f.insert(f.end(), tabs.dqt.begin(), tabs.dqt.end());
    f.insert(f.end(), {0xFF, 0xC0});
    put16(f, 17);
    f.push_back(8);
    put16(f, h);
    put16(f, w);
    f.insert(f.end(), {3, 1, uint8_t(smp.h << 4 | smp.v), 0, 2, 0x11, 1, 3, 0x11, 1});
    for (int t = 0; t < 2; ++t)
        for (int cls = 0; cls < 2; ++cls) {
            const TestHuffTable& ht = cls == 0 ? tabs.dc[t] : tabs.ac[t];
            f.insert(f.end(), {0xFF, 0xC4});
            put16(f, 2 + 17 + int(ht.values.size()));
            f.push_back(uint8_t(cls << 4 | t));
            f.insert(f.end(), ht.counts, ht.counts + 16);
            f.insert(f.end(), ht.values.begin(), ht.values.end());
        }
    f.insert(f.end(), {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});
    f.insert(f.end(), out.scan.begin(), out.scan.end());
    f.insert(f.end(), {0xFF, 0xD9});
    return out;
}

double psnr_of(const std::vector<uint8_t>& file, const std::vector<uint8_t>& rgb, int w, int h)
{
    tjhandle tj = tjInitDecompress();
    std::vector<uint8_t> out(rgb.size());
    const int r = tjDecompress2(tj, file.data(), static_cast<unsigned long>(file.size()), out.data(), w, 0, h, TJPF_RGB,
                                TJFLAG_ACCURATEDCT);
    tjDestroy(tj);
    EXPECT_EQ(r, 0);
    double se = 0;
    for (size_t i = 0; i < rgb.size(); ++i)
        se += (double(out[i]) - rgb[i]) * (double(out[i]) - rgb[i]);
    return 10 * std::log10(255.0 * 255.0 / (se / double(rgb.size())));
}

void expect_libjpeg_coefficients(const EncodedImage& e)
{
    const std::vector<std::vector<int16_t>> want = PeerReadCoefficients(e.file);
    ASSERT_EQ(want.size(), 3u);
    for (size_t c = 0; c < 3; ++c)
        EXPECT_EQ(flat_blocks(e.blocks[c]), want[c]) << "component " << c;
}

void expect_own_decoder_agrees(const EncodedImage& e, const StandardTables& tabs, const Sampling& smp)
{
    HuffDecodeSpec dc[2], ac[2];
    for (int t = 0; t < 2; ++t) {
        dc[t] = decode_spec(tabs.dc[t]);
        ac[t] = decode_spec(tabs.ac[t]);
    }
    HuffDecodeState st;
    huff_decode_state_init(&st);
    int32_t pos = 0;
    uint32_t marker = 0;
    int16_t last[3] = {};
    const int ny = smp.h * smp.v;
    int mismatches = 0;
    for (int my = 0; my < e.bh[1]; ++my)
        for (int mx = 0; mx < e.bw[1]; ++mx)
            for (int b = 0; b < ny + 2; ++b) {
                const int comp = b < ny ? 0 : b - ny + 1, t = comp == 0 ? 0 : 1;
                const int bx = comp == 0 ? mx * smp.h + b % smp.h : mx, by = comp == 0 ? my * smp.v + b / smp.h : my;
                Block blk{};
                ASSERT_EQ(huff_decode_block_8x8(e.scan.data(), int32_t(e.scan.size()), &pos, blk.data(), &last[comp],
                                                &marker, &dc[t], &ac[t], &st),
                          kernel_ok);
                mismatches += blk != e.blocks[size_t(comp)][size_t(by * e.bw[comp] + bx)];
            }
    EXPECT_EQ(mismatches, 0);
}

bool djpeg_accepts(const std::vector<uint8_t>& file)
{
    std::string name = ::testing::TempDir() + "kv_encode_XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return false;
    FILE* f = fdopen(fd, "wb");
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
    const std::string err = name + ".err";
    const std::string cmd = "djpeg -outfile /dev/null " + name + " 2>" + err;
    const int rc = std::system(cmd.c_str());
    FILE* e = std::fopen(err.c_str(), "rb");
    long err_size = -1;
    if (e != nullptr) {
        std::fseek(e, 0, SEEK_END);
        err_size = std::ftell(e);
        std::fclose(e);
    }
    std::remove(name.c_str());
    std::remove(err.c_str());
    return rc == 0 && err_size == 0;
}

class HuffEncodeImage : public KernelTest, public ::testing::WithParamInterface<Sampling> {};

TEST_P(HuffEncodeImage, LibjpegAndOurDecoderReadTheBlocksBack)
{
    const Sampling smp = GetParam();
    const int w = 256, h = 256;
    const std::vector<uint8_t> rgb = test_image(w, h);
    const StandardTables tabs = standard_tables(rgb, w, h, smp.subsamp);
    const double reference = psnr_of(tabs.file, rgb, w, h);
    for_each_level(0, [&](int level) {
        const EncodedImage e = encode_image(level, rgb, w, h, smp, tabs);
        EXPECT_TRUE(djpeg_accepts(e.file));
        expect_libjpeg_coefficients(e);
        expect_own_decoder_agrees(e, tabs, smp);
        const double psnr = psnr_of(e.file, rgb, w, h);
        std::printf("level %d: %.2f dB, libjpeg-turbo %.2f dB\n", level, psnr, reference);
        // Level 0's colour conversion truncates; the others round as libjpeg does.
        EXPECT_GE(psnr, reference - (level == 0 ? 5.0 : 0.3)) << "reference " << reference;
    });
}

INSTANTIATE_TEST_SUITE_P(
    Samplings, HuffEncodeImage,
    ::testing::Values(Sampling{0, TJSAMP_444, 1, 1}, Sampling{1, TJSAMP_422, 2, 1}, Sampling{2, TJSAMP_420, 2, 2}),
    [](const auto& info) {
        return std::string(info.param.table == 0 ? "s444" : info.param.table == 1 ? "s422" : "s420");
    });

}   // namespace

namespace {

int category(int v)
{
    int size = 0;
    for (int a = v < 0 ? -v : v; a != 0; a >>= 1)
        ++size;
    return size;
}

// Tables made by table 27 from an image's own symbol counts code it so that djpeg reads it.
TEST_F(HuffEncodeImage, OptimalTablesFromTheImagesCountsDecodeWithDjpeg)
{
    const Sampling smp{0, TJSAMP_444, 1, 1};
    const int w = 64, h = 64;
    const std::vector<uint8_t> rgb = test_image(w, h);
    const StandardTables standard = standard_tables(rgb, w, h, smp.subsamp);
    for_each_level(0, [&](int level) {
        StandardTables tabs = standard;
        const EncodedImage first = encode_image(level, rgb, w, h, smp, tabs);
        std::vector<int32_t> dc[2] = {std::vector<int32_t>(257), std::vector<int32_t>(257)};
        std::vector<int32_t> ac[2] = {std::vector<int32_t>(257), std::vector<int32_t>(257)};
        for (int c = 0; c < 3; ++c) {
            const int t = c == 0 ? 0 : 1;
            int last = 0;
            for (const Block& b : first.blocks[size_t(c)]) {
                ++dc[t][size_t(category(b[0] - last))];
                last = b[0];
                int run = 0;
                for (int k = 1; k < 64; ++k) {
                    const int v = b[size_t(kZigzag[k])];
                    if (v == 0) {
                        ++run;
                        continue;
                    }
                    for (; run > 15; run -= 16)
                        ++ac[t][0xF0];
                    ++ac[t][size_t(run << 4 | category(v))];
                    run = 0;
                }
                if (run != 0)
                    ++ac[t][0];
            }
        }
        for (int t = 0; t < 2; ++t)
            for (int cls = 0; cls < 2; ++cls) {
                TestHuffTable& ht = cls == 0 ? tabs.dc[t] : tabs.ac[t];
                std::vector<uint8_t> values(256);
                ASSERT_EQ(dispatch_entry<dispatch_table_generate_huff_table>(level)((cls == 0 ? dc[t] : ac[t]).data(),
                                                                                    ht.counts, values.data()),
                          kernel_ok);
                int total = 0;
                for (uint8_t n : ht.counts)
                    total += n;
                ht.values.assign(values.begin(), values.begin() + total);
            }
        const EncodedImage e = encode_image(level, rgb, w, h, smp, tabs);
        EXPECT_TRUE(djpeg_accepts(e.file));
        EXPECT_LT(e.scan.size(), first.scan.size());
    });
}

}   // namespace
