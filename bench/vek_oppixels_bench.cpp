// Pixel operators between two 2048 x 2048 images, memory to memory: the 16-bit AND at (0, 0)
// against OpenCV's bitwise_and, the saturating add of signed 16-bit samples against cv::add,
// and the 1-bit AND at X = 3 (shifted bytes) and X = 8 (whole bytes).
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "bench_vek.h"
#include "vek_and.h"
#include "vek_oppixels.h"

namespace {

constexpr uint32_t kSide = 2048;

std::vector<uint8_t> make_image(size_t bytes, uint32_t seed)
{
    std::vector<uint8_t> v(bytes);
    uint32_t s = seed;
    for (uint8_t& b : v) {
        s = s * 1103515245u + 12345u;
        b = uint8_t(s >> 16);
    }
    return v;
}

VEK_Engine* read(VEK_Manager& m, uint32_t width, uint16_t bits, const VEK_DataType* type,
                 const std::vector<uint8_t>& in)
{
    VEK_Header h(&m);
    bench_header(h, width, kSide, bits, 1, VEK_ColorType_gray::instance());
    h.data_type(type);
    return VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()));
}

// One job: both images from memory, combined by make, written into out.
template <class Make>
bool op_job(uint32_t second_width, uint16_t bits, const VEK_DataType* type, const std::vector<uint8_t>& a,
            const std::vector<uint8_t>& b, std::vector<uint8_t>& out, Make make)
{
    VEK_DefaultManager m;
    uint32_t written = 0;
    VEK_Engine* e = make(m, read(m, kSide, bits, type, a), read(m, second_width, bits, type, b));
    VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()), &written);
    return bench_drain(m, sink) && written == out.size();
}

void BM_And16Bit(benchmark::State& state)
{
    const size_t bytes = size_t(kSide) * kSide * 2;
    const std::vector<uint8_t> a = make_image(bytes, 1), b = make_image(bytes, 2);
    std::vector<uint8_t> out(bytes);
    for (auto _ : state) {
        if (!op_job(kSide, 16, VEK_DataType::u_integer, a, b, out,
                    [](VEK_Manager& m, VEK_Engine* x, VEK_Engine* y) { return VEK_And(&m).engine(x, y, 0, 0); }))
            state.SkipWithError("and failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// The peer's op(x, y, dst) on two 16-bit images of the given type made from the seeds.
template <class Op>
void opencv_op(benchmark::State& state, int type, uint32_t seed_a, uint32_t seed_b, Op op)
{
    std::vector<uint8_t> a = make_image(size_t(kSide) * kSide * 2, seed_a),
                         b = make_image(size_t(kSide) * kSide * 2, seed_b);
    constexpr int kN = int(kSide);
    const cv::Mat x(kN, kN, type, a.data()), y(kN, kN, type, b.data());
    cv::Mat dst(kN, kN, type);
    bench_opencv(state, dst, [&](cv::Mat& d) { op(x, y, d); });
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(dst.total() * dst.elemSize()));
}

void BM_OpenCVAnd16Bit(benchmark::State& state)
{
    opencv_op(state, CV_16UC1, 1, 2, [](const cv::Mat& x, const cv::Mat& y, cv::Mat& d) { cv::bitwise_and(x, y, d); });
}

void BM_AddShort(benchmark::State& state)
{
    const size_t bytes = size_t(kSide) * kSide * 2;
    const std::vector<uint8_t> a = make_image(bytes, 3), b = make_image(bytes, 4);
    std::vector<uint8_t> out(bytes);
    for (auto _ : state) {
        if (!op_job(kSide, 16, VEK_DataType::s_integer, a, b, out, [](VEK_Manager& m, VEK_Engine* x, VEK_Engine* y) {
                VEK_Vector<VEK_Engine*> engines(&m);
                if (!engines.push_back(x) || !engines.push_back(y))
                    return static_cast<VEK_Engine*>(nullptr);
                return VEK_OpPixels8xNBitsUnMasked<VEK_PixelOperator::Add, short>(&m).engine(engines, 0, 0);
            }))
            state.SkipWithError("add failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

void BM_OpenCVAddShort(benchmark::State& state)
{
    opencv_op(state, CV_16SC1, 3, 4, [](const cv::Mat& x, const cv::Mat& y, cv::Mat& d) { cv::add(x, y, d); });
}

// A second image 8 pixels narrower, placed at X = range(0): nothing to crop.
void BM_And1Bit(benchmark::State& state)
{
    const int32_t x = int32_t(state.range(0));
    const size_t bytes = size_t(kSide / 8) * kSide;
    const std::vector<uint8_t> a = make_image(bytes, 5), b = make_image(size_t((kSide - 8) / 8) * kSide, 6);
    std::vector<uint8_t> out(bytes);
    for (auto _ : state) {
        if (!op_job(kSide - 8, 1, VEK_DataType::u_integer, a, b, out,
                    [x](VEK_Manager& m, VEK_Engine* p, VEK_Engine* q) { return VEK_And(&m).engine(p, q, x, 0); }))
            state.SkipWithError("and failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

}   // namespace

BENCHMARK(BM_And16Bit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCVAnd16Bit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddShort)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCVAddShort)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_And1Bit)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond);
