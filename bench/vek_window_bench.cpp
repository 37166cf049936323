// The viewer's per-paint cost: window and level of a signed 16-bit image to 8 bits, with the
// conversion chosen by the dispatcher, from caller memory to caller memory; against DCMTK's
// DicomImage setWindow + getOutputData(8) on the same samples, in this binary. Every output of
// ours is checked against the formula round(clamp((v - (centre - width / 2)) x 256 / width)).
#include <benchmark/benchmark.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "vek_convertdatatype.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"

namespace {

constexpr double kCentre = 40.0, kWidth = 400.0;

std::vector<int16_t> samples(uint32_t width, uint32_t height)
{
    std::vector<int16_t> in(size_t(width) * height);
    uint32_t x = 1;
    for (auto& s : in) {
        x = x * 1103515245u + 12345u;
        s = int16_t(int32_t(x >> 16 & 0xFFF) - 1024);
    }
    return in;
}

bool window_once(const std::vector<int16_t>& in, uint32_t width, uint32_t height, std::vector<uint8_t>& out)
{
    const double slope = 256.0 / kWidth, intercept = -(kCentre - kWidth / 2) * slope;
    VEK_DefaultManager m;
    VEK_Header h(&m);
    h.width(width);
    h.height(height);
    h.bits(16);
    h.channels(1);
    h.data_type(VEK_DataType::s_integer);
    VEK_Engine* e = VEK_ReadMemory(&m).engine(h, in.data(), uint32_t(in.size() * 2));
    e = VEK_ConvertDataType(&m).engine(e, VEK_DataType::u_integer, 8, slope, intercept);
    VEK_Engine* sink = VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size()));
    while (sink != nullptr && sink->execute()) {
    }
    VEK_Status st(&m);
    return sink != nullptr && m.status(st);
}

void window(benchmark::State& state)
{
    const uint32_t width = uint32_t(state.range(0)), height = uint32_t(state.range(1));
    const std::vector<int16_t> in = samples(width, height);
    std::vector<uint8_t> out(in.size());
    if (!window_once(in, width, height, out)) {
        state.SkipWithError("window failed");
        return;
    }
    const double low = kCentre - kWidth / 2;
    for (size_t i = 0; i < in.size(); ++i) {
        const double want = std::clamp(std::floor((in[i] - low) * 256.0 / kWidth + 0.5), 0.0, 255.0);
        if (out[i] != uint8_t(want)) {
            state.SkipWithError("a value differs from the formula");
            return;
        }
    }
    for (auto _ : state) {
        if (!window_once(in, width, height, out))
            state.SkipWithError("window failed");
    }
    benchmark::DoNotOptimize(out.data());
    state.counters["Msamples/s"] =
        benchmark::Counter(double(state.iterations()) * in.size() / 1e6, benchmark::Counter::kIsRate);
}

// The peer: a monochrome s16 dataset made in memory once; each iteration sets the window and
// renders 8 bits, as a viewer's paint would.
void dcmtk_window(benchmark::State& state)
{
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    const uint32_t width = uint32_t(state.range(0)), height = uint32_t(state.range(1));
    const std::vector<int16_t> in = samples(width, height);
    DcmDataset dataset;
    dataset.putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    dataset.putAndInsertUint16(DCM_SamplesPerPixel, 1);
    dataset.putAndInsertUint16(DCM_Rows, Uint16(height));
    dataset.putAndInsertUint16(DCM_Columns, Uint16(width));
    dataset.putAndInsertUint16(DCM_BitsAllocated, 16);
    dataset.putAndInsertUint16(DCM_BitsStored, 16);
    dataset.putAndInsertUint16(DCM_HighBit, 15);
    dataset.putAndInsertUint16(DCM_PixelRepresentation, 1);
    dataset.putAndInsertUint16Array(DCM_PixelData, reinterpret_cast<const Uint16*>(in.data()), unsigned(in.size()));
    DicomImage image(&dataset, EXS_LittleEndianExplicit);
    if (image.getStatus() != EIS_Normal) {
        state.SkipWithError("dcmtk image failed");
        return;
    }
    for (auto _ : state) {
        if (!image.setWindow(kCentre, kWidth)) {
            state.SkipWithError("dcmtk window failed");
            break;
        }
        benchmark::DoNotOptimize(image.getOutputData(8));
    }
    state.counters["Msamples/s"] =
        benchmark::Counter(double(state.iterations()) * in.size() / 1e6, benchmark::Counter::kIsRate);
}

}   // namespace

BENCHMARK(window)->Args({512, 512})->Args({2048, 2560})->Unit(benchmark::kMillisecond);
BENCHMARK(dcmtk_window)->Args({512, 512})->Args({2048, 2560})->Unit(benchmark::kMillisecond);
