// Encoder block kernels at the machine's level against libjpeg-turbo's colour conversion with
// downsampling (tjEncodeYUV3) of the same 2048 x 2048 RGB image, and the forward transform with
// quantisation at the machine's level against its level-0 entry. Each figure is a rate of
// pixels (colour) or blocks (transform) per second; the ratio of rates is the one to compare.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include <turbojpeg.h>

#include "processor/kernel_dispatch.h"

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
    for (int i = 0; i < 64; ++i) table[i] = static_cast<uint16_t>(32768 / (1 + i / 4));
    const auto entry = dispatch_entry<dispatch_table_forward_dct_quant_8x8>(level);
    for (auto _ : state) {
        state.PauseTiming();
        work = src;
        state.ResumeTiming();
        for (size_t b = 0; b < kBlocks; ++b) entry(work.data() + 64 * b, table);
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

BENCHMARK(BM_Ours<420>)->Name("ycbcr_from_rgb_420_blocks")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Turbo<420>)->Name("tjEncodeYUV3_420")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Ours<444>)->Name("ycbcr_from_rgb_444_blocks")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Turbo<444>)->Name("tjEncodeYUV3_444")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardDctQuant_Machine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ForwardDctQuant_Level0)->Unit(benchmark::kMillisecond);

}  // namespace
