// The viewer's per-paint cost: window and level of a signed 16-bit image to 8 bits, with the
// conversion chosen by the dispatcher, from caller memory to caller memory.
#include <benchmark/benchmark.h>

#include <vector>

#include "vek_convertdatatype.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"

namespace {

void window(benchmark::State& state) {
  const uint32_t width = uint32_t(state.range(0)), height = uint32_t(state.range(1));
  std::vector<int16_t> in(size_t(width) * height);
  uint32_t x = 1;
  for (auto& s : in) {
    x = x * 1103515245u + 12345u;
    s = int16_t(int32_t(x >> 16 & 0xFFF) - 1024);
  }
  std::vector<uint8_t> out(in.size());
  const double slope = 256.0 / 400.0, intercept = -(40.0 - 200.0) * slope;
  for (auto _ : state) {
    VEK_DefaultManager m;
    VEK_Header h(&m);
    h.width(width);
    h.height(height);
    h.bits(16);
    h.channels(1);
    h.data_type(VEK_DataType::s_integer);
    VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size() * 2));
    e = VEK_ConvertDataType(&m).engine(e, VEK_DataType::u_integer, 8, slope, intercept);
    VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()));
    while (sink != nullptr && sink->execute()) {
    }
    VEK_Status st(&m);
    if (!m.status(st)) state.SkipWithError("window failed");
  }
  benchmark::DoNotOptimize(out.data());
  state.counters["Msamples/s"] =
      benchmark::Counter(double(state.iterations()) * in.size() / 1e6, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(window)->Args({512, 512})->Args({2048, 2560})->Unit(benchmark::kMillisecond);
