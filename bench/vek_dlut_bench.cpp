// The 8-bit 3 -> 3 tetrahedral table with 33 points at 2048 x 2048, memory to memory. Its peer,
// Pillow's ImageFilter.Color3DLUT over the same table and pixels, runs in vek_dlut_compare.py.
#include <benchmark/benchmark.h>

#include <vector>

#include "bench_vek.h"
#include "vek_dlut.h"
#include "vek_engine.h"

namespace {

constexpr uint32_t kSide = 2048;
constexpr uint16_t kGrid = 33;

// Entry c of grid point (r, g, b), red varying fastest; vek_dlut_compare.py builds the same.
std::vector<uint8_t> table()
{
    std::vector<uint8_t> t;
    for (uint32_t b = 0; b < kGrid; ++b)
        for (uint32_t g = 0; g < kGrid; ++g)
            for (uint32_t r = 0; r < kGrid; ++r) {
                t.push_back(uint8_t((r * 5 + g * 3 + b) * 255 / (32 * 9)));
                t.push_back(uint8_t(255 - g * 255 / 32));
                t.push_back(uint8_t((r * g + b * 32) * 255 / (32 * 64)));
            }
    return t;
}

// The pixels: byte i is (i * 2654435761) >> 24 of its index, as the script makes them.
std::vector<uint8_t> pixels()
{
    std::vector<uint8_t> v(size_t(kSide) * kSide * 3);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = uint8_t((uint32_t(i) * 2654435761u) >> 24);
    return v;
}

void tetrahedral_u8_33(benchmark::State& state)
{
    const std::vector<uint8_t> lut = table(), in = pixels();
    std::vector<uint8_t> out(in.size());
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        bench_header(h, kSide, kSide, 8, 3, VEK_ColorType_s_rgb::instance());
        VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()));
        e = VEK_DLutTetrahedron(&m).engine(e, 8, 3, kGrid, false, lut.data(), nullptr);
        VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()));
        if (!bench_drain(m, sink)) {
            state.SkipWithError("chain failed");
            break;
        }
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
}

}   // namespace

BENCHMARK(tetrahedral_u8_33)->Unit(benchmark::kMillisecond);
