// Weighted-area scaling through the paint road's creator (VEK_ScalePPFastBy) and the general one
// (VEK_ScalePPBy), memory to memory on one thread, against OpenCV's INTER_AREA of the same samples.
// Whole-factor reductions and fractional ones (the fast engines), 8 and 16-bit gray and 8-bit RGB.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench_vek.h"
#include "vek_scaleppby.h"

namespace {

struct Case {
    uint32_t W, H, w, h;
    uint16_t bits, channels;
};

// Args: case index, creator (0: VEK_ScalePPFastBy, 1: VEK_ScalePPBy with the same weight type).
constexpr Case kCases[] = {
    {2048, 2500, 512, 625, 8, 1},  {2048, 2500, 512, 625, 16, 1}, {2048, 2500, 600, 732, 8, 1},
    {2048, 2500, 600, 732, 16, 1}, {2048, 2500, 512, 625, 8, 3},  {2048, 2500, 600, 732, 8, 3},
};

size_t bytes_of(uint32_t w, uint32_t h, const Case& c)
{
    return size_t(w) * h * c.channels * c.bits / 8;
}

const std::vector<uint8_t>& samples(const Case& c)
{
    static std::vector<uint8_t> v;
    const size_t n = bytes_of(c.W, c.H, c);
    if (v.size() < n)
        v = bench_random_bytes(n, 11);
    return v;
}

int cv_type(const Case& c)
{
    return CV_MAKETYPE(c.bits == 16 ? CV_16U : CV_8U, c.channels);
}

void opencv_resize(const Case& c, cv::Mat& dst)
{
    cv::Mat src(int(c.H), int(c.W), cv_type(c), const_cast<uint8_t*>(samples(c).data()));
    cv::resize(src, dst, cv::Size(int(c.w), int(c.h)), 0, 0, cv::INTER_AREA);
}

// The timed output must be right: within one of INTER_AREA (same footprints, two rounded passes).
bool agrees(const Case& c, const std::vector<uint8_t>& out)
{
    cv::Mat area(int(c.h), int(c.w), cv_type(c));
    opencv_resize(c, area);
    const size_t n = size_t(c.w) * c.h * c.channels;
    for (size_t i = 0; i < n; ++i) {
        const int got = c.bits == 16 ? reinterpret_cast<const uint16_t*>(out.data())[i] : out[i];
        const int want = c.bits == 16 ? reinterpret_cast<const uint16_t*>(area.data)[i] : area.data[i];
        if (std::abs(got - want) > 1)
            return false;
    }
    return true;
}

VEK_Engine* scale(VEK_Manager* m, VEK_Engine* source, const Case& c, bool general)
{
    using Q12 = VEK_FixedRealImpl<int, 12>;
    if (!general)
        return VEK_ScalePPFastBy<Q12>(m).engine(source, c.w, c.h);
    if (c.bits > 8)
        return VEK_ScalePPBy<double>(m).engine(source, c.w, c.h);
    return VEK_ScalePPBy<Q12>(m).engine(source, c.w, c.h);
}

void BM_Vek(benchmark::State& state)
{
    const Case c = kCases[state.range(0)];
    const bool general = state.range(1) != 0;
    const std::vector<uint8_t>& in = samples(c);
    std::vector<uint8_t> out(bytes_of(c.w, c.h, c));
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        bench_header(h, c.W, c.H, c.bits, c.channels, c.channels == 3 ? VEK_ColorType_s_rgb::instance() : nullptr);
        uint32_t written = 0;
        VEK_Engine* source = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(bytes_of(c.W, c.H, c)));
        VEK_Engine* sink =
            VEK_WriteMemory(&m).engine(scale(&m, source, c, general), out.data(), uint32_t(out.size()), &written);
        if (!bench_drain(m, sink) || written != out.size())
            state.SkipWithError("scaling chain failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (!agrees(c, out))
        state.SkipWithError("output differs from OpenCV");
    bench_mpx_rate(state, c.w, c.h);
}

void BM_OpenCV(benchmark::State& state)
{
    const Case c = kCases[state.range(0)];
    cv::Mat dst(int(c.h), int(c.w), cv_type(c));
    bench_opencv(state, dst, [&c](cv::Mat& d) { opencv_resize(c, d); });
    bench_mpx_rate(state, c.w, c.h);
}

// Read memory, scale, write memory with the fast creator, for the peer script's one case.
void BM_VekReduce4(benchmark::State& state)
{
    BM_Vek(state);
}

}   // namespace

BENCHMARK(BM_Vek)->ArgsProduct({{0, 1, 2, 3, 4, 5}, {0, 1}})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VekReduce4)->Args({0, 0})->Unit(benchmark::kMillisecond);
