// Decoding into caller rows: the codec against libjpeg-turbo in the same binary, single thread,
// the same output (samples as coded, chroma replicated). Baseline and progressive 1024 x 1024
// streams at full size, a baseline 2048 x 2048 4:2:0 stream at 1/2, 1/4 and 1/8.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "bench_jpeg.h"
#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"

namespace {

using bench_jpeg::kLarge;
using bench_jpeg::kSize;
using bench_jpeg::Stream;

// Counts the live bytes and their peak, for the memory figure.
struct PeakHeap {
    uint64_t live = 0;
    uint64_t peak = 0;
};

void* PeakAlloc(void* user, uint32_t size)
{
    auto* heap = static_cast<PeakHeap*>(user);
    auto* block = static_cast<uint64_t*>(std::malloc(size + sizeof(uint64_t)));
    if (block == nullptr) {
        return nullptr;
    }
    *block = size;
    heap->live += size;
    heap->peak = heap->live > heap->peak ? heap->live : heap->peak;
    return block + 1;
}

void PeakFree(void* user, void* pointer)
{
    auto* block = static_cast<uint64_t*>(pointer) - 1;
    static_cast<PeakHeap*>(user)->live -= *block;
    std::free(block);
}

bool CodecDecode(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, PeakHeap* heap, uint32_t scale = 1)
{
    const jpeg_allocator allocator{&PeakAlloc, &PeakFree};
    jpeg_decoder* decoder = jpeg_decoder_create(&allocator, heap);
    jpeg_source source{};
    jpeg_mem_source_create(decoder, stream.data(), stream.size(), &source);
    jpeg_set_source(decoder, &source);
    bool ok = jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(stream.size()), nullptr) >= 1 &&
              jpeg_set_scale(decoder, scale) >= 1 && jpeg_start_decode(decoder) >= 1;
    if (ok) {
        const size_t row = static_cast<size_t>(jpeg_width(decoder)) *
                           static_cast<size_t>(jpeg_color_code_channels(jpeg_output_color_code(decoder)));
        out.resize(row * jpeg_height(decoder));
        for (uint32_t y = 0; y < jpeg_height(decoder) && ok; ++y) {
            ok = jpeg_decode_row(decoder, out.data() + row * y) >= 1;
        }
    }
    jpeg_decoder_destroy(decoder);
    return ok;
}

void SetLabel(benchmark::State& state, int kind)
{
    static const char* names[6] = {"grey", "4:2:0", "4:4:4", "progressive grey", "progressive 4:2:0", "2048 4:2:0"};
    state.SetLabel(names[kind]);
    const int64_t size = kind == 5 ? kLarge : kSize;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size * size);
}

void BM_CodecDecode(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    const std::vector<uint8_t>& stream = Stream(kind);
    std::vector<uint8_t> out;
    PeakHeap heap;
    for (auto _ : state) {
        if (!CodecDecode(stream, out, &heap)) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["peak_KiB"] = static_cast<double>(heap.peak) / 1024.0;
    SetLabel(state, kind);
}

void BM_LibjpegTurboRows(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const std::vector<uint8_t>& stream = Stream(kind);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        PeerDecodeInto(stream, out);
        benchmark::DoNotOptimize(out.data());
    }
    SetLabel(state, kind);
}

void BM_TurboJpegToRgb(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    const std::vector<uint8_t>& stream = Stream(kind);
    std::vector<uint8_t> out;
    void* handle = PeerTurboCreate();
    for (auto _ : state) {
        PeerDecodeTurbo(handle, stream, out, kSize, kSize, kind == 0 ? 1 : 3);
        benchmark::DoNotOptimize(out.data());
    }
    PeerTurboDestroy(handle);
    SetLabel(state, kind);
}

void BM_CodecScaled(benchmark::State& state)
{
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    const std::vector<uint8_t>& stream = Stream(5);
    std::vector<uint8_t> out;
    PeakHeap heap;
    for (auto _ : state) {
        if (!CodecDecode(stream, out, &heap, static_cast<uint32_t>(state.range(0)))) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    SetLabel(state, 5);
}

void BM_LibjpegTurboScaled(benchmark::State& state)
{
    const std::vector<uint8_t>& stream = Stream(5);
    int width = 0;
    int height = 0;
    for (auto _ : state) {
        std::vector<uint8_t> out = PeerDecodeScaled(stream, static_cast<int>(state.range(0)), &width, &height);
        benchmark::DoNotOptimize(out.data());
    }
    SetLabel(state, 5);
}

}   // namespace

BENCHMARK(BM_CodecDecode)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegTurboRows)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodecScaled)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegTurboScaled)->Arg(2)->Arg(4)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TurboJpegToRgb)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
