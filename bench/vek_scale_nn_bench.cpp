// Nearest-neighbour scaling (replication, position tables, subsampling) and whole-factor area
// averaging, memory to memory on one thread, against OpenCV's resize of the same samples.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bench_vek.h"
#include "vek_scale.h"
#include "vek_scaleiar.h"

namespace {

struct Case {
    uint32_t W, H, w, h;
    uint16_t bits;
};

// Args: case index. 0: 16-bit replication, 1: 16-bit tables, 2: 8-bit subsampling,
// 3 and 4: 8 and 16-bit averaging by 4 x 4.
constexpr Case kCases[] = {
    {512, 512, 1024, 1024, 16}, {512, 512, 1000, 1000, 16}, {2048, 2500, 512, 625, 8},
    {2048, 2500, 512, 625, 8},  {2048, 2500, 512, 625, 16},
};

const std::vector<uint8_t>& samples(const Case& c)
{
    static std::vector<uint8_t> cache[2];
    std::vector<uint8_t>& v = cache[c.bits == 16];
    const size_t n = size_t(c.W) * c.H * c.bits / 8;
    if (v.size() < n)
        v = bench_random_bytes(n, 7);
    return v;
}

bool average_case(int index)
{
    return index >= 3;
}

// OpenCV's result of the case into dst. Its INTER_NEAREST takes source pixel floor(i x W / w),
// not the pixel under the output pixel's centre: it serves for timing only.
void opencv_resize(int index, cv::Mat& dst)
{
    const Case c = kCases[index];
    const int type = c.bits == 16 ? CV_16UC1 : CV_8UC1;
    cv::Mat src(int(c.H), int(c.W), type, const_cast<uint8_t*>(samples(c).data()));
    cv::resize(src, dst, cv::Size(int(c.w), int(c.h)), 0, 0, average_case(index) ? cv::INTER_AREA : cv::INTER_NEAREST);
}

// Source pixel of output pixel i: trunc((i + 0.5) x from / to) as a running sum, as Pillow's NEAREST.
std::vector<uint32_t> picks(uint32_t from, uint32_t to)
{
    std::vector<uint32_t> v;
    const double step = double(from) / to;
    double p = step * 0.5;
    for (uint32_t i = 0; i < to; ++i, p += step)
        v.push_back(uint32_t(p) < from ? uint32_t(p) : from - 1);
    return v;
}

// The timed output must be right: the pixel centres' pixels, or within one of INTER_AREA.
bool agrees(int index, const std::vector<uint8_t>& out)
{
    const Case c = kCases[index];
    auto sample = [&](const void* data, size_t i) {
        return c.bits == 16 ? int(static_cast<const uint16_t*>(data)[i]) : int(static_cast<const uint8_t*>(data)[i]);
    };
    cv::Mat area(int(c.h), int(c.w), c.bits == 16 ? CV_16UC1 : CV_8UC1);
    if (average_case(index))
        opencv_resize(index, area);
    const std::vector<uint32_t> xs = picks(c.W, c.w), ys = picks(c.H, c.h);
    for (uint32_t j = 0; j < c.h; ++j)
        for (uint32_t i = 0; i < c.w; ++i) {
            const size_t at = size_t(j) * c.w + i;
            const int want =
                average_case(index) ? sample(area.data, at) : sample(samples(c).data(), size_t(ys[j]) * c.W + xs[i]);
            if (std::abs(sample(out.data(), at) - want) > (average_case(index) ? 1 : 0))
                return false;
        }
    return true;
}

void BM_Vek(benchmark::State& state)
{
    cv::setNumThreads(1);
    const int index = int(state.range(0));
    const Case c = kCases[index];
    const std::vector<uint8_t>& in = samples(c);
    std::vector<uint8_t> out(size_t(c.w) * c.h * c.bits / 8);
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        bench_header(h, c.W, c.H, c.bits, 1);
        uint32_t written = 0;
        VEK_Engine* source = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(size_t(c.W) * c.H * c.bits / 8));
        VEK_Engine* scaled = average_case(index) ? VEK_ScaleIAR(&m).engine(source, c.W / c.w, c.H / c.h)
                                                 : VEK_ScaleNN(&m).engine(source, c.w, c.h);
        VEK_Engine* sink = VEK_WriteMemory(&m).engine(scaled, out.data(), uint32_t(out.size()), &written);
        if (!bench_drain(m, sink) || written != out.size())
            state.SkipWithError("scaling chain failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (!agrees(index, out))
        state.SkipWithError("output differs from OpenCV");
    bench_mpx_rate(state, c.w, c.h);
}

void BM_OpenCV(benchmark::State& state)
{
    const int index = int(state.range(0));
    const Case c = kCases[index];
    cv::Mat dst(int(c.h), int(c.w), c.bits == 16 ? CV_16UC1 : CV_8UC1);
    bench_opencv(state, dst, [index](cv::Mat& d) { opencv_resize(index, d); });
    bench_mpx_rate(state, c.w, c.h);
}

}   // namespace

BENCHMARK(BM_Vek)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
