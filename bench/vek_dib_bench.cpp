// Images from caller memory into a bitmap, against a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "vek_dib.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"

namespace {

constexpr uint32_t kSide = 2048;

void dib(benchmark::State& state, uint16_t channels)
{
    const std::vector<uint8_t> pixels(size_t(kSide) * kSide * channels, 0x5A);
    const VEK_WriteDIBOption option(0, 300, 300, 0);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        h.width(kSide);
        h.height(kSide);
        h.bits(8);
        h.channels(channels);
        h.color_type(channels == 1 ? VEK_ColorType_gray::instance() : VEK_ColorType_s_rgb::instance());
        out.resize(VEK_WriteDIB::dib_bytes(&h, option));
        VEK_OutputStorage* storage = VEK_ByteArrayOutputStorage::create(&m, out.data(), int32_t(out.size()));
        VEK_ReadMemory reader(&m);
        VEK_Engine* sink =
            VEK_WriteDIB(&m).engine(reader.engine(h, pixels.data(), uint32_t(pixels.size())), storage, option);
        while (sink != nullptr && sink->execute()) {
        }
        VEK_Status st(&m);
        if (!m.status(st))
            state.SkipWithError("chain failed");
        vek_destroy(storage);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels.size()));
}

void copy(benchmark::State& state, uint16_t channels)
{
    const std::vector<uint8_t> pixels(size_t(kSide) * kSide * channels, 0x5A);
    std::vector<uint8_t> out(pixels.size());
    for (auto _ : state) {
        std::memcpy(out.data(), pixels.data(), pixels.size());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(pixels.size()));
}

void BM_DibGray8(benchmark::State& state)
{
    dib(state, 1);
}
void BM_DibColour24(benchmark::State& state)
{
    dib(state, 3);
}
void BM_MemcpyGray8(benchmark::State& state)
{
    copy(state, 1);
}
void BM_MemcpyColour24(benchmark::State& state)
{
    copy(state, 3);
}

}   // namespace

BENCHMARK(BM_DibGray8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyGray8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DibColour24)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemcpyColour24)->Unit(benchmark::kMillisecond);
