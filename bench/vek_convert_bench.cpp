// Windowing of a 16-bit signed image to 8 bits through each conversion engine, chains from
// memory to memory, beside a plain table look-up over the same samples.
#include <benchmark/benchmark.h>

#include <vector>

#include "vek_clampround.h"
#include "vek_convertdatatype8xnbits.h"
#include "vek_engine.h"
#include "vek_lut.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_shiftdata.h"

namespace {

// A CT window, centre 40 and width 400.
constexpr double kSlope = 256.0 / 400.0;
constexpr double kIntercept = -(40.0 - 200.0) * kSlope;

std::vector<int16_t> image(uint32_t side)
{
    std::vector<int16_t> v(size_t(side) * side);
    uint32_t x = 12345;
    for (auto& s : v) {
        x = x * 1103515245u + 12345u;
        s = int16_t(int32_t(x >> 16 & 0xFFF) - 1024);   // a CT-like range
    }
    return v;
}

enum Kind { kLinear, kLut, kShift };

void convert(benchmark::State& state, Kind kind)
{
    const uint32_t side = uint32_t(state.range(0));
    const std::vector<int16_t> in = image(side);
    std::vector<uint8_t> out(in.size());
    std::vector<uint8_t> table(65536);
    fill_linear_lut<uint8_t>(table.data(), -32768, 65536, kSlope, kIntercept);
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_LutData lut(&m);
        VEK_Header h(&m);
        h.width(side);
        h.height(side);
        h.bits(16);
        h.channels(1);
        h.data_type(VEK_DataType::s_integer);
        VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size() * sizeof(int16_t)));
        switch (kind) {
        case kLinear:
            e = VEK_ConvertDataType8xNbits(&m).engine(e, VEK_DataType::u_integer, 8, kSlope, kIntercept);
            break;
        case kLut:
            lut.bits(8);
            lut.channels(1);
            lut.entries(65536);
            lut.value(table.data(), 65536);
            e = VEK_Lut(&m).engine(e, &lut, nullptr);
            break;
        case kShift: e = VEK_ShiftData(&m).engine(e, VEK_DataType::u_integer, 8, -4, true); break;
        }
        VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()));
        if (sink == nullptr) {
            state.SkipWithError("chain not built");
            break;
        }
        while (sink->execute()) {
        }
        VEK_Status st(&m);
        if (!m.status(st))
            state.SkipWithError("chain failed");
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(in.size()));   // samples
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size() * sizeof(int16_t)));
}

// What a table look-up costs without any chain around it.
void plain_loop(benchmark::State& state)
{
    const uint32_t side = uint32_t(state.range(0));
    const std::vector<int16_t> in = image(side);
    std::vector<uint8_t> out(in.size());
    std::vector<uint8_t> table(65536);
    fill_linear_lut<uint8_t>(table.data(), -32768, 65536, kSlope, kIntercept);
    const uint8_t* centre = table.data() + 32768;
    for (auto _ : state) {
        for (size_t i = 0; i < in.size(); ++i)
            out[i] = centre[in[i]];
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(in.size()));   // samples
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(in.size() * sizeof(int16_t)));
}

void BM_Linear(benchmark::State& state)
{
    convert(state, kLinear);
}
void BM_Lut(benchmark::State& state)
{
    convert(state, kLut);
}
void BM_Shift(benchmark::State& state)
{
    convert(state, kShift);
}
void BM_PlainTableLoop(benchmark::State& state)
{
    plain_loop(state);
}

}   // namespace

BENCHMARK(BM_PlainTableLoop)->Arg(512)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Lut)->Arg(512)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Linear)->Arg(512)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Shift)->Arg(512)->Arg(2048)->Arg(4096)->Unit(benchmark::kMicrosecond);
