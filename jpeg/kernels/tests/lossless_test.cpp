#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "huffman/huff_decode.h"
#include "jpeg_test_stream.h"
#include "kernel_test_util.h"
#include "lossless/lossless_reconstruct.h"

namespace {

// Categories 0 to 16 with 5-bit codes equal to the category.
TestHuffTable category_table()
{
    TestHuffTable t;
    t.counts[4] = 17;
    for (int s = 0; s <= 16; ++s)
        t.values.push_back(uint8_t(s));
    return t;
}

HuffDecodeSpec spec_of(const TestHuffTable& t)
{
    HuffDecodeSpec spec;
    EXPECT_EQ(huff_decode_spec_init(t.counts, t.values.data(), &spec), kernel_ok);
    return spec;
}

HuffDecodeState cleared_state()
{
    HuffDecodeState st{};
    huff_decode_state_init(&st);
    return st;
}

// Category and extra bits of a difference, T.81 Annex H (category 16 for 32768).
void put_difference(TestBitWriter& w, int d)
{
    if (d == 32768) {
        w.put(16, 5);
        return;
    }
    const int magnitude = d < 0 ? -d : d;
    int s = 0;
    while ((1 << s) <= magnitude)
        ++s;
    w.put(uint32_t(s), 5);
    if (s)
        w.put(uint32_t(d < 0 ? d + (1 << s) - 1 : d), s);
}

using LosslessRow = KernelTest;

TEST_F(LosslessRow, CategoriesAndComponentOrder)
{
    TestBitWriter w;
    for (int d : {1, -2, 32768, -1, 0, 300})
        put_difference(w, d);
    std::vector<uint8_t> data = w.finish();
    data.resize(40, 0x00);
    const HuffDecodeSpec spec = spec_of(category_table());
    const HuffDecodeSpec* specs[3] = {&spec, &spec, &spec};
    for_each_level(0, [&](int level) {
        auto f = dispatch_entry<dispatch_table_huff_decode_lossless_row>(level);
        std::array<uint16_t, 2> r0{}, r1{}, r2{};
        uint16_t* rows[3] = {r0.data(), r1.data(), r2.data()};
        HuffDecodeState st = cleared_state();
        int32_t pos = 0;
        uint32_t marker = 0;
        ASSERT_EQ(f(data.data(), int32_t(data.size()), &pos, rows, 1, 3, &marker, specs, &st), kernel_ok);
        EXPECT_EQ(r0[0], 1);
        EXPECT_EQ(r1[0], 0xFFFE);
        EXPECT_EQ(r2[0], 0x8000);
        EXPECT_EQ(stream_point(data, pos, st.bitCount), 5 + 1 + 5 + 2 + 5);   // category 16 reads no bits
        ASSERT_EQ(f(data.data(), int32_t(data.size()), &pos, rows, 1, 3, &marker, specs, &st), kernel_ok);
        EXPECT_EQ(r0[0], 0xFFFF);   // -1 with category 1
        EXPECT_EQ(r1[0], 0);
        EXPECT_EQ(r2[0], 300);
    });
}

TEST_F(LosslessRow, MoreThanFourComponentsDecodeFour)
{
    TestBitWriter w;
    for (int x = 0; x < 3; ++x)
        for (int c = 0; c < 4; ++c)
            put_difference(w, 10 * x + c);
    std::vector<uint8_t> data = w.finish();
    data.resize(64, 0x00);
    const HuffDecodeSpec spec = spec_of(category_table());
    const HuffDecodeSpec* specs[5] = {&spec, &spec, &spec, &spec, nullptr};
    for_each_level(0, [&](int level) {
        std::array<std::array<uint16_t, 3>, 5> r{};
        r[4].fill(0x1234);
        uint16_t* rows[5] = {r[0].data(), r[1].data(), r[2].data(), r[3].data(), nullptr};
        HuffDecodeState st = cleared_state();
        int32_t pos = 0;
        uint32_t marker = 0;
        ASSERT_EQ(dispatch_entry<dispatch_table_huff_decode_lossless_row>(level)(data.data(), 64, &pos, rows, 3, 5,
                                                                                 &marker, specs, &st),
                  kernel_ok);
        for (int x = 0; x < 3; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(r[size_t(c)][size_t(x)], 10 * x + c);
        EXPECT_EQ(r[4][0], 0x1234);
    });
}

TEST_F(LosslessRow, MarkerMetByteByByteIsRecordedByTheGeneralPath)
{
    TestBitWriter w;
    for (int d : {0, 0, 0, 0})
        put_difference(w, d);
    std::vector<uint8_t> data = w.finish();   // 20 bits in 3 bytes
    ASSERT_EQ(data.size(), 3u);
    data.push_back(0xFF);
    data.push_back(0xD0);
    data.resize(12, 0x00);
    const HuffDecodeSpec spec = spec_of(category_table());
    const HuffDecodeSpec* specs[1] = {&spec};
    std::array<uint16_t, 4> row;
    uint16_t* rows[1] = {row.data()};
#if defined(__x86_64__) || defined(__i386__)
    if (dispatch_supported_level() >= 4) {
        HuffDecodeState st = cleared_state();
        int32_t pos = 0;
        uint32_t marker = 0;
        EXPECT_EQ(DecodeHuffmanLosslessRowFast<4>(data.data(), 12, &pos, rows, 4, 1, &marker, specs, &st), 1);
        EXPECT_EQ(pos, 0);
        EXPECT_EQ(st.bitCount, 0);
        EXPECT_EQ(marker, 0u);
    }
#endif
    for_each_level(0, [&](int level) {
        row.fill(7);
        HuffDecodeState st = cleared_state();
        int32_t pos = 0;
        uint32_t marker = 0;
        EXPECT_EQ(dispatch_entry<dispatch_table_huff_decode_lossless_row>(level)(data.data(), 12, &pos, rows, 4, 1,
                                                                                 &marker, specs, &st),
                  kernel_ok);
        EXPECT_EQ(row, (std::array<uint16_t, 4>{}));
        EXPECT_EQ(marker, 0xD0u);
        EXPECT_EQ(pos, 5);
    });
}

TEST_F(LosslessRow, ArgumentChecks)
{
    const HuffDecodeSpec spec = spec_of(category_table());
    const HuffDecodeSpec* specs[2] = {&spec, nullptr};
    uint16_t row[2] = {9, 9};
    uint16_t* rows[2] = {row, row};
    uint8_t data[8] = {};
    int32_t pos = 0;
    uint32_t marker = 0;
    HuffDecodeState st = cleared_state();
    for_each_level(0, [&](int level) {
        auto f = dispatch_entry<dispatch_table_huff_decode_lossless_row>(level);
        EXPECT_EQ(f(nullptr, 8, &pos, rows, 2, 1, &marker, specs, &st), kernel_null_pointer);
        EXPECT_EQ(f(data, 0, &pos, rows, 2, 1, &marker, specs, &st), kernel_size_below_one);
        EXPECT_EQ(f(data, 8, &pos, rows, 0, 1, &marker, specs, &st), kernel_size_below_one);
        EXPECT_EQ(f(data, 8, &pos, rows, 2, 0, &marker, specs, &st), kernel_size_below_one);
        EXPECT_EQ(f(data, 8, &pos, rows, 2, 1, &marker, specs, nullptr), kernel_null_pointer);
        EXPECT_EQ(f(data, 8, &pos, rows, 2, 2, &marker, specs, &st), kernel_null_pointer);   // second table
        EXPECT_EQ(row[0], 9);
        EXPECT_EQ(pos, 0);
    });
}

TEST_F(LosslessRow, SingleDifferencesOfTable18)
{
    TestBitWriter w;
    put_difference(w, 32768);
    put_difference(w, -700);
    std::vector<uint8_t> padded = w.finish();
    const std::vector<uint8_t> tight = padded;
    padded.resize(16, 0x00);
    const HuffDecodeSpec spec = spec_of(category_table());
    for_each_level(0, [&](int level) {
        auto f = dispatch_entry<dispatch_table_huff_decode_diff>(level);
        for (const std::vector<uint8_t>* data : std::array<const std::vector<uint8_t>*, 2>{&padded, &tight}) {
            HuffDecodeState st = cleared_state();
            int32_t pos = 0;
            uint32_t marker = 0;
            uint16_t d = 0;
            ASSERT_EQ(f(data->data(), int32_t(data->size()), &pos, &d, &marker, &spec, &st), kernel_ok);
            EXPECT_EQ(d, 32768);
            EXPECT_EQ(stream_point(*data, pos, st.bitCount), 5);
            ASSERT_EQ(f(data->data(), int32_t(data->size()), &pos, &d, &marker, &spec, &st), kernel_ok);
            EXPECT_EQ(d, uint16_t(-700));
            EXPECT_EQ(stream_point(*data, pos, st.bitCount), 5 + 5 + 10);
        }
        uint16_t d = 0;
        int32_t pos = 0;
        uint32_t marker = 0;
        HuffDecodeState st = cleared_state();
        EXPECT_EQ(f(padded.data(), 0, &pos, &d, &marker, &spec, &st), kernel_size_below_one);
        EXPECT_EQ(f(padded.data(), 16, &pos, nullptr, &marker, &spec, &st), kernel_null_pointer);
    });
#if defined(__x86_64__) || defined(__i386__)
    // A 0xFF among the bytes that the fast kernel would append: it declines, the entry decodes.
    TestBitWriter w2;
    put_difference(w2, 255);   // 01000 11111111 -> a data byte 0xFF, stuffed
    std::vector<uint8_t> stuffed = w2.finish();
    stuffed.resize(16, 0x00);
    HuffDecodeState st = cleared_state();
    int32_t pos = 0;
    uint16_t d = 0;
    EXPECT_EQ(DecodeHuffDiffFast(stuffed.data(), &pos, &d, &spec, &st), 1);
    EXPECT_EQ(pos, 0);
    for_each_level(0, [&](int level) {
        HuffDecodeState s2 = cleared_state();
        int32_t p2 = 0;
        uint32_t marker = 0;
        EXPECT_EQ(
            dispatch_entry<dispatch_table_huff_decode_diff>(level)(stuffed.data(), 16, &p2, &d, &marker, &spec, &s2),
            kernel_ok);
        EXPECT_EQ(d, 255);
    });
#endif
}

// ---- reconstruction ----

using Reconstruct = KernelTest;

// T.81 Annex H, written out on 64-bit integers.
uint16_t t81_prediction(int predictor, int64_t ra, int64_t rb, int64_t rc)
{
    int64_t p = 0;
    switch (predictor) {
    case 1: p = ra; break;
    case 2: p = rb; break;
    case 3: p = rc; break;
    case 4: p = ra + rb - rc; break;
    case 5: p = ra + ((rb - rc) >> 1); break;
    case 6: p = rb + ((ra - rc) >> 1); break;
    case 7: p = (ra + rb) >> 1; break;
    }
    return uint16_t(p & 0xFFFF);
}

std::vector<uint16_t> reference_row(const std::vector<uint16_t>& diff, const std::vector<uint16_t>& above,
                                    int predictor)
{
    std::vector<uint16_t> out(diff.size());
    out[0] = uint16_t(diff[0] + above[0]);
    for (size_t x = 1; x < diff.size(); ++x)
        out[x] = uint16_t(diff[x] + t81_prediction(predictor, out[x - 1], above[x], above[x - 1]));
    return out;
}

TEST_F(Reconstruct, FirstRowOffsets)
{
    for_each_level(0, [](int level) {
        auto f = dispatch_entry<dispatch_table_lossless_reconstruct_first_row>(level);
        const std::vector<uint16_t> diff = {5, 1, 0xFFFF, 0xFFFF};
        std::vector<uint16_t> out(4, 0x4444);
        ASSERT_EQ(f(diff.data(), out.data(), 4, 8, 0), kernel_ok);
        EXPECT_EQ(out, (std::vector<uint16_t>{133, 134, 133, 132}));
        ASSERT_EQ(f(diff.data(), out.data(), 1, 12, 2), kernel_ok);
        EXPECT_EQ(out[0], 517);
        EXPECT_EQ(out[1], 134);   // one sample writes one value
        const uint16_t big[2] = {40000, 0xFFFF};
        ASSERT_EQ(f(big, out.data(), 2, 16, 0), kernel_ok);
        EXPECT_EQ(out[0], uint16_t(40000 + 32768));
        EXPECT_EQ(out[1], uint16_t(40000 + 32768 - 1));
        ASSERT_EQ(f(diff.data(), out.data(), 1, 8, 8), kernel_ok);
        EXPECT_EQ(out[0], 5);   // 2^31 kept to 16 bits
        out.assign(4, 0x4444);
        EXPECT_EQ(f(diff.data(), out.data(), 4, 1, 0), kernel_out_of_range);
        EXPECT_EQ(f(diff.data(), out.data(), 4, 17, 0), kernel_out_of_range);
        EXPECT_EQ(f(diff.data(), out.data(), 4, 8, -1), kernel_out_of_range);
        EXPECT_EQ(f(diff.data(), out.data(), 0, 8, 0), kernel_size_below_one);
        EXPECT_EQ(f(nullptr, out.data(), 0, 1, -1), kernel_null_pointer);
        EXPECT_EQ(f(diff.data(), nullptr, 4, 8, 0), kernel_null_pointer);
        EXPECT_EQ(out, std::vector<uint16_t>(4, 0x4444));
    });
}

// Second samples from hand-worked predictions; the halving predictors read samples unsigned
// (a signed reading of 40000 and 30000 gives 2232 for predictor 7).
TEST_F(Reconstruct, PredictorCases)
{
    struct Case {
        int predictor;
        uint16_t above[2], diff[2], first, second;
    };
    const Case cases[] = {
        {7, {3, 4}, {0, 0}, 3, 3},                   // Ra 3, Rb 4
        {5, {10, 7}, {0, 0}, 10, 8},                 // Rb - Rc = -3 adds -2 to Ra
        {2, {10, 7}, {0xFFFF, 0xFFFF}, 9, 6},        // 0xFFFF subtracts 1
        {7, {40000, 30000}, {0, 0}, 40000, 35000},   // Ra 40000, Rb 30000
        {5, {30000, 40000}, {10000, 0}, 40000, 45000},
        {6, {30000, 33000}, {10000, 0}, 40000, 38000},
    };
    for_each_level(0, [&](int level) {
        auto f = dispatch_entry<dispatch_table_lossless_reconstruct_row>(level);
        for (const Case& c : cases) {
            uint16_t out[2] = {};
            ASSERT_EQ(f(c.diff, c.above, out, 2, c.predictor), kernel_ok);
            EXPECT_EQ(out[0], c.first) << c.predictor;
            EXPECT_EQ(out[1], c.second) << c.predictor;
        }
        uint16_t out[2] = {0x4444, 0x4444};
        const uint16_t zero[2] = {};
        EXPECT_EQ(f(zero, zero, out, 2, 0), kernel_out_of_range);
        EXPECT_EQ(f(zero, zero, out, 2, 8), kernel_out_of_range);
        EXPECT_EQ(f(zero, zero, out, 0, 8), kernel_size_below_one);
        EXPECT_EQ(f(zero, nullptr, out, 0, 8), kernel_null_pointer);
        EXPECT_EQ(out[0], 0x4444);
        EXPECT_EQ(out[1], 0x4444);
    });
}

TEST_F(Reconstruct, RandomRowsEqualT81AtEveryLevelAndInPlace)
{
    std::mt19937 rng(24);
    for (int samples : {1, 2, 9, 10, 37, 100}) {
        std::vector<uint16_t> diff(static_cast<size_t>(samples)), above(static_cast<size_t>(samples));
        for (auto& v : diff)
            v = uint16_t(rng());
        for (auto& v : above)
            v = uint16_t(rng());
        for_each_level(0, [&](int level) {
            for (int p = 1; p <= 7; ++p) {
                const std::vector<uint16_t> want = reference_row(diff, above, p);
                std::vector<uint16_t> out(static_cast<size_t>(samples));
                ASSERT_EQ(dispatch_entry<dispatch_table_lossless_reconstruct_row>(level)(diff.data(), above.data(),
                                                                                         out.data(), samples, p),
                          kernel_ok);
                EXPECT_EQ(out, want) << "predictor " << p;
                std::vector<uint16_t> in_place = diff;
                ASSERT_EQ(dispatch_entry<dispatch_table_lossless_reconstruct_row>(level)(in_place.data(), above.data(),
                                                                                         in_place.data(), samples, p),
                          kernel_ok);
                EXPECT_EQ(in_place, want) << "predictor " << p << " in place";
            }
            std::vector<uint16_t> first(static_cast<size_t>(samples)), in_place = diff;
            std::vector<uint16_t> want(static_cast<size_t>(samples));
            want[0] = uint16_t(diff[0] + 2048);
            for (size_t x = 1; x < want.size(); ++x)
                want[x] = uint16_t(want[x - 1] + diff[x]);
            auto f = dispatch_entry<dispatch_table_lossless_reconstruct_first_row>(level);
            ASSERT_EQ(f(diff.data(), first.data(), samples, 12, 0), kernel_ok);
            ASSERT_EQ(f(in_place.data(), in_place.data(), samples, 12, 0), kernel_ok);
            EXPECT_EQ(first, want);
            EXPECT_EQ(in_place, want);
        });
    }
}

// ---- dcmcjpeg streams ----

struct LosslessDecode {
    std::vector<uint16_t> diffs, samples;
};

LosslessDecode decode_lossless(int level, const TestJpeg& j)
{
    LosslessDecode out;
    EXPECT_EQ(j.components.size(), 1u);
    EXPECT_EQ(j.restart_interval, 0);
    const size_t w = size_t(j.width);
    HuffDecodeSpec spec;
    const TestHuffTable& t = j.dc_tables.at(j.scan[0].dc);
    EXPECT_EQ(dispatch_entry<dispatch_table_huff_decode_spec_init>(level)(t.counts, t.values.data(), &spec), kernel_ok);
    const HuffDecodeSpec* specs[1] = {&spec};
    std::vector<uint8_t> data = j.data;
    HuffDecodeState st = cleared_state();
    int32_t pos = 0;
    uint32_t marker = 0;
    std::vector<uint16_t> diff(w), prev(w), row(w);
    uint16_t* rows[1] = {diff.data()};
    for (int y = 0; y < j.height; ++y) {
        EXPECT_EQ(dispatch_entry<dispatch_table_huff_decode_lossless_row>(level)(
                      data.data(), int32_t(data.size()), &pos, rows, j.width, 1, &marker, specs, &st),
                  kernel_ok);
        out.diffs.insert(out.diffs.end(), diff.begin(), diff.end());
        const kernel_status r = y == 0 ? dispatch_entry<dispatch_table_lossless_reconstruct_first_row>(level)(
                                             diff.data(), row.data(), j.width, j.precision, j.al)
                                       : dispatch_entry<dispatch_table_lossless_reconstruct_row>(level)(
                                             diff.data(), prev.data(), row.data(), j.width, j.ss);
        EXPECT_EQ(r, kernel_ok);
        out.samples.insert(out.samples.end(), row.begin(), row.end());
        prev = row;
    }
    return out;
}

class LosslessStream : public KernelTest, public ::testing::WithParamInterface<const char*> {};

// The image that dcmdjpeg and gdcmconv both decode from every stream (see the fixture script).
TEST_P(LosslessStream, EveryLevelGivesThePeersRows)
{
    const TestJpeg j = parse_test_jpeg(read_test_file(GetParam()));
    ASSERT_EQ(j.sof, 0xC3);
    ASSERT_EQ(j.precision, 16);
    const std::vector<uint8_t> raw = read_test_file("gradient16.u16");
    ASSERT_EQ(raw.size(), size_t(j.width) * size_t(j.height) * 2);
    std::vector<uint16_t> want(raw.size() / 2);
    for (size_t i = 0; i < want.size(); ++i)
        want[i] = uint16_t(raw[2 * i] | raw[2 * i + 1] << 8);
    LosslessDecode base;
    for_each_level(0, [&](int level) {
        const LosslessDecode got = decode_lossless(level, j);
        EXPECT_EQ(got.samples, want);
        if (level == 0)
            base = got;
        else
            EXPECT_EQ(got.diffs, base.diffs);
    });
    // The halving predictors need the unsigned reading here: the signed one goes wrong.
    if (j.ss >= 5) {
        const size_t w = size_t(j.width);
        size_t wrong = 0;
        for (size_t y = 1; y < size_t(j.height); ++y)
            for (size_t x = 1; x < w; ++x) {
                const int32_t ra = int16_t(want[y * w + x - 1]), rb = int16_t(want[(y - 1) * w + x]),
                              rc = int16_t(want[(y - 1) * w + x - 1]);
                const int32_t p = j.ss == 5   ? ra + ((rb - rc) >> 1)
                                  : j.ss == 6 ? rb + ((ra - rc) >> 1)
                                              : (ra + rb) >> 1;
                wrong += uint16_t(p) !=
                         t81_prediction(j.ss, want[y * w + x - 1], want[(y - 1) * w + x], want[(y - 1) * w + x - 1]);
            }
        EXPECT_GT(wrong, 0u);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// A thread whose memo could not be had decodes the same differences through the general path.
TEST_P(LosslessStream, RefusedMemoDecodesTheSameThroughTheGeneralPath)
{
    const TestJpeg j = parse_test_jpeg(read_test_file(GetParam()));
    int refused = 0;
    for_each_level(1, [&](int level) {
        const LosslessDecode with = decode_lossless(level, j);
        LosslessDecode without;
        refused += run_with_memo_refused([&] { without = decode_lossless(level, j); });
        EXPECT_EQ(with.diffs, without.diffs);
        EXPECT_EQ(with.samples, without.samples);
    });
    EXPECT_GT(refused, 0);
}
#endif

INSTANTIATE_TEST_SUITE_P(Dcmcjpeg, LosslessStream,
                         ::testing::Values("lossless_e1.jpg", "lossless_sv1.jpg", "lossless_sv2.jpg",
                                           "lossless_sv3.jpg", "lossless_sv4.jpg", "lossless_sv5.jpg",
                                           "lossless_sv6.jpg", "lossless_sv7.jpg"));

}   // namespace
