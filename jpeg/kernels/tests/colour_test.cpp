#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "colour/colour_blocks.h"
#include "kernel_test_util.h"

namespace {

// The exhaustive colour sweep is sampled in unoptimised and sanitised builds.
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
constexpr uint32_t kColourStride = 1;
#else
constexpr uint32_t kColourStride = 61;
#endif

constexpr int16_t kCanary = 0x7F7F;

int64_t floor_div(int64_t a, int64_t b)
{
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

struct Weights {
    int64_t y[3], cb[3], cr[3];
};
constexpr Weights k14 = {{4899, 9617, 1868}, {-2764, -5428, 8192}, {8192, -6860, -1332}};
constexpr Weights k16 = {{19595, 38470, 7471}, {-11059, -21709, 32768}, {32768, -27439, -5329}};

int64_t dot(const int64_t* w, int64_t r, int64_t g, int64_t b)
{
    return w[0] * r + w[1] * g + w[2] * b;
}

// Closed forms. pixels = how many pixels the channel sums r, g, b hold (1, 2 or 4).
struct Ycc {
    int y, cb, cr;
};

Ycc rounding(int64_t r, int64_t g, int64_t b, int64_t pixels)
{
    const int64_t d = 16384 * pixels;
    return {static_cast<int>(floor_div(dot(k14.y, r, g, b) + d / 2, d) - 128),
            static_cast<int>(floor_div(dot(k14.cb, r, g, b) + d / 2, d)),
            static_cast<int>(floor_div(dot(k14.cr, r, g, b) + d / 2, d))};
}

Ycc truncating(int64_t r, int64_t g, int64_t b, int64_t pixels)
{
    const int64_t d = 65536 * pixels;
    return {static_cast<int>(floor_div(dot(k16.y, r, g, b), d) - 128),
            static_cast<int>(floor_div(dot(k16.cb, r, g, b), d)), static_cast<int>(floor_div(dot(k16.cr, r, g, b), d))};
}

template <int Table>
kernel_status call(int level, const uint8_t* src, int32_t step, int16_t* y, int16_t* cb, int16_t* cr)
{
    int16_t* blocks[3] = {y, cb, cr};
    return dispatch_entry<Table>(level)(src, step, blocks);
}

// Blocks of `values` 16-bit values with canaries on both sides, at a chosen byte offset off 16.
struct Out {
    explicit Out(int values, int offset = 0) : values_(values), offset_(offset) { raw_.assign(values + 64, kCanary); }
    int16_t* data() { return reinterpret_cast<int16_t*>(reinterpret_cast<uint8_t*>(aligned()) + offset_); }
    int16_t operator[](int i) { return data()[i]; }
    // Every value inside written, every canary outside intact.
    void expect_exactly_written()
    {
        const int16_t* base = aligned();
        const int first = offset_ / 2, last = first + values_;
        for (int i = 0; i < values_ + 32; ++i) {
            if (i >= first && i < last)
                EXPECT_NE(base[i], kCanary) << "value " << i - first << " not written";
            else
                EXPECT_EQ(base[i], kCanary) << "canary at " << i - first << " overwritten";
        }
    }

private:
    int16_t* aligned()
    {
        auto p = reinterpret_cast<uintptr_t>(raw_.data() + 8);
        return reinterpret_cast<int16_t*>((p + 15) & ~uintptr_t(15));
    }
    std::vector<int16_t> raw_;
    int values_, offset_;
};

std::vector<uint8_t> random_pixels(std::mt19937& rng, size_t n)
{
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

using Colour = KernelTest;

TEST_F(Colour, EveryColourThrough444MatchesItsClosedForm)
{
    for_each_level(0, [&](int level) {
        uint8_t pixels[8 * 24];
        Out y(64), cb(64), cr(64);
        uint64_t y_same = 0, y_up = 0, cb_same = 0, cr_same = 0, bad = 0;
        for (uint32_t first = 0; first < (1u << 24); first += 64 * kColourStride) {
            for (int i = 0; i < 64; ++i) {
                const uint32_t c = first + i;
                pixels[3 * i] = c >> 16, pixels[3 * i + 1] = (c >> 8) & 255, pixels[3 * i + 2] = c & 255;
            }
            ASSERT_EQ(
                (call<dispatch_table_ycbcr_from_rgb_444_blocks>(level, pixels, 24, y.data(), cb.data(), cr.data())),
                kernel_ok);
            for (int i = 0; i < 64; ++i) {
                const int r = pixels[3 * i], g = pixels[3 * i + 1], b = pixels[3 * i + 2];
                const Ycc t = truncating(r, g, b, 1);
                const Ycc want = level == 0 ? t : rounding(r, g, b, 1);
                if (y[i] != want.y || cb[i] != want.cb || cr[i] != want.cr) {
                    if (++bad < 5)
                        ADD_FAILURE() << "(" << r << "," << g << "," << b << ") gives " << y[i] << " " << cb[i] << " "
                                      << cr[i];
                    continue;
                }
                y_same += want.y == t.y;
                y_up += want.y == t.y + 1;
                cb_same += want.cb == t.cb;
                cr_same += want.cr == t.cr;
                // No other difference: Y, Cb and Cr equal level 0's or exceed them by one.
                for (const auto& [got, low] : {std::pair{want.y, t.y}, {want.cb, t.cb}, {want.cr, t.cr}})
                    if (got != low && got != low + 1)
                        ++bad;
            }
        }
        EXPECT_EQ(bad, 0u);
        if (kColourStride == 1 && level > 0) {
            EXPECT_EQ(y_same, 8388253u);
            EXPECT_EQ(y_up, 8388963u);
            EXPECT_EQ(cb_same, 8388608u);
            EXPECT_EQ(cr_same, 8388608u);
        }
    });
}

TEST_F(Colour, NamedColours)
{
    auto one = [](int level, uint8_t r, uint8_t g, uint8_t b) {
        uint8_t px[8 * 24];
        for (int i = 0; i < 64; ++i)
            px[3 * i] = r, px[3 * i + 1] = g, px[3 * i + 2] = b;
        Out y(64), cb(64), cr(64);
        EXPECT_EQ((call<dispatch_table_ycbcr_from_rgb_444_blocks>(level, px, 24, y.data(), cb.data(), cr.data())), 0);
        return Ycc{y[63], cb[63], cr[63]};
    };
    for_each_level(0, [&](int level) {
        const bool plain = level == 0;
        const Ycc blue = one(level, 0, 0, 255), red = one(level, 255, 0, 0), two = one(level, 2, 0, 0);
        EXPECT_EQ(blue.y, -99);
        EXPECT_EQ(blue.cb, plain ? 127 : 128);
        EXPECT_EQ(blue.cr, -21);
        EXPECT_EQ(red.y, -52);
        EXPECT_EQ(red.cb, plain ? -44 : -43);
        EXPECT_EQ(red.cr, plain ? 127 : 128);
        EXPECT_EQ(two.y, plain ? -128 : -127);
        EXPECT_EQ(two.cb, plain ? -1 : 0);   // floor, not division towards zero
        const Ycc grey = one(level, 77, 77, 77);
        EXPECT_EQ(grey.y, 77 - 128);
        EXPECT_EQ(grey.cb, 0);
        EXPECT_EQ(grey.cr, 0);

        // 4:2:2: blue beside black in every pair.
        uint8_t px[8 * 48] = {};
        for (int r = 0; r < 8; ++r)
            for (int j = 0; j < 8; ++j)
                px[48 * r + 6 * j + 2] = 255;
        Out y(128), cb(64), cr(64);
        EXPECT_EQ((call<dispatch_table_ycbcr_from_rgb_422_blocks>(level, px, 48, y.data(), cb.data(), cr.data())), 0);
        EXPECT_EQ(cb[9], plain ? 63 : 64);
        EXPECT_EQ(cr[9], plain ? -11 : -10);

        // 4:2:0 green, Y run aligned.
        uint8_t green[16 * 48] = {};
        for (int i = 0; i < 256; ++i)
            green[3 * i + 1] = 255;
        Out y4(256), cb4(64), cr4(64);
        EXPECT_EQ((call<dispatch_table_ycbcr_from_rgb_420_blocks>(level, green, 48, y4.data(), cb4.data(), cr4.data())),
                  0);
        EXPECT_EQ(y4[200], plain ? 21 : 22);
        EXPECT_EQ(cb4[20], plain ? -85 : -84);
        EXPECT_EQ(cr4[20], -107);
    });
}

// Random MCUs of every sampling against the closed forms, with the Y run at byte offsets 0, 2
// and 8 off 16 and row steps from overlapping to wide.
TEST_F(Colour, RandomMcusMatchTheClosedForms)
{
    std::mt19937 rng(46);
    for_each_level(0, [&](int level) {
        for (int trial = 0; trial < 60; ++trial) {
            const int offset = std::array{0, 2, 8}[trial % 3];
            const int32_t step = std::array{48, 51, 100, 20}[trial % 4];
            const auto px = random_pixels(rng, 15 * size_t(step) + 48);
            // Levels 2, 4 and 5 keep the plain formula for a 4:2:0 Y run off 16 bytes.
            const bool wide = level == 2 || level == 4 || level == 5;
            const bool round420 = level != 0 && !(wide && offset != 0);
            auto form = [&](bool round, int64_t r, int64_t g, int64_t b, int64_t n) {
                return round ? rounding(r, g, b, n) : truncating(r, g, b, n);
            };
            auto at = [&](int row, int col, int k) { return int64_t(px[size_t(row) * step + 3 * col + k]); };

            Out y(128, offset), cb(64), cr(64);
            ASSERT_EQ((call<dispatch_table_ycbcr_from_rgb_422_blocks>(level, px.data(), step, y.data(), cb.data(),
                                                                      cr.data())),
                      0);
            for (int r = 0; r < 8; ++r)
                for (int c = 0; c < 16; ++c)
                    ASSERT_EQ(y[(c < 8 ? 0 : 56) + 8 * r + c],
                              form(level != 0, at(r, c, 0), at(r, c, 1), at(r, c, 2), 1).y);
            for (int r = 0; r < 8; ++r)
                for (int j = 0; j < 8; ++j) {
                    const Ycc w = form(level != 0, at(r, 2 * j, 0) + at(r, 2 * j + 1, 0),
                                       at(r, 2 * j, 1) + at(r, 2 * j + 1, 1), at(r, 2 * j, 2) + at(r, 2 * j + 1, 2), 2);
                    ASSERT_EQ(cb[8 * r + j], w.cb);
                    ASSERT_EQ(cr[8 * r + j], w.cr);
                }

            Out y4(256, offset), cb4(64), cr4(64);
            ASSERT_EQ((call<dispatch_table_ycbcr_from_rgb_420_blocks>(level, px.data(), step, y4.data(), cb4.data(),
                                                                      cr4.data())),
                      0);
            for (int r = 0; r < 16; ++r)
                for (int c = 0; c < 16; ++c) {
                    const int idx = (r < 8 ? 0 : 128) + (c < 8 ? 0 : 64) + 8 * (r & 7) + (c & 7);
                    ASSERT_EQ(y4[idx], form(round420, at(r, c, 0), at(r, c, 1), at(r, c, 2), 1).y) << r << "," << c;
                }
            for (int i = 0; i < 8; ++i)
                for (int j = 0; j < 8; ++j) {
                    int64_t s[3] = {};
                    for (int k = 0; k < 3; ++k)
                        s[k] = at(2 * i, 2 * j, k) + at(2 * i, 2 * j + 1, k) + at(2 * i + 1, 2 * j, k) +
                               at(2 * i + 1, 2 * j + 1, k);
                    const Ycc w = form(round420, s[0], s[1], s[2], 4);
                    ASSERT_EQ(cb4[8 * i + j], w.cb);
                    ASSERT_EQ(cr4[8 * i + j], w.cr);
                }
        }
    });
}

// Blocks from interleaved pixels: plain level shift and rounded-down averages at every level.
TEST_F(Colour, InterleavedMatchesTheClosedForms)
{
    std::mt19937 rng(7);
    for_each_level(0, [&](int level) {
        for (int trial = 0; trial < 40; ++trial) {
            const int32_t step = std::array{48, 49, 64, 30}[trial % 4];
            const int off = trial % 2 ? 8 : 0;
            auto px = random_pixels(rng, 15 * size_t(step) + 48);
            if (trial == 0) {
                // Pairs (0,1), (254,255) in row 0 of channel 1; quads (0,0,0,3), (255,255,255,254) of channel 2.
                px[1] = 0, px[4] = 1, px[7] = 254, px[10] = 255;
                px[2] = 0, px[5] = 0, px[step + 2] = 0, px[step + 5] = 3;
                px[8] = 255, px[11] = 255, px[step + 8] = 255, px[step + 11] = 254;
            }
            auto at = [&](int row, int col, int k) { return int(px[size_t(row) * step + 3 * col + k]); };

            Out a(64), b(64, off), c(64);
            ASSERT_EQ((call<dispatch_table_blocks_from_interleaved_444>(level, px.data(), step, a.data(), b.data(),
                                                                        c.data())),
                      0);
            for (int r = 0; r < 8; ++r)
                for (int col = 0; col < 8; ++col) {
                    ASSERT_EQ(a[8 * r + col], at(r, col, 0) - 128);
                    ASSERT_EQ(b[8 * r + col], at(r, col, 1) - 128);
                    ASSERT_EQ(c[8 * r + col], at(r, col, 2) - 128);
                }

            Out a2(128), b2(64, off), c2(64);
            ASSERT_EQ((call<dispatch_table_blocks_from_interleaved_422>(level, px.data(), step, a2.data(), b2.data(),
                                                                        c2.data())),
                      0);
            for (int r = 0; r < 8; ++r) {
                for (int col = 0; col < 16; ++col)
                    ASSERT_EQ(a2[(col < 8 ? 0 : 56) + 8 * r + col], at(r, col, 0) - 128);
                for (int j = 0; j < 8; ++j) {
                    ASSERT_EQ(b2[8 * r + j], (at(r, 2 * j, 1) + at(r, 2 * j + 1, 1)) / 2 - 128);
                    ASSERT_EQ(c2[8 * r + j], (at(r, 2 * j, 2) + at(r, 2 * j + 1, 2)) / 2 - 128);
                }
            }
            if (trial == 0) {
                EXPECT_EQ(b2[0], -128);
                EXPECT_EQ(b2[1], 126);
            }

            Out a4(256), b4(64, off), c4(64);
            ASSERT_EQ((call<dispatch_table_blocks_from_interleaved_420>(level, px.data(), step, a4.data(), b4.data(),
                                                                        c4.data())),
                      0);
            for (int r = 0; r < 16; ++r)
                for (int col = 0; col < 16; ++col)
                    ASSERT_EQ(a4[(r < 8 ? 0 : 128) + (col < 8 ? 0 : 64) + 8 * (r & 7) + (col & 7)],
                              at(r, col, 0) - 128);
            for (int i = 0; i < 8; ++i)
                for (int j = 0; j < 8; ++j)
                    for (int k = 1; k < 3; ++k) {
                        const int s = at(2 * i, 2 * j, k) + at(2 * i, 2 * j + 1, k) + at(2 * i + 1, 2 * j, k) +
                                      at(2 * i + 1, 2 * j + 1, k);
                        ASSERT_EQ((k == 1 ? b4 : c4)[8 * i + j], s / 4 - 128);
                    }
            if (trial == 0) {
                EXPECT_EQ(c4[0], -128);
                EXPECT_EQ(c4[1], 126);
            }
        }
    });
}

TEST_F(Colour, Interleaved420PixelPlacement)
{
    for_each_level(0, [&](int level) {
        uint8_t px[16 * 48];
        std::memset(px, 128, sizeof px);
        px[9 * 48 + 30] = 200;   // row 9, column 10, channel 0
        for (int dr = 0; dr < 2; ++dr)
            for (int dc = 0; dc < 2; ++dc)
                px[(8 + dr) * 48 + 3 * (10 + dc) + 1] = 0;   // its 2x2 of channel 1
        Out a(256), b(64), c(64);
        ASSERT_EQ((call<dispatch_table_blocks_from_interleaved_420>(level, px, 48, a.data(), b.data(), c.data())), 0);
        for (int i = 0; i < 256; ++i)
            EXPECT_EQ(a[i], i == 202 ? 72 : 0) << i;
        for (int i = 0; i < 64; ++i)
            EXPECT_EQ(b[i], i == 37 ? -128 : 0) << i;
    });
}

// Each table writes exactly its blocks and checks its arguments in order, writing nothing on failure.
template <int Table>
void check_table(int level, int y_values, int rows)
{
    std::vector<uint8_t> px(rows * 48, 90);
    Out y(y_values), cb(64), cr(64);
    ASSERT_EQ((call<Table>(level, px.data(), 48, y.data(), cb.data(), cr.data())), kernel_ok);
    y.expect_exactly_written();
    cb.expect_exactly_written();
    cr.expect_exactly_written();

    Out y2(y_values), cb2(64), cr2(64);
    int16_t* blocks[3] = {y2.data(), cb2.data(), cr2.data()};
    int16_t* null_cb[3] = {y2.data(), nullptr, cr2.data()};
    const auto entry = dispatch_entry<Table>(level);
    EXPECT_EQ(entry(nullptr, 0, nullptr), kernel_null_pointer);
    EXPECT_EQ(entry(px.data(), 0, nullptr), kernel_null_pointer);
    EXPECT_EQ(entry(px.data(), 0, null_cb), kernel_step_below_one);
    EXPECT_EQ(entry(px.data(), -48, blocks), kernel_step_below_one);
    EXPECT_EQ(entry(px.data(), 48, null_cb), kernel_null_pointer);
    for (int i = 0; i < y_values; ++i)
        ASSERT_EQ(y2[i], kCanary);
}

TEST_F(Colour, TablesWriteExactlyTheirBlocksAndCheckInOrder)
{
    for_each_level(0, [&](int level) {
        check_table<dispatch_table_ycbcr_from_rgb_444_blocks>(level, 64, 8);
        check_table<dispatch_table_ycbcr_from_rgb_422_blocks>(level, 128, 8);
        check_table<dispatch_table_ycbcr_from_rgb_420_blocks>(level, 256, 16);
        check_table<dispatch_table_blocks_from_interleaved_444>(level, 64, 8);
        check_table<dispatch_table_blocks_from_interleaved_422>(level, 128, 8);
        check_table<dispatch_table_blocks_from_interleaved_420>(level, 256, 16);
    });
}

// Rows of `width` bytes 8192 apart, each ending right before an unreadable page: no kernel reads
// past the last byte of a row.
template <int Table>
void run_guarded(int level, int rows, int width)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE)), step = 8192, size = step * size_t(rows);
    auto* base = static_cast<uint8_t*>(mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    for (int r = 0; r < rows; ++r)
        mprotect(base + r * step + step - page, page, PROT_NONE);
    uint8_t* first = base + step - page - width;
    for (int r = 0; r < rows; ++r)
        std::memset(first + r * step, 17 * r, size_t(width));
    Out y(256), cb(64), cr(64);
    EXPECT_EQ((call<Table>(level, first, int32_t(step), y.data(), cb.data(), cr.data())), kernel_ok);
    munmap(base, size);
}

TEST_F(Colour, NoKernelReadsPastItsRows)
{
    for_each_level(0, [&](int level) {
        run_guarded<dispatch_table_ycbcr_from_rgb_444_blocks>(level, 8, 24);
        run_guarded<dispatch_table_ycbcr_from_rgb_422_blocks>(level, 8, 48);
        run_guarded<dispatch_table_ycbcr_from_rgb_420_blocks>(level, 16, 48);
        run_guarded<dispatch_table_blocks_from_interleaved_444>(level, 8, 24);
        run_guarded<dispatch_table_blocks_from_interleaved_422>(level, 8, 48);
        run_guarded<dispatch_table_blocks_from_interleaved_420>(level, 16, 48);
    });
}

// 15 * srcStep passes 2^31 from 143,165,577 on: the rows must still be found.
TEST_F(Colour, RowStepsWhoseOffsetsPass32Bits)
{
    const int32_t step = 143165577 + 4096;
    const size_t span = size_t(step) * 16;
    auto* base = static_cast<uint8_t*>(
        mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    if (base == MAP_FAILED)
        GTEST_SKIP() << "no 2.3 GB of address space";
    std::mt19937 rng(15);
    const auto packed = random_pixels(rng, 16 * 48);
    for (int r = 0; r < 16; ++r)
        std::memcpy(base + size_t(r) * step, packed.data() + 48 * r, 48);
    for_each_level(0, [&](int level) {
        Out y1(256), c1(64), r1(64), y2(256), c2(64), r2(64);
        ASSERT_EQ((call<dispatch_table_ycbcr_from_rgb_420_blocks>(level, base, step, y1.data(), c1.data(), r1.data())),
                  0);
        ASSERT_EQ(
            (call<dispatch_table_ycbcr_from_rgb_420_blocks>(level, packed.data(), 48, y2.data(), c2.data(), r2.data())),
            0);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(y1[i], y2[i]);
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(c1[i], c2[i]);
        ASSERT_EQ(
            (call<dispatch_table_blocks_from_interleaved_420>(level, base, step, y1.data(), c1.data(), r1.data())), 0);
        ASSERT_EQ((call<dispatch_table_blocks_from_interleaved_420>(level, packed.data(), 48, y2.data(), c2.data(),
                                                                    r2.data())),
                  0);
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(y1[i], y2[i]);
        for (int i = 0; i < 64; ++i)
            ASSERT_EQ(r1[i], r2[i]);
    });
    munmap(base, span);
}

TEST_F(Colour, StubsRunTheTableEntryOfTheLevel)
{
    std::mt19937 rng(3);
    const auto px = random_pixels(rng, 16 * 48);
    for_each_level(0, [&](int level) {
        ASSERT_GE(dispatch_set_level(level), 0);
        using Stub = kernel_status (*)(const uint8_t*, int32_t, int16_t* const*);
        const std::pair<Stub, block_kernel_entry> pairs[] = {
            {&ycbcr_from_rgb_444_blocks, dispatch_entry<dispatch_table_ycbcr_from_rgb_444_blocks>(level)},
            {&ycbcr_from_rgb_422_blocks, dispatch_entry<dispatch_table_ycbcr_from_rgb_422_blocks>(level)},
            {&ycbcr_from_rgb_420_blocks, dispatch_entry<dispatch_table_ycbcr_from_rgb_420_blocks>(level)},
            {&blocks_from_interleaved_444, dispatch_entry<dispatch_table_blocks_from_interleaved_444>(level)},
            {&blocks_from_interleaved_422, dispatch_entry<dispatch_table_blocks_from_interleaved_422>(level)},
            {&blocks_from_interleaved_420, dispatch_entry<dispatch_table_blocks_from_interleaved_420>(level)},
        };
        for (const auto& [stub, entry] : pairs) {
            Out y1(256), c1(64), r1(64), y2(256), c2(64), r2(64);
            int16_t* b1[3] = {y1.data(), c1.data(), r1.data()};
            int16_t* b2[3] = {y2.data(), c2.data(), r2.data()};
            ASSERT_EQ(stub(px.data(), 48, b1), 0);
            ASSERT_EQ(entry(px.data(), 48, b2), 0);
            for (int i = 0; i < 256; ++i)
                ASSERT_EQ(y1[i], y2[i]);
            for (int i = 0; i < 64; ++i) {
                ASSERT_EQ(c1[i], c2[i]);
                ASSERT_EQ(r1[i], r2[i]);
            }
        }
    });
}

}   // namespace
