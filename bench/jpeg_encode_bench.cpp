// Encoder block kernels at the machine's level against libjpeg-turbo's colour conversion with
// downsampling (tjEncodeYUV3) of the same 2048 x 2048 RGB image, and the forward transform with
// quantisation at the machine's level against its level-0 entry. Each figure is a rate of
// pixels (colour) or blocks (transform) per second; the ratio of rates is the one to compare.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <vector>

#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <turbojpeg.h>

#include "huffman/huff_encode.h"
#include "jpeg_test_stream.h"
#include "memory/copy_fill.h"
#include "processor/kernel_dispatch.h"

// Exported by libjpeg62-turbo though its header does not declare it.
extern "C" void jpeg_gen_optimal_table(j_compress_ptr cinfo, JHUFF_TBL* htbl, long freq[]);

namespace {

constexpr int kSide = 2048;

const std::vector<unsigned char>& image()
{
    static const std::vector<unsigned char> px = [] {
        std::vector<unsigned char> v(size_t(kSide) * kSide * 3);
        uint32_t seed = 46;
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                for (int k = 0; k < 3; ++k) {
                    seed = seed * 1103515245u + 12345u;
                    const double s = 128 + 90 * std::sin(x * 0.011 * (k + 1)) * std::cos(y * 0.017) + (seed >> 28);
                    v[(size_t(y) * kSide + x) * 3 + k] = static_cast<unsigned char>(s < 0 ? 0 : s > 255 ? 255 : s);
                }
        return v;
    }();
    return px;
}

// Every MCU of the image through the stub of the machine's level into one run of blocks.
template <int Sampling>
void BM_Ours(benchmark::State& state)
{
    dispatch_init();
    const auto& px = image();
    const int mcu_h = Sampling == 420 ? 16 : 8, mcu_w = Sampling == 444 ? 8 : 16;
    const int per_mcu = Sampling == 420 ? 384 : Sampling == 422 ? 256 : 192;
    const size_t mcus = size_t(kSide / mcu_w) * (kSide / mcu_h);
    std::vector<int16_t> out(mcus * per_mcu + 8);
    int16_t* base = reinterpret_cast<int16_t*>((reinterpret_cast<uintptr_t>(out.data()) + 15) & ~uintptr_t(15));
    auto fn = Sampling == 420 ? &ycbcr_from_rgb_420_blocks : &ycbcr_from_rgb_444_blocks;
    const int y_values = per_mcu - 128;
    for (auto _ : state) {
        int16_t* o = base;
        for (int my = 0; my < kSide; my += mcu_h)
            for (int mx = 0; mx < kSide; mx += mcu_w, o += per_mcu) {
                int16_t* blocks[3] = {o, o + y_values, o + y_values + 64};
                fn(px.data() + (size_t(my) * kSide + mx) * 3, kSide * 3, blocks);
            }
        benchmark::DoNotOptimize(base);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
    state.counters["level"] = dispatch_level.load();
}

template <int Sampling>
void BM_Turbo(benchmark::State& state)
{
    const auto& px = image();
    tjhandle h = tjInitCompress();
    const int samp = Sampling == 420 ? TJSAMP_420 : TJSAMP_444;
    std::vector<unsigned char> yuv(tjBufSizeYUV2(kSide, 4, kSide, samp));
    for (auto _ : state) {
        if (tjEncodeYUV3(h, px.data(), kSide, 0, kSide, TJPF_RGB, yuv.data(), 4, samp, 0) != 0)
            throw std::runtime_error(tjGetErrorStr2(h));
        benchmark::DoNotOptimize(yuv.data());
    }
    tjDestroy(h);
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
}

void fdct(benchmark::State& state, int level)
{
    constexpr size_t kBlocks = 65536;
    std::vector<int16_t> src(kBlocks * 64);
    uint32_t seed = 7;
    for (auto& v : src) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<int16_t>(int(seed >> 24) - 128);
    }
    std::vector<int16_t> work(src.size());
    uint16_t table[64];
    for (int i = 0; i < 64; ++i)
        table[i] = static_cast<uint16_t>(32768 / (1 + i / 4));
    const auto entry = dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level);
    for (auto _ : state) {
        state.PauseTiming();
        work = src;
        state.ResumeTiming();
        for (size_t b = 0; b < kBlocks; ++b)
            entry(work.data() + 64 * b, table);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kBlocks);
    state.counters["level"] = level;
}

void BM_ForwardDctQuant_Machine(benchmark::State& state)
{
    dispatch_init();
    fdct(state, dispatch_level.load());
}

void BM_ForwardDctQuant_Level0(benchmark::State& state)
{
    fdct(state, 0);
}

// ---- Huffman encoding: the whole baseline encode against tjCompress2, the block encoder against
// jpeg_write_coefficients of the same blocks, the lossless row encoder against its level-0 entry.

// libjpeg-turbo's own quality-90 4:2:0 file of the image: its quantisers and standard Huffman tables.
struct Tables {
    TestJpeg jpeg;
    uint8_t steps[2][64];
};

const Tables& tables()
{
    static const Tables t = [] {
        Tables t{};
        tjhandle h = tjInitCompress();
        unsigned char* out = nullptr;
        unsigned long size = 0;
        if (tjCompress2(h, image().data(), kSide, 0, kSide, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0) != 0)
            throw std::runtime_error(tjGetErrorStr2(h));
        const std::vector<uint8_t> f(out, out + size);
        tjFree(out);
        tjDestroy(h);
        t.jpeg = parse_test_jpeg(f);
        for (size_t p = 2; p + 4 <= f.size() && f[p + 1] != 0xDA;) {
            const size_t len = size_t(f[p + 2]) << 8 | f[p + 3];
            if (f[p + 1] == 0xDB)
                for (size_t q = p + 4; q + 65 <= p + 2 + len; q += 65)
                    std::memcpy(t.steps[f[q] & 15], &f[q + 1], 64);
            p += 2 + len;
        }
        return t;
    }();
    return t;
}

struct Encoder {
    int level;
    uint16_t quant[2][64];
    HuffEncodeSpec dc[2], ac[2];
    HuffEncodeState st;
    std::vector<uint8_t> out = std::vector<uint8_t>(size_t(kSide) * kSide * 2);
    explicit Encoder(int lvl) : level(lvl)
    {
        const Tables& t = tables();
        for (int i = 0; i < 2; ++i) {
            dispatch_entry<dispatch_table_quant_table_init>(level)(t.steps[i], quant[i]);
            const TestHuffTable& d = t.jpeg.dc_tables.at(i);
            const TestHuffTable& a = t.jpeg.ac_tables.at(i);
            dispatch_entry<dispatch_table_huff_encode_spec_init>(level)(d.counts, d.values.data(), &dc[i]);
            dispatch_entry<dispatch_table_huff_encode_spec_init>(level)(a.counts, a.values.data(), &ac[i]);
        }
        dispatch_entry<dispatch_table_huff_encode_state_init>(level)(&st);
    }
};

void BM_BaselineEncode420(benchmark::State& state)
{
    dispatch_init();
    Encoder e(dispatch_level.load());
    const auto convert = dispatch_entry<dispatch_table_ycbcr_from_rgb_420_blocks>(e.level);
    const auto fdct = dispatch_entry<dispatch_table_forward_dct_quant_8x8>(e.level);
    const auto encode = dispatch_entry<dispatch_table_encode_huffman_8x8>(e.level);
    const auto& px = image();
    alignas(16) int16_t area[6 * 64];
    int16_t* blocks[3] = {area, area + 256, area + 320};
    for (auto _ : state) {
        int32_t pos = 0;
        int16_t last[3] = {};
        for (int my = 0; my < kSide; my += 16)
            for (int mx = 0; mx < kSide; mx += 16) {
                convert(px.data() + (size_t(my) * kSide + mx) * 3, kSide * 3, blocks);
                for (int b = 0; b < 6; ++b) {
                    const int c = b < 4 ? 0 : b - 3, t = c == 0 ? 0 : 1;
                    fdct(area + 64 * b, e.quant[t]);
                    encode(area + 64 * b, e.out.data(), int32_t(e.out.size()), &pos, &last[c], &e.dc[t], &e.ac[t],
                           &e.st, 0);
                }
            }
        encode(nullptr, e.out.data(), int32_t(e.out.size()), &pos, nullptr, nullptr, nullptr, &e.st, 1);
        benchmark::DoNotOptimize(pos);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
    state.counters["level"] = e.level;
}

void BM_TurboCompress420(benchmark::State& state)
{
    const auto& px = image();
    tjhandle h = tjInitCompress();
    std::vector<unsigned char> out(tjBufSize(kSide, kSide, TJSAMP_420));
    for (auto _ : state) {
        unsigned char* p = out.data();
        unsigned long size = out.size();
        if (tjCompress2(h, px.data(), kSide, 0, kSide, TJPF_RGB, &p, &size, TJSAMP_420, 90, TJFLAG_NOREALLOC) != 0)
            throw std::runtime_error(tjGetErrorStr2(h));
        benchmark::DoNotOptimize(p);
    }
    tjDestroy(h);
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
}

// The image's quantised blocks in scan order (4 Y, Cb, Cr per MCU), and our file of them.
struct ScanBlocks {
    std::vector<int16_t> blocks;
    std::vector<uint8_t> file;
};

const ScanBlocks& scan_blocks()
{
    static const ScanBlocks s = [] {
        ScanBlocks s;
        Encoder e(0);
        const auto& px = image();
        s.blocks.resize(size_t(kSide / 16) * (kSide / 16) * 384);
        int16_t* o = s.blocks.data();
        int32_t pos = 0;
        int16_t last[3] = {};
        for (int my = 0; my < kSide; my += 16)
            for (int mx = 0; mx < kSide; mx += 16, o += 384) {
                int16_t* blocks[3] = {o, o + 256, o + 320};
                dispatch_entry<dispatch_table_ycbcr_from_rgb_420_blocks>(0)(px.data() + (size_t(my) * kSide + mx) * 3,
                                                                            kSide * 3, blocks);
                for (int b = 0; b < 6; ++b) {
                    const int c = b < 4 ? 0 : b - 3, t = c == 0 ? 0 : 1;
                    dispatch_entry<dispatch_table_forward_dct_quant_8x8>(0)(o + 64 * b, e.quant[t]);
                    dispatch_entry<dispatch_table_encode_huffman_8x8>(0)(
                        o + 64 * b, e.out.data(), int32_t(e.out.size()), &pos, &last[c], &e.dc[t], &e.ac[t], &e.st, 0);
                }
            }
        dispatch_entry<dispatch_table_encode_huffman_8x8>(0)(nullptr, e.out.data(), int32_t(e.out.size()), &pos,
                                                             nullptr, nullptr, nullptr, &e.st, 1);
        // Headers copied from libjpeg-turbo's file up to its scan, then our scan.
        tjhandle h = tjInitCompress();
        unsigned char* out = nullptr;
        unsigned long size = 0;
        tjCompress2(h, px.data(), kSide, 0, kSide, TJPF_RGB, &out, &size, TJSAMP_420, 90, 0);
        size_t p = 2;
        while (p + 4 <= size && out[p + 1] != 0xDA)
            p += 2 + (size_t(out[p + 2]) << 8 | out[p + 3]);
        p += 2 + (size_t(out[p + 2]) << 8 | out[p + 3]);
        s.file.assign(out, out + p);
        s.file.insert(s.file.end(), e.out.begin(), e.out.begin() + pos);
        s.file.insert(s.file.end(), {0xFF, 0xD9});
        tjFree(out);
        tjDestroy(h);
        return s;
    }();
    return s;
}

void BM_EncodeHuffman8x8(benchmark::State& state)
{
    dispatch_init();
    Encoder e(dispatch_level.load());
    const auto encode = dispatch_entry<dispatch_table_encode_huffman_8x8>(e.level);
    const ScanBlocks& s = scan_blocks();
    const size_t mcus = s.blocks.size() / 384;
    for (auto _ : state) {
        int32_t pos = 0;
        int16_t last[3] = {};
        const int16_t* o = s.blocks.data();
        for (size_t m = 0; m < mcus; ++m, o += 384)
            for (int b = 0; b < 6; ++b) {
                const int c = b < 4 ? 0 : b - 3, t = c == 0 ? 0 : 1;
                encode(o + 64 * b, e.out.data(), int32_t(e.out.size()), &pos, &last[c], &e.dc[t], &e.ac[t], &e.st, 0);
            }
        encode(nullptr, e.out.data(), int32_t(e.out.size()), &pos, nullptr, nullptr, nullptr, &e.st, 1);
        benchmark::DoNotOptimize(pos);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(mcus) * 6);
    state.counters["level"] = e.level;
}

// The same blocks, read once from our file, written again by libjpeg's Huffman encoder.
void BM_JpegWriteCoefficients(benchmark::State& state)
{
    const ScanBlocks& s = scan_blocks();
    jpeg_decompress_struct src;
    jpeg_error_mgr serr, derr;
    src.err = jpeg_std_error(&serr);
    jpeg_create_decompress(&src);
    jpeg_mem_src(&src, s.file.data(), static_cast<unsigned long>(s.file.size()));
    jpeg_read_header(&src, TRUE);
    jvirt_barray_ptr* coefs = jpeg_read_coefficients(&src);
    std::vector<unsigned char> buf(s.file.size() * 2);
    for (auto _ : state) {
        jpeg_compress_struct dst;
        dst.err = jpeg_std_error(&derr);
        jpeg_create_compress(&dst);
        unsigned char* p = buf.data();
        unsigned long size = buf.size();
        jpeg_mem_dest(&dst, &p, &size);
        jpeg_copy_critical_parameters(&src, &dst);
        dst.optimize_coding = FALSE;
        jpeg_write_coefficients(&dst, coefs);
        jpeg_finish_compress(&dst);
        jpeg_destroy_compress(&dst);
        benchmark::DoNotOptimize(size);
    }
    jpeg_finish_decompress(&src);
    jpeg_destroy_decompress(&src);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.blocks.size() / 64));
}

// A CT-like row: two components of small differences, now and then an edge.
void lossless_row(benchmark::State& state, int level)
{
    constexpr int kWidth = 4096;
    std::vector<int16_t> rows[2];
    uint32_t seed = 9;
    for (auto& r : rows) {
        r.resize(kWidth);
        for (auto& v : r) {
            seed = seed * 1103515245u + 12345u;
            const int small = int(seed >> 27) - 16;
            v = static_cast<int16_t>((seed >> 8) % 64 == 0 ? small * 97 : small);
        }
    }
    // Categories 0 to 16: lengths 2, 3 (four), then two each of 4 to 9.
    uint8_t counts[16] = {0, 1, 4, 2, 2, 2, 2, 2, 2};
    uint8_t values[17];
    for (int c = 0; c <= 16; ++c)
        values[c] = uint8_t(c);
    HuffEncodeSpec spec;
    dispatch_entry<dispatch_table_huff_encode_spec_init>(level)(counts, values, &spec);
    const HuffEncodeSpec* specs[2] = {&spec, &spec};
    const int16_t* ptrs[2] = {rows[0].data(), rows[1].data()};
    HuffEncodeState st;
    std::vector<uint8_t> out(kWidth * 2 * 8);
    const auto encode = dispatch_entry<dispatch_table_encode_huffman_lossless_row>(level);
    for (auto _ : state) {
        int32_t pos = 0;
        st.bitAcc = 0;
        st.bitCount = 0;
        if (encode(ptrs, kWidth, 2, out.data(), int32_t(out.size()), &pos, specs, &st, 0) != 0)
            throw std::runtime_error("lossless row failed");
        benchmark::DoNotOptimize(pos);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kWidth * 2);
    state.counters["level"] = level;
}

void BM_EncodeHuffmanLosslessRow_Level4(benchmark::State& state)
{
    if (dispatch_supported_level() < 4) {
        state.SkipWithError("no SSSE3");
        return;
    }
    lossless_row(state, 4);
}

void BM_EncodeHuffmanLosslessRow_Level0(benchmark::State& state)
{
    lossless_row(state, 0);
}

BENCHMARK(BM_BaselineEncode420)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TurboCompress420)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeHuffman8x8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegWriteCoefficients)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeHuffmanLosslessRow_Level4)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_EncodeHuffmanLosslessRow_Level0)->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_Ours<420>)->Name("ycbcr_from_rgb_420_blocks")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Turbo<420>)->Name("tjEncodeYUV3_420")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours<444>)->Name("ycbcr_from_rgb_444_blocks")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Turbo<444>)->Name("tjEncodeYUV3_444")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardDctQuant_Machine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardDctQuant_Level0)->Unit(benchmark::kMillisecond);

// ---- lossless differences, Huffman table generation, copies and fills ----

const std::vector<uint16_t>& ct_row()
{
    static const std::vector<uint16_t> row = [] {
        std::vector<uint16_t> v(4096 + 4096);
        uint32_t seed = 7;
        for (size_t i = 0; i < v.size(); ++i) {
            seed = seed * 1103515245u + 12345u;
            v[i] = uint16_t(1000 + 800 * std::sin(double(i) * 0.01) + (seed >> 27));
        }
        return v;
    }();
    return row;
}

void BM_DiffLosslessRowPred1(benchmark::State& state)
{
    dispatch_init();
    const auto diff = dispatch_entry<dispatch_table_diff_lossless_row>(dispatch_level.load());
    const std::vector<uint16_t>& r = ct_row();
    std::vector<uint16_t> out(4096);
    for (auto _ : state) {
        diff(r.data() + 4096, r.data(), out.data(), 4096, 1);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}

void BM_DiffLosslessFirstRow(benchmark::State& state)
{
    dispatch_init();
    const auto diff = dispatch_entry<dispatch_table_diff_lossless_first_row>(dispatch_level.load());
    const std::vector<uint16_t>& r = ct_row();
    std::vector<uint16_t> out(4096);
    for (auto _ : state) {
        diff(r.data(), out.data(), 4096, 16, 0);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}

void BM_AdjacentDifference(benchmark::State& state)
{
    const std::vector<uint16_t>& r = ct_row();
    std::vector<uint16_t> out(4096);
    for (auto _ : state) {
        std::adjacent_difference(r.begin(), r.begin() + 4096, out.begin());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 4096);
}

// Run/size symbol counts of the luma AC coefficients of the benchmark image's blocks.
const std::vector<int32_t>& ac_counts()
{
    static const std::vector<int32_t> counts = [] {
        static const int zigzag[64] = {0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,
                                       12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13, 6,  7,  14, 21, 28,
                                       35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51,
                                       58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};
        std::vector<int32_t> c(257, 0);
        const ScanBlocks& s = scan_blocks();
        for (size_t m = 0; m + 384 <= s.blocks.size(); m += 384)
            for (int b = 0; b < 4; ++b) {
                const int16_t* blk = s.blocks.data() + m + size_t(64 * b);
                int run = 0;
                for (int k = 1; k < 64; ++k) {
                    const int v = blk[zigzag[k]];
                    if (v == 0) {
                        ++run;
                        continue;
                    }
                    for (; run > 15; run -= 16)
                        ++c[0xF0];
                    int size = 0;
                    for (int a = v < 0 ? -v : v; a != 0; a >>= 1)
                        ++size;
                    ++c[size_t(run << 4 | size)];
                    run = 0;
                }
                if (run != 0)
                    ++c[0];
            }
        return c;
    }();
    return counts;
}

void BM_GenerateHuffTable(benchmark::State& state)
{
    dispatch_init();
    const auto gen = dispatch_entry<dispatch_table_generate_huff_table>(dispatch_level.load());
    const std::vector<int32_t>& c = ac_counts();
    uint8_t bits[16], values[256];
    for (auto _ : state) {
        gen(c.data(), bits, values);
        benchmark::DoNotOptimize(values);
    }
}

void BM_JpegGenOptimalTable(benchmark::State& state)
{
    const std::vector<int32_t>& c = ac_counts();
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    JHUFF_TBL tbl;
    std::vector<long> freq(257);
    for (auto _ : state) {
        for (size_t i = 0; i < 256; ++i)
            freq[i] = c[i];   // the peer consumes its counts
        jpeg_gen_optimal_table(&cinfo, &tbl, freq.data());
        benchmark::DoNotOptimize(tbl.huffval);
    }
    jpeg_destroy_compress(&cinfo);
}

void copy_bytes(benchmark::State& state, bool ours)
{
    dispatch_init();
    const int level = dispatch_level.load();
    static const std::vector<void* (*)(const void*, void*, int32_t)> fns = {
        &CopyBytes<0>, &CopyBytes<1>, &CopyBytes<2>, &CopyBytes<3>, &CopyBytes<4>, &CopyBytes<5>};
    const size_t n = size_t(state.range(0));
    std::vector<uint8_t> src(n, 3), dst(n);
    for (auto _ : state) {
        if (ours)
            fns[size_t(level)](src.data(), dst.data(), int32_t(n));
        else
            std::memcpy(dst.data(), src.data(), n);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(n));
}
void BM_CopyBytes(benchmark::State& state)
{
    copy_bytes(state, true);
}
void BM_Memcpy(benchmark::State& state)
{
    copy_bytes(state, false);
}

void fill_words(benchmark::State& state, bool ours)
{
    dispatch_init();
    const int level = dispatch_level.load();
    static const std::vector<void* (*)(uint32_t, void*, int32_t)> fns = {
        &FillWords32<0>, &FillWords32<1>, &FillWords32<2>, &FillWords32<3>, &FillWords32<4>, &FillWords32<5>};
    std::vector<uint32_t> dst(257);
    for (auto _ : state) {
        if (ours)
            fns[size_t(level)](0xFFFFFFFFu, dst.data(), 257);
        else
            std::fill_n(dst.data(), 257, 0xFFFFFFFFu);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 1028);
}
void BM_FillWords32(benchmark::State& state)
{
    fill_words(state, true);
}
void BM_FillN(benchmark::State& state)
{
    fill_words(state, false);
}

BENCHMARK(BM_DiffLosslessRowPred1);
BENCHMARK(BM_DiffLosslessFirstRow);
BENCHMARK(BM_AdjacentDifference);
BENCHMARK(BM_GenerateHuffTable);
BENCHMARK(BM_JpegGenOptimalTable);
BENCHMARK(BM_CopyBytes)->Arg(1028)->Arg(1 << 20);
BENCHMARK(BM_Memcpy)->Arg(1028)->Arg(1 << 20);
BENCHMARK(BM_FillWords32);
BENCHMARK(BM_FillN);

}   // namespace
