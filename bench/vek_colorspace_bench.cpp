// VEK_ColorSpace end to end, memory to memory, against single-threaded OpenCV on the same pixels:
// ycbcr to s_rgb (every YCbCr frame, every paint) beside the bare matrix engine, gray_reverse to
// gray against cv::LUT, s_rgb to hsl against cvtColor's full-range HLS; and what the general
// route's engine() call costs in time and peak memory while it samples its table.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "bench_vek.h"
#include "vek_colormatrix.h"
#include "vek_colorspace.h"
#include "vek_engine.h"

namespace {

std::vector<uint8_t> pixels(uint32_t side, uint32_t channels)
{
    std::vector<uint8_t> v(size_t(side) * side * channels);
    uint32_t x = 12345;
    for (auto& s : v) {
        x = x * 1103515245u + 12345u;
        s = uint8_t(x >> 24);
    }
    return v;
}

// Counts the bytes the library holds and their peak.
class PeakMemoryManager : public VEK_MemoryManager {
public:
    void* allocate(uint32_t size) override
    {
        void* p = std::malloc(size == 0 ? 1 : size);
        if (p == nullptr)
            return nullptr;
        sizes_[p] = size;
        held_ += size;
        if (held_ > peak_)
            peak_ = held_;
        return p;
    }
    void free(void* pointer) override
    {
        if (pointer == nullptr)
            return;
        auto it = sizes_.find(pointer);
        if (it != sizes_.end()) {
            held_ -= it->second;
            sizes_.erase(it);
        }
        std::free(pointer);
    }
    uint64_t peak() const { return peak_; }

private:
    std::map<void*, uint64_t> sizes_;
    uint64_t held_ = 0, peak_ = 0;
};

using PeakManager = VEK_ManagerImpl<PeakMemoryManager, VEK_FirstErrorHandler, VEK_BlockWorkflow>;

// One whole conversion per iteration; make builds the chain on the reader.
template <class Make>
void run_chain(benchmark::State& state, uint32_t side, const VEK_ColorType* from, uint32_t out_channels, Make make)
{
    const std::vector<uint8_t> in = pixels(side, from->channels());
    std::vector<uint8_t> out(size_t(side) * side * out_channels);
    for (auto _ : state) {
        VEK_DefaultManager m;
        VEK_Header h(&m);
        bench_header(h, side, side, 8, from->channels(), from);
        VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()));
        e = make(&m, e);
        VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()));
        if (!bench_drain(m, sink)) {
            state.SkipWithError("chain failed");
            break;
        }
    }
    benchmark::DoNotOptimize(out.data());
    state.SetItemsProcessed(int64_t(state.iterations()) * side * side);
}

auto colorspace(const VEK_ColorType* target)
{
    return [target](VEK_Manager* m, VEK_Engine* e) { return VEK_ColorSpace(m).engine(e, target); };
}

void ycbcr_to_srgb(benchmark::State& state)
{
    run_chain(state, uint32_t(state.range(0)), VEK_ColorType_ycbcr::instance(), 3,
              colorspace(VEK_ColorType_s_rgb::instance()));
}

// The matrix engine alone with the matrix and offsets the plan carries.
void bare_matrix(benchmark::State& state)
{
    run_chain(state, uint32_t(state.range(0)), VEK_ColorType_ycbcr::instance(), 3, [](VEK_Manager* m, VEK_Engine* e) {
        const double coefficients[9] = {1.0, 0.0, 1.402, 1.0, -0.3441, -0.7141, 1.0, 1.772, 0.0};
        VEK_Matrix<double> matrix(m);
        matrix.resize(3, 3);
        for (uint32_t i = 0; i < 9; ++i)
            matrix.set(i / 3, i % 3, coefficients[i]);
        VEK_Vector<double> offsets(m);
        offsets.push_back(0.0);
        offsets.push_back(-128.0);
        offsets.push_back(-128.0);
        return VEK_ColorMatrix(m).engine(e, matrix, &offsets, nullptr, VEK_ColorType_s_rgb::instance(), true);
    });
}

void opencv_cvt(benchmark::State& state, uint32_t in_channels, int code)
{
    cv::setNumThreads(1);
    const int side = int(state.range(0));
    const std::vector<uint8_t> in = pixels(uint32_t(side), in_channels);
    const cv::Mat src(side, side, CV_8UC(int(in_channels)), const_cast<uint8_t*>(in.data()));
    cv::Mat dst;
    for (auto _ : state)
        cv::cvtColor(src, dst, code);
    benchmark::DoNotOptimize(dst.data);
    state.SetItemsProcessed(int64_t(state.iterations()) * side * side);
}

void opencv_ycrcb_to_rgb(benchmark::State& state)
{
    opencv_cvt(state, 3, cv::COLOR_YCrCb2RGB);
}

void gray_reverse_to_gray(benchmark::State& state)
{
    run_chain(state, 2048, VEK_ColorType_gray_reverse::instance(), 1, colorspace(VEK_ColorType_gray::instance()));
}

void opencv_lut(benchmark::State& state)
{
    cv::setNumThreads(1);
    const std::vector<uint8_t> in = pixels(2048, 1);
    const cv::Mat src(2048, 2048, CV_8UC1, const_cast<uint8_t*>(in.data()));
    cv::Mat table(1, 256, CV_8UC1), dst;
    for (int i = 0; i < 256; ++i)
        table.at<uint8_t>(i) = uint8_t(255 - i);
    for (auto _ : state)
        cv::LUT(src, table, dst);
    benchmark::DoNotOptimize(dst.data);
    state.SetItemsProcessed(int64_t(state.iterations()) * 2048 * 2048);
}

void srgb_to_hsl(benchmark::State& state)
{
    run_chain(state, 2048, VEK_ColorType_s_rgb::instance(), 3, colorspace(VEK_ColorType_hsl::instance()));
}

void opencv_rgb_to_hls_full(benchmark::State& state)
{
    opencv_cvt(state, 3, cv::COLOR_RGB2HLS_FULL);
}

// The engine() call of the general route on a 1 x 1 image: the table is sampled there.
void general_engine_call(benchmark::State& state, const VEK_ColorType* from, const VEK_ColorType* to, uint16_t bits)
{
    std::vector<uint8_t> in(size_t(from->channels()) * bits / 8, 0);
    uint64_t peak = 0;
    for (auto _ : state) {
        PeakManager m;
        VEK_Header h(&m);
        bench_header(h, 1, 1, bits, from->channels(), from);
        VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()));
        benchmark::DoNotOptimize(VEK_ColorSpace(&m).engine(e, to));
        peak = m.memory_manager().peak();
    }
    state.counters["peak_bytes"] = double(peak);
}

void srgb_to_icc_lab_engine(benchmark::State& state)
{
    general_engine_call(state, VEK_ColorType_s_rgb::instance(), VEK_ColorType_icc_lab::instance(), 8);
}
void cmyk_to_xyz_engine(benchmark::State& state)
{
    general_engine_call(state, VEK_ColorType_cmyk::instance(), VEK_ColorType_xyz::instance(), 16);
}

}   // namespace

BENCHMARK(ycbcr_to_srgb)->Arg(2048)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(bare_matrix)->Arg(2048)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_ycrcb_to_rgb)->Arg(2048)->Arg(512)->Unit(benchmark::kMillisecond);
BENCHMARK(gray_reverse_to_gray)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_lut)->Unit(benchmark::kMillisecond);
BENCHMARK(srgb_to_hsl)->Unit(benchmark::kMillisecond);
BENCHMARK(opencv_rgb_to_hls_full)->Arg(2048)->Unit(benchmark::kMillisecond);
BENCHMARK(srgb_to_icc_lab_engine)->Unit(benchmark::kMillisecond);
BENCHMARK(cmyk_to_xyz_engine)->Unit(benchmark::kMillisecond);
