// Cropping memory to memory: the 1024 x 1024 centre of a 2048 x 2500 image, 16-bit against
// OpenCV's copy of the same region, and 1-bit with the first column inside a byte.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>

#include <cstdint>
#include <vector>

#include "vek_crop.h"
#include "vek_errorhandler.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"

namespace {

constexpr uint32_t kWidth = 2048, kHeight = 2500, kCut = 1024;
constexpr uint32_t kY = (kHeight - kCut) / 2;

std::vector<uint8_t> make_image(size_t bytes)
{
    std::vector<uint8_t> v(bytes);
    uint32_t s = 12345;
    for (uint8_t& b : v) {
        s = s * 1103515245u + 12345u;
        b = uint8_t(s >> 16);
    }
    return v;
}

// One job: read the image, crop, write the rectangle into out.
bool crop_job(uint16_t bits, const std::vector<uint8_t>& in, uint32_t x, std::vector<uint8_t>& out)
{
    VEK_DefaultManager m;
    VEK_Header h(&m);
    h.width(kWidth);
    h.height(kHeight);
    h.bits(bits);
    h.channels(1);
    h.color_type(VEK_ColorType_gray::instance());
    uint32_t written = 0;
    VEK_Engine* source = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size()));
    VEK_Engine* cut = VEK_Crop(&m).engine(source, x, kY, kCut, kCut);
    VEK_Engine* sink = VEK_WriteMemory(&m).engine(cut, out.data(), uint32_t(out.size()), &written);
    if (sink != nullptr)
        while (sink->execute()) {
        }
    VEK_Status st(&m);
    return m.status(st) && written == out.size();
}

void BM_Crop16Bit(benchmark::State& state)
{
    const std::vector<uint8_t> in = make_image(size_t(kWidth) * kHeight * 2);
    std::vector<uint8_t> out(size_t(kCut) * kCut * 2);
    for (auto _ : state) {
        if (!crop_job(16, in, (kWidth - kCut) / 2, out))
            state.SkipWithError("crop failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

void BM_OpenCVCrop16Bit(benchmark::State& state)
{
    cv::setNumThreads(1);
    std::vector<uint8_t> in = make_image(size_t(kWidth) * kHeight * 2);
    constexpr int kRows = kHeight, kCols = kWidth, kSide = kCut;
    const cv::Mat src(kRows, kCols, CV_16UC1, in.data());
    cv::Mat dst(kSide, kSide, CV_16UC1);
    const cv::Rect roi((kCols - kSide) / 2, int{kY}, kSide, kSide);
    for (auto _ : state) {
        cv::Mat(src, roi).copyTo(dst);
        benchmark::DoNotOptimize(dst.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(dst.total() * dst.elemSize()));
}

// The first column 3 pixels into a byte: every output byte joins two source bytes.
void BM_Crop1BitShifted(benchmark::State& state)
{
    const std::vector<uint8_t> in = make_image(size_t(kWidth / 8) * kHeight);
    std::vector<uint8_t> out(size_t(kCut / 8) * kCut);
    for (auto _ : state) {
        if (!crop_job(1, in, (kWidth - kCut) / 2 + 3, out))
            state.SkipWithError("crop failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(out.size()));
}

}   // namespace

BENCHMARK(BM_Crop16Bit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenCVCrop16Bit)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Crop1BitShifted)->Unit(benchmark::kMicrosecond);
