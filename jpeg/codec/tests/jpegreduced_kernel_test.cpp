#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>

#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "jpegtestsupport.h"
#include "processor/kernel_dispatch.h"

namespace {

struct ScaledRows {
    std::vector<uint8_t> pixels;
    uint32_t rows = 0;
    uint32_t row_bytes = 0;
    bool kernel_entropy = false;
};

// Rows until the first failure; a line count below the height keeps the buffered decoder.
ScaledRows DecodeScaled(const Bytes& bytes, uint32_t scale, uint32_t line_count, int32_t color)
{
    TestHeap heap;
    ScaledRows result;
    jpeg_decoder* d = OpenBytes(bytes, &heap);
    if (jpeg_read_header(d, color, static_cast<uint32_t>(bytes.size()), nullptr) >= 1 &&
        jpeg_set_scale(d, scale) >= 1 && (line_count == 0 || jpeg_set_line_count(d, line_count) >= 1) &&
        jpeg_start_decode(d) >= 1) {
        result.kernel_entropy = d->direct != nullptr;
        result.row_bytes = jpeg_width(d) * static_cast<uint32_t>(jpeg_color_code_channels(jpeg_output_color_code(d)));
        result.pixels.assign(static_cast<size_t>(result.row_bytes) * jpeg_height(d), 0);
        while (result.rows < jpeg_height(d) &&
               jpeg_decode_row(d, result.pixels.data() + static_cast<size_t>(result.row_bytes) * result.rows) >= 1) {
            ++result.rows;
        }
    }
    jpeg_decoder_destroy(d);
    return result;
}

}   // namespace

// Reduced sizes through the kernels' entropy decoder give, sample for sample, what the codec's own
// buffered decoder gives, at the machine's level and every level below: every layout, partial MCUs at
// both edges, with and without restart intervals.
TEST(ReducedKernelPath, EqualsTheBufferedDecoderAtEveryLevel)
{
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    LevelGuard guard;
    const int32_t machine = guard.saved;
    struct Layout {
        int components;
        uint8_t luma;
    };
    const Layout layouts[] = {{1, 0x11}, {3, 0x22}, {3, 0x21}, {3, 0x11}, {3, 0x41}, {3, 0x12}, {4, 0x11}};
    for (const Layout& l : layouts) {
        for (int restart : {0, 3}) {
            PeerOptions o;
            o.width = 83;
            o.height = 61;
            o.components = l.components;
            o.sampling[0] = l.luma;
            o.restart_mcus = restart;
            const Bytes bytes = PeerEncodeBaseline(o, Picture(o.width, o.height, o.components));
            const int32_t color = l.components == 4 ? JPEG_COLOR_CMYK : JPEG_COLOR_NONE;
            for (uint32_t scale : {2u, 4u, 8u}) {
                const std::string name = std::to_string(l.components) + "/" + std::to_string(l.luma) + " restart " +
                                         std::to_string(restart) + " 1/" + std::to_string(scale);
                dispatch_set_level(machine);
                const ScaledRows kernel = DecodeScaled(bytes, scale, 0, color);
                const ScaledRows buffered = DecodeScaled(bytes, scale, static_cast<uint32_t>(o.height) - 1, color);
                // Every lower level too: each picks its own bodies at the start.
                for (int32_t level = 0; level < machine; ++level) {
                    dispatch_set_level(level);
                    const ScaledRows lower = DecodeScaled(bytes, scale, 0, color);
                    EXPECT_EQ(lower.pixels, kernel.pixels) << name << " level " << level;
                }
                ASSERT_TRUE(kernel.kernel_entropy) << name;
                ASSERT_FALSE(buffered.kernel_entropy) << name;
                ASSERT_EQ(kernel.rows, (static_cast<uint32_t>(o.height) + scale / 2) / scale) << name;
                ASSERT_GE(buffered.rows, kernel.rows / 2) << name;
                const size_t common = static_cast<size_t>(buffered.rows) * buffered.row_bytes;
                EXPECT_EQ(std::memcmp(buffered.pixels.data(), kernel.pixels.data(), common), 0) << name;
            }
        }
    }
}

// Blocks with no AC value (flat tiles, from black to white, among noisy ones) at 1/2, 1/4 and
// 1/8: the same samples at the machine's level, at level 0 and from the buffered decoder, and
// within 2 of libjpeg-turbo's; with every quantiser raised to 255 their DC values reach far past
// the range limits.
TEST(ReducedKernelPath, FlatBlocksEqualAtEveryLevel)
{
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    LevelGuard guard;
    const int32_t machine = guard.saved;
    for (int components : {1, 3}) {
        PeerOptions o;
        o.width = 96;
        o.height = 80;
        o.components = components;
        o.sampling[0] = components == 1 ? 0x11 : 0x22;
        std::vector<uint8_t> pixels(static_cast<size_t>(o.width) * o.height * components);
        uint32_t noise = 7;
        for (int y = 0; y < o.height; ++y) {
            for (int x = 0; x < o.width; ++x) {
                const int tile = (y / 16) * (o.width / 16) + x / 16;
                for (int c = 0; c < components; ++c) {
                    noise = noise * 1103515245u + 12345u;
                    const int flat = (tile * 53 + c * 97) % 256;
                    const int value = tile % 5 == 4   ? flat + static_cast<int>(noise >> 27) - 16
                                      : tile % 7 == 0 ? (tile / 7 % 2 == 0 ? 0 : 255)
                                                      : flat;
                    pixels[(static_cast<size_t>(y) * o.width + x) * components + c] =
                        static_cast<uint8_t>(value < 0     ? 0
                                             : value > 255 ? 255
                                                           : value);
                }
            }
        }
        for (int quality : {100, 75, 20, 0}) {
            o.quality = quality == 0 ? 50 : quality;
            Bytes bytes = PeerEncodeBaseline(o, pixels);
            if (quality == 0) {
                // Every quantiser 255.
                for (size_t i = 0; i + 4 < bytes.size() && !(bytes[i] == 0xFF && bytes[i + 1] == 0xDA); ++i) {
                    if (bytes[i] != 0xFF || bytes[i + 1] != 0xDB) {
                        continue;
                    }
                    const size_t length = static_cast<size_t>(bytes[i + 2]) << 8 | bytes[i + 3];
                    for (size_t t = i + 4; t + 65 <= i + 2 + length; t += 65) {
                        ASSERT_EQ(bytes[t] >> 4, 0);
                        std::memset(&bytes[t + 1], 255, 64);
                    }
                }
            }
            for (uint32_t scale : {2u, 4u, 8u}) {
                const std::string name =
                    std::to_string(components) + " q" + std::to_string(quality) + " 1/" + std::to_string(scale);
                dispatch_set_level(machine);
                const ScaledRows kernel = DecodeScaled(bytes, scale, 0, JPEG_COLOR_NONE);
                const ScaledRows buffered =
                    DecodeScaled(bytes, scale, static_cast<uint32_t>(o.height) - 1, JPEG_COLOR_NONE);
                dispatch_set_level(0);
                const ScaledRows plain = DecodeScaled(bytes, scale, 0, JPEG_COLOR_NONE);
                ASSERT_TRUE(kernel.kernel_entropy) << name;
                ASSERT_EQ(kernel.rows, static_cast<uint32_t>(o.height) / scale) << name;
                EXPECT_EQ(plain.pixels, kernel.pixels) << name;
                const size_t common = static_cast<size_t>(buffered.rows) * buffered.row_bytes;
                ASSERT_GT(common, 0u) << name;
                EXPECT_EQ(std::memcmp(buffered.pixels.data(), kernel.pixels.data(), common), 0) << name;
                if (quality == 0) {
                    continue;
                }
                int w = 0;
                int h = 0;
                const std::vector<uint8_t> peer = PeerDecodeScaled(bytes, static_cast<int>(scale), &w, &h);
                ASSERT_EQ(peer.size(), kernel.pixels.size()) << name;
                int worst = 0;
                for (size_t i = 0; i < peer.size(); ++i) {
                    worst = std::max(worst, std::abs(peer[i] - kernel.pixels[i]));
                }
                EXPECT_LE(worst, 2) << name;
            }
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The vector 4 x 4 and 2 x 2 transforms and the AVX2 full-size ones against the plain ones, over
// sparse blocks (each of the plain bodies' shortcuts) and full 32-bit range, where products and
// sums wrap; their 16-bit forms against widening first.
TEST(ReducedKernelPath, VectorBodiesEqualThePlainOnes)
{
    if (!__builtin_cpu_supports("sse4.1")) {
        GTEST_SKIP() << "no SSE4.1";
    }
    const bool avx2 = __builtin_cpu_supports("avx2");
    using Body = void (*)(jpeg_decoder*, jpeg_block_entry*, int32_t);
    using WordsBody = void (*)(const int16_t*, const int32_t*, int32_t*);
    struct Pair {
        Body plain;
        Body vector;   // null: none at SSE4.1
        Body wide_vector;
        WordsBody words;
        WordsBody wide;
        int n;
    };
    const Pair pairs[] = {
        {&jpeg_idct_4x4, &jpeg_idct_4x4_sse41, nullptr, &jpeg_idct_4x4_words_sse41, &jpeg_idct_4x4_words_avx2, 4},
        {&jpeg_idct_2x2, &jpeg_idct_2x2_sse41, nullptr, &jpeg_idct_2x2_words_sse41, &jpeg_idct_2x2_words_avx2, 2},
        {&jpeg_idct_8x8_fast, nullptr, &jpeg_idct_8x8_fast_avx2, nullptr, &jpeg_idct_8x8_words_avx2, 8},
        {&jpeg_idct_8x8_dequant, nullptr, &jpeg_idct_8x8_dequant_avx2, nullptr, nullptr, 8}};
    jpeg_multiplier_table table{};
    jpeg_decoder decoder{};
    decoder.multipliers = &table;
    std::mt19937 random(11);
    for (int trial = 0; trial < 4000; ++trial) {
        int32_t block[64] = {};
        int16_t words[64] = {};
        int32_t multiplier[64];
        const int kind = trial % 6;
        for (int k = 0; k < 64; ++k) {
            multiplier[k] = kind >= 4 ? static_cast<int32_t>(random()) : static_cast<int32_t>(random() % 40000) + 1;
            const bool kept = kind == 0   ? k < 8
                              : kind == 1 ? k % 8 == 0
                              : kind == 2 ? k == 0 || random() % 6 == 0
                                          : true;
            if (!kept) {
                continue;
            }
            const uint32_t r = random();
            block[k] = kind >= 4 ? static_cast<int32_t>(r) : static_cast<int32_t>(r % 4096) - 2048;
            if (kind == 5) {
                block[k] = static_cast<int32_t>(r % 2) * (1 << 18);
            }
            words[k] = static_cast<int16_t>(kind == 5 ? r % 3 : kind >= 4 ? r : r % 2048);
        }
        std::memcpy(table.values, multiplier, sizeof multiplier);
        for (const Pair& p : pairs) {
            const auto same = [&](const int32_t* a, const int32_t* b) {
                for (int r = 0; r < p.n; ++r) {
                    if (std::memcmp(a + 8 * r, b + 8 * r, 4 * static_cast<size_t>(p.n)) != 0) {
                        return false;
                    }
                }
                return true;
            };
            int32_t plain[64];
            int32_t vector[64];
            jpeg_block_entry a{plain, 0, 0};
            jpeg_block_entry b{vector, 0, 0};
            std::memcpy(plain, block, sizeof plain);
            p.plain(&decoder, &a, 0);
            for (const Body body : {p.vector, avx2 ? p.wide_vector : nullptr}) {
                if (body != nullptr) {
                    std::memcpy(vector, block, sizeof vector);
                    body(&decoder, &b, 0);
                    ASSERT_TRUE(same(plain, vector)) << trial << " " << p.n;
                }
            }
            // From 16-bit values, in place as the row decoder calls it.
            for (int k = 0; k < 64; ++k) {
                plain[k] = static_cast<int32_t>(static_cast<uint32_t>(words[k]) * static_cast<uint32_t>(multiplier[k]));
            }
            p.plain(&decoder, &a, 0);
            for (const WordsBody body : {p.words, avx2 ? p.wide : nullptr}) {
                if (body != nullptr) {
                    std::memcpy(vector, words, sizeof words);
                    body(reinterpret_cast<const int16_t*>(vector), multiplier, vector);
                    ASSERT_TRUE(same(plain, vector)) << trial << " " << p.n << " words";
                }
            }
        }
    }
    std::mt19937 values(5);
    int16_t words[64];
    int32_t multiplier[64];
    for (int k = 0; k < 64; ++k) {
        words[k] = static_cast<int16_t>(values());
        multiplier[k] = static_cast<int32_t>(values());
    }
    int32_t wide[64];
    jpeg_widen_block_sse41(words, multiplier, wide);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(wide[k], static_cast<int32_t>(static_cast<uint32_t>(words[k]) * static_cast<uint32_t>(multiplier[k])))
            << k;
    }
    // In place, as the decode unit calls it.
    int32_t overlay[64];
    std::memcpy(overlay, words, sizeof words);
    jpeg_widen_block_sse41(reinterpret_cast<const int16_t*>(overlay), multiplier, overlay);
    EXPECT_EQ(std::memcmp(overlay, wide, sizeof wide), 0);
}

#endif

// The small stores, plain and vector, map every 32-bit value as the range table does, and write
// only n x n.
TEST(ReducedKernelPath, SmallStoresFollowTheRangeTable)
{
    jpeg_range_table_create(nullptr, nullptr);
    jpeg_decoder decoder{};
    ASSERT_EQ(jpeg_range_table_attach(&decoder), JPEG_OK);
    std::vector<void (*)(const int32_t*, uint8_t*, int32_t, int32_t)> bodies{&jpeg_store_block_small};
#if defined(__x86_64__) || defined(__i386__)
    bodies.push_back(&jpeg_store_block_small_sse2);
#endif
    std::mt19937 random(3);
    for (int trial = 0; trial < 2000; ++trial) {
        int32_t values[64];
        for (int32_t& v : values) {
            const uint32_t r = random();
            v = trial % 2 == 0 ? static_cast<int32_t>(r % 2400) - 1000 : static_cast<int32_t>(r);
        }
        for (int32_t n : {2, 4}) {
            for (size_t body = 0; body < bodies.size(); ++body) {
                uint8_t out[8 * 6];
                std::memset(out, 0xA5, sizeof out);
                bodies[body](values, out, 6, n);
                for (int32_t y = 0; y < 8; ++y) {
                    for (int32_t x = 0; x < 6; ++x) {
                        const uint8_t expected =
                            y < n && x < n ? jpeg_range_sample(decoder.range_limit, values[8 * y + x]) : 0xA5;
                        ASSERT_EQ(out[6 * y + x], expected)
                            << trial << " " << n << " " << y << "," << x << " body " << body;
                    }
                }
            }
        }
    }
}

// The 4 x 4 and 2 x 2 transforms straight to samples, plain and vector, give what widening, the
// plain transform and the range table give, over sparse blocks and wrapping products, and write
// only n x n samples; so do the shorter bodies for values at natural 0, 1 and 8 only.
TEST(ReducedKernelPath, TransformsToSamplesEqualTransformThenRangeTable)
{
    jpeg_range_table_create(nullptr, nullptr);
    jpeg_decoder decoder{};
    ASSERT_EQ(jpeg_range_table_attach(&decoder), JPEG_OK);
    using Body = void (*)(const int16_t*, const int32_t*, uint8_t*, int32_t);
    struct Bodies {
        void (*transform)(jpeg_decoder*, jpeg_block_entry*, int32_t);
        int32_t n;
        std::vector<Body> bodies;
        std::vector<Body> low;   // for values at natural 0, 1 and 8 only
    };
    std::vector<Bodies> all{{&jpeg_idct_4x4, 4, {&jpeg_idct_4x4_words_store}, {&jpeg_idct_4x4_low_store}},
                            {&jpeg_idct_2x2, 2, {&jpeg_idct_2x2_words_store}, {&jpeg_idct_2x2_low_store}}};
#if defined(__x86_64__) || defined(__i386__)
    if (__builtin_cpu_supports("sse4.1")) {
        all[0].bodies.push_back(&jpeg_idct_4x4_words_store_sse41);
        all[1].bodies.push_back(&jpeg_idct_2x2_words_store_sse41);
        all[0].low.push_back(&jpeg_idct_4x4_low_store_sse41);
        all[1].low.push_back(&jpeg_idct_2x2_low_store_sse41);
    }
    if (__builtin_cpu_supports("avx2")) {
        all[0].bodies.push_back(&jpeg_idct_4x4_words_store_avx2);
        all[1].bodies.push_back(&jpeg_idct_2x2_words_store_avx2);
    }
#endif
    std::mt19937 random(17);
    for (int trial = 0; trial < 3000; ++trial) {
        int16_t words[64] = {};
        int32_t multiplier[64];
        const int kind = trial % 8;
        const bool wide = kind == 4 || kind == 6;
        for (int k = 0; k < 64; ++k) {
            multiplier[k] = wide ? static_cast<int32_t>(random()) : static_cast<int32_t>(random() % 256) + 1;
            const bool low = (k == 0 || k == 1 || k == 8) && random() % 4 != 0;
            const bool kept = kind == 0   ? k < 8
                              : kind == 1 ? k % 8 == 0
                              : kind == 2 ? random() % 6 == 0
                              : kind >= 5 ? low
                                          : true;
            if (kept) {
                words[k] = static_cast<int16_t>(kind == 3 || wide ? random() : random() % 512 - 256);
            }
        }
        if (kind == 7) {
            // Products that wrap to 0 after the first pass's * 4, and to 0 at once.
            words[1] = 16384;
            multiplier[1] = 65536;
            words[8] = static_cast<int16_t>(random() % 2 == 0 ? 16384 : -16384);
            multiplier[8] = 1 << 18;
        }
        for (const Bodies& b : all) {
            int32_t values[64];
            jpeg_widen_block(words, multiplier, values);
            jpeg_block_entry entry{values, 0, 0};
            b.transform(&decoder, &entry, 0);
            std::vector<Body> bodies = b.bodies;
            if (kind >= 5) {
                bodies.insert(bodies.end(), b.low.begin(), b.low.end());
            }
            for (size_t i = 0; i < bodies.size(); ++i) {
                uint8_t out[8 * 6];
                std::memset(out, 0xA5, sizeof out);
                bodies[i](words, multiplier, out, 6);
                for (int32_t y = 0; y < 8; ++y) {
                    for (int32_t x = 0; x < 6; ++x) {
                        const uint8_t expected =
                            y < b.n && x < b.n ? jpeg_range_sample(decoder.range_limit, values[8 * y + x]) : 0xA5;
                        ASSERT_EQ(out[6 * y + x], expected)
                            << trial << " n " << b.n << " " << y << "," << x << " body " << i;
                    }
                }
            }
        }
    }
}

// The plain widening wraps its products and may write over the 16-bit values it reads, as the
// decode unit calls it; the DC form touches nothing but the first value.
TEST(ReducedKernelPath, PlainWideningWrapsInPlace)
{
    std::mt19937 values(9);
    int16_t words[64];
    int32_t multiplier[64];
    for (int k = 0; k < 64; ++k) {
        words[k] = static_cast<int16_t>(values());
        multiplier[k] = static_cast<int32_t>(values());
    }
    int32_t overlay[64];
    std::memset(overlay, 0x5A, sizeof overlay);
    std::memcpy(overlay, words, sizeof words);
    jpeg_widen_block(reinterpret_cast<const int16_t*>(overlay), multiplier, overlay);
    for (int k = 0; k < 64; ++k) {
        ASSERT_EQ(overlay[k],
                  static_cast<int32_t>(static_cast<uint32_t>(words[k]) * static_cast<uint32_t>(multiplier[k])))
            << k;
    }
    std::memset(overlay, 0x5A, sizeof overlay);
    std::memcpy(overlay, words, sizeof words);
    int32_t before[64];
    std::memcpy(before, overlay, sizeof before);
    jpeg_widen_dc(reinterpret_cast<const int16_t*>(overlay), multiplier, overlay);
    EXPECT_EQ(overlay[0], static_cast<int32_t>(static_cast<uint32_t>(words[0]) * static_cast<uint32_t>(multiplier[0])));
    EXPECT_EQ(std::memcmp(overlay + 1, before + 1, sizeof before - sizeof before[0]), 0);
}
