// Channel merging and selection at 2048 x 2048 from memory to memory against single-threaded
// cv::merge and cv::extractChannel on the same 8-bit pixels.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <vector>

#include "vek_engine.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_mergechannel.h"
#include "vek_selectchannel.h"

namespace {

constexpr uint32_t kSide = 2048;
constexpr size_t kPlane = size_t(kSide) * kSide;

std::vector<uint8_t> bytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    for (auto& s : v) {
        seed = seed * 1103515245u + 12345u;
        s = uint8_t(seed >> 24);
    }
    return v;
}

VEK_Engine* reader(VEK_Manager& m, const std::vector<uint8_t>& data, uint16_t channels)
{
    VEK_Header h(&m);
    h.width(kSide);
    h.height(kSide);
    h.bits(8);
    h.channels(channels);
    h.color_type(channels == 3 ? VEK_ColorType_s_rgb::instance() : VEK_ColorType_gray::instance());
    return VEK_ReadMemory(&m).engine(h, data.data(), uint32_t(data.size()));
}

bool drain(VEK_Manager& m, VEK_Engine* e, std::vector<uint8_t>& out)
{
    VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()));
    if (sink == nullptr)
        return false;
    while (sink->execute()) {
    }
    VEK_Status st(&m);
    return m.status(st);
}

void merge_three(benchmark::State& state)
{
    const std::vector<uint8_t> r = bytes(kPlane, 1), g = bytes(kPlane, 2), b = bytes(kPlane, 3);
    std::vector<uint8_t> out(3 * kPlane);
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Vector<VEK_Engine*> planes(&m);
        planes.push_back(reader(m, r, 1));
        planes.push_back(reader(m, g, 1));
        planes.push_back(reader(m, b, 1));
        if (!drain(m, VEK_MergeChannel(&m).engine(planes, VEK_ColorType_s_rgb::instance()), out)) {
            state.SkipWithError("chain failed");
            break;
        }
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kPlane));
}

void opencv_merge(benchmark::State& state)
{
    cv::setNumThreads(1);
    std::vector<std::vector<uint8_t>> p{bytes(kPlane, 1), bytes(kPlane, 2), bytes(kPlane, 3)};
    std::vector<cv::Mat> planes;
    for (auto& v : p)
        planes.emplace_back(static_cast<int>(kSide), static_cast<int>(kSide), CV_8UC1, v.data());
    cv::Mat out(static_cast<int>(kSide), static_cast<int>(kSide), CV_8UC3);
    for (auto _ : state)
        cv::merge(planes, out);
    benchmark::DoNotOptimize(out.data);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kPlane));
}

void select_one_of_three(benchmark::State& state)
{
    const std::vector<uint8_t> in = bytes(3 * kPlane, 4);
    std::vector<uint8_t> out(kPlane);
    for (auto _ : state) {
        VEK_DefaultManager m;
        if (!drain(m, VEK_SelectChannel(&m).engine(reader(m, in, 3), 1, VEK_ColorType_gray::instance()), out)) {
            state.SkipWithError("chain failed");
            break;
        }
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kPlane));
}

void opencv_extract_channel(benchmark::State& state)
{
    cv::setNumThreads(1);
    std::vector<uint8_t> in = bytes(3 * kPlane, 4);
    const cv::Mat src(static_cast<int>(kSide), static_cast<int>(kSide), CV_8UC3, in.data());
    cv::Mat out(static_cast<int>(kSide), static_cast<int>(kSide), CV_8UC1);
    for (auto _ : state)
        cv::extractChannel(src, out, 1);
    benchmark::DoNotOptimize(out.data);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(kPlane));
}

}   // namespace

BENCHMARK(merge_three)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_merge)->Unit(benchmark::kMillisecond);
BENCHMARK(select_one_of_three)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_extract_channel)->Unit(benchmark::kMillisecond);
