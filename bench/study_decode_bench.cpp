// One 512 x 512 s16 CT frame (rescale -1024, no window) through the image loader, and its
// rendering at 1024 x 1024 with centre 40 width 400, against DCMTK's DicomImage on the same
// file: load with getOutputData(16); createScaledImage with setWindow and getOutputData(8).
#include <benchmark/benchmark.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/oflog/oflog.h>

#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <string>

#include "study/xevvekhelper.h"

namespace {

const char* const kFile = VEK_TEST_DATA_DIR "/ct_explicit.dcm";
constexpr unsigned long kTarget = 1024;

void quiet_dcmtk()
{
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
}

// Minor page faults of this thread so far.
double ThreadFaults()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_minflt);
}

void BM_StudyLoadImage(benchmark::State& state)
{
    const QString path = QString::fromUtf8(kFile);
    const double faults = ThreadFaults();
    for (auto _ : state) {
        XEVVEKHelper helper;
        int32_t frame = 0;
        if (helper.LoadImage(path, frame) == 0) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(helper.GetFrameBits(0));
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    // The frame's own memory goes with the helper each time: its pages count too.
    state.counters["faults/load"] = (ThreadFaults() - faults) / double(std::max<int64_t>(state.iterations(), 1));
}
BENCHMARK(BM_StudyLoadImage)->Unit(benchmark::kMillisecond);

void BM_DcmtkLoadImage(benchmark::State& state)
{
    quiet_dcmtk();
    for (auto _ : state) {
        DicomImage image(kFile);
        const void* data = image.getStatus() == EIS_Normal ? image.getOutputData(16) : nullptr;
        if (data == nullptr) {
            state.SkipWithError("dcmtk load failed");
            break;
        }
        benchmark::DoNotOptimize(data);
    }
    state.counters["frames/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DcmtkLoadImage)->Unit(benchmark::kMillisecond);

// scaleMode 1 smooth, 2 nearest neighbour.
void BM_StudyRender(benchmark::State& state)
{
    XEVVEKHelper helper;
    int32_t frame = 0;
    if (helper.LoadImage(QString::fromUtf8(kFile), frame) == 0) {
        state.SkipWithError("load failed");
        return;
    }
    FrameImageInfo* loaded = helper.GetFrame(0);
    loaded->SetWindow(40, 400, 1);
    helper.scaleMode = int32_t(state.range(0));
    helper.SetViewSize(int32_t(kTarget), int32_t(kTarget));
    for (auto _ : state) {
        if (helper.RenderToView(loaded->Data(), loaded->Size(), 0) == 0) {
            state.SkipWithError("render failed");
            break;
        }
        benchmark::DoNotOptimize(helper.displayData);
    }
}
BENCHMARK(BM_StudyRender)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// interpolate 1 (DCMTK's smooth scaling) or 0 (replication).
void BM_DcmtkRender(benchmark::State& state)
{
    quiet_dcmtk();
    DicomImage image(kFile);
    if (image.getStatus() != EIS_Normal) {
        state.SkipWithError("dcmtk load failed");
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<DicomImage> scaled(image.createScaledImage(kTarget, kTarget, int(state.range(0))));
        if (scaled == nullptr || !scaled->setWindow(40, 400)) {
            state.SkipWithError("dcmtk scale failed");
            break;
        }
        benchmark::DoNotOptimize(scaled->getOutputData(8));
    }
}
BENCHMARK(BM_DcmtkRender)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}   // namespace
