// Linear-interpolation scaling (VEK_ScaleLIFastBy), memory to memory on one thread, against
// OpenCV's INTER_LINEAR resize of the same samples.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "vek_errorhandler.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_scaleli.h"

namespace {

struct Case {
    uint32_t W, H, w, h;
    uint16_t bits, channels;
};

// Args: case index. 0 to 3: gray 8 and 16-bit to 1024^2 and 1000^2; 4: 8-bit RGB to 1024^2;
// 5: 8-bit gray shrink in one pass.
constexpr Case kCases[] = {
    {512, 512, 1024, 1024, 8, 1},  {512, 512, 1000, 1000, 8, 1}, {512, 512, 1024, 1024, 16, 1},
    {512, 512, 1000, 1000, 16, 1}, {512, 512, 1024, 1024, 8, 3}, {2048, 2500, 700, 854, 8, 1},
};

size_t bytes_in(const Case& c)
{
    return size_t(c.W) * c.H * c.channels * c.bits / 8;
}
size_t bytes_out(const Case& c)
{
    return size_t(c.w) * c.h * c.channels * c.bits / 8;
}
int cv_type(const Case& c)
{
    return CV_MAKETYPE(c.bits == 16 ? CV_16U : CV_8U, c.channels);
}

const std::vector<uint8_t>& samples(const Case& c)
{
    static std::vector<uint8_t> v;
    if (v.size() < bytes_in(c)) {
        std::mt19937 rng(7);
        v.resize(bytes_in(c));
        for (uint8_t& b : v)
            b = uint8_t(rng());
    }
    return v;
}

void opencv_resize(const Case& c, cv::Mat& dst)
{
    cv::Mat src(int(c.H), int(c.W), cv_type(c), const_cast<uint8_t*>(samples(c).data()));
    cv::resize(src, dst, cv::Size(int(c.w), int(c.h)), 0, 0, cv::INTER_LINEAR);
}

// The timed output must be right: within one of OpenCV at 8 bits or at 2x, within the Q12
// weights' 1/8192 over two passes otherwise.
bool agrees(const Case& c, const std::vector<uint8_t>& out)
{
    cv::Mat want;
    opencv_resize(c, want);
    const int tolerance = c.bits == 8 || (c.w == 2 * c.W && c.h == 2 * c.H) ? 1 : 17;
    const size_t n = size_t(c.w) * c.h * c.channels;
    for (size_t i = 0; i < n; ++i) {
        const int a = c.bits == 16 ? reinterpret_cast<const uint16_t*>(out.data())[i] : out[i];
        const int b = c.bits == 16 ? want.ptr<uint16_t>()[i] : want.ptr<uint8_t>()[i];
        if (std::abs(a - b) > tolerance)
            return false;
    }
    return true;
}

void BM_Vek(benchmark::State& state)
{
    const Case c = kCases[state.range(0)];
    const std::vector<uint8_t>& in = samples(c);
    std::vector<uint8_t> out(bytes_out(c));
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        h.width(c.W);
        h.height(c.H);
        h.bits(c.bits);
        h.channels(c.channels);
        uint32_t written = 0;
        VEK_Engine* source = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(bytes_in(c)));
        VEK_Engine* scaled = VEK_ScaleLIFastBy<VEK_FixedRealImpl<int, 12>>(&m).engine(source, c.w, c.h);
        VEK_Engine* sink = VEK_WriteMemory(&m).engine(scaled, out.data(), uint32_t(out.size()), &written);
        if (sink != nullptr)
            while (sink->execute()) {
            }
        VEK_Status st(&m);
        if (!m.status(st) || written != out.size())
            state.SkipWithError("scaling chain failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (!agrees(c, out))
        state.SkipWithError("output differs from OpenCV");
    state.counters["Mpx/s"] =
        benchmark::Counter(double(state.iterations()) * c.w * c.h / 1e6, benchmark::Counter::kIsRate);
}

void BM_OpenCV(benchmark::State& state)
{
    cv::setNumThreads(1);
    const Case c = kCases[state.range(0)];
    cv::Mat dst(int(c.h), int(c.w), cv_type(c));
    for (auto _ : state) {
        opencv_resize(c, dst);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.counters["Mpx/s"] =
        benchmark::Counter(double(state.iterations()) * c.w * c.h / 1e6, benchmark::Counter::kIsRate);
}

}   // namespace

BENCHMARK(BM_Vek)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenCV)->DenseRange(0, 5)->Unit(benchmark::kMillisecond);
