// YCbCr to RGB at 2048 x 2048 from memory to memory: the Q12 3 x 3 engine on 8-bit samples
// (the per-paint cost of every YCbCr frame) and the double road on 16 bits, against
// single-threaded cv::cvtColor(COLOR_YCrCb2RGB) on the same 8-bit pixels.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "vek_colormatrix.h"
#include "vek_engine.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"

namespace {

constexpr uint32_t kSide = 2048;

template <class T>
std::vector<T> pixels()
{
    std::vector<T> v(size_t(kSide) * kSide * 3);
    uint32_t x = 12345;
    for (auto& s : v) {
        x = x * 1103515245u + 12345u;
        s = T(x >> (sizeof(T) == 1 ? 24 : 16));
    }
    return v;
}

template <class T>
void ycbcr_to_rgb(benchmark::State& state, bool fixed)
{
    const std::vector<T> in = pixels<T>();
    std::vector<T> out(in.size());
    const double half = sizeof(T) == 1 ? 128.0 : 32768.0;
    const double coefficients[9] = {1.0, 0.0, 1.402, 1.0, -0.3441, -0.7141, 1.0, 1.772, 0.0};
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Matrix<double> matrix(&m);
        matrix.resize(3, 3);
        for (uint32_t i = 0; i < 9; ++i)
            matrix.set(i / 3, i % 3, coefficients[i]);
        VEK_Vector<double> offsets(&m);
        offsets.push_back(0.0);
        offsets.push_back(-half);
        offsets.push_back(-half);
        VEK_Header h(&m);
        h.width(kSide);
        h.height(kSide);
        h.bits(sizeof(T) * 8);
        h.channels(3);
        h.color_type(VEK_ColorType_ycbcr::instance());
        VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size() * sizeof(T)));
        e = VEK_ColorMatrix(&m).engine(e, matrix, &offsets, nullptr, VEK_ColorType_s_rgb::instance(), fixed);
        VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size() * sizeof(T)));
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
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);   // pixels
}

void opencv_ycrcb_to_rgb(benchmark::State& state)
{
    cv::setNumThreads(1);
    const std::vector<uint8_t> in = pixels<uint8_t>();
    const cv::Mat src(static_cast<int>(kSide), static_cast<int>(kSide), CV_8UC3, const_cast<uint8_t*>(in.data()));
    cv::Mat dst(static_cast<int>(kSide), static_cast<int>(kSide), CV_8UC3);
    for (auto _ : state)
        cv::cvtColor(src, dst, cv::COLOR_YCrCb2RGB);
    benchmark::DoNotOptimize(dst.data);
    state.SetItemsProcessed(int64_t(state.iterations()) * kSide * kSide);
}

void q12_u8(benchmark::State& state)
{
    ycbcr_to_rgb<uint8_t>(state, true);
}
void double_u16(benchmark::State& state)
{
    ycbcr_to_rgb<uint16_t>(state, false);
}

}   // namespace

BENCHMARK(q12_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_ycrcb_to_rgb)->Unit(benchmark::kMillisecond);
BENCHMARK(double_u16)->Unit(benchmark::kMillisecond);
