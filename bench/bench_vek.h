#pragma once
// What the image-library benchmarks share: source samples, the reader's header, pulling a chain
// through its sink and timing an OpenCV peer on one thread.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <random>
#include <vector>

#include "vek_errorhandler.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"

// n bytes from mt19937(seed), one byte a draw.
inline std::vector<uint8_t> bench_random_bytes(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v)
        b = uint8_t(rng());
    return v;
}

// Raw samples; the colour type only where one is given.
inline void bench_header(VEK_Header& h, uint32_t width, uint32_t height, uint16_t bits, uint16_t channels,
                         const VEK_ColorType* color = nullptr)
{
    h.width(width);
    h.height(height);
    h.bits(bits);
    h.channels(channels);
    if (color != nullptr)
        h.color_type(color);
}

// Runs the chain to its end; false when the sink was not built or the manager holds an error.
inline bool bench_drain(VEK_Manager& m, VEK_Engine* sink)
{
    if (sink == nullptr)
        return false;
    while (sink->execute()) {
    }
    VEK_Status st(&m);
    return m.status(st);
}

// Output megapixels a second.
inline void bench_mpx_rate(benchmark::State& state, uint32_t width, uint32_t height)
{
    state.counters["Mpx/s"] =
        benchmark::Counter(double(state.iterations()) * width * height / 1e6, benchmark::Counter::kIsRate);
}

// The peer on one thread: run(dst) each iteration, its result kept.
template <class Run>
void bench_opencv(benchmark::State& state, cv::Mat& dst, Run run)
{
    cv::setNumThreads(1);
    for (auto _ : state) {
        run(dst);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
}
