// Lossless decoding of streams that DCMTK's encoder makes in the same run: the codec's whole
// decode (header, start, every row) against DCMTK's in-process decode of the same stream; GDCM's
// (reading the DICOM file from memory, then decoding) is reported beside them.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

#include <gdcmImageReader.h>

#include "bench_jpeg_lossless.h"
#include "jpeg/jpegdecode.h"

namespace {

using bench_jpeg::dcmtk_decode;
using bench_jpeg::lossless_stream;
using Stream = bench_jpeg::LosslessStream;

// Counts the peak of live bytes through the decoder's allocator.
struct Heap {
    std::map<void*, uint32_t> sizes;
    int64_t live = 0;
    int64_t peak = 0;
};

void* HeapAlloc(void* user, uint32_t size)
{
    auto* heap = static_cast<Heap*>(user);
    void* p = std::malloc(size == 0 ? 1 : size);
    heap->sizes[p] = size;
    heap->live += size;
    heap->peak = heap->live > heap->peak ? heap->live : heap->peak;
    return p;
}

void HeapFree(void* user, void* p)
{
    if (p == nullptr)
        return;
    auto* heap = static_cast<Heap*>(user);
    heap->live -= heap->sizes[p];
    heap->sizes.erase(p);
    std::free(p);
}

void codec_decode(benchmark::State& state, int width, int height, int sv)
{
    Stream& s = lossless_stream(width, height, sv);
    std::vector<uint16_t> image(size_t(width) * height);
    const jpeg_allocator allocator{&HeapAlloc, &HeapFree};
    Heap heap;
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    for (auto _ : state) {
        jpeg_decoder* d = jpeg_decoder_create(&allocator, &heap);
        jpeg_source source{};
        jpeg_mem_source_create(d, s.jpeg.data(), s.jpeg.size(), &source);
        jpeg_set_source(d, &source);
        if (jpeg_read_header(d, JPEG_COLOR_NONE, uint32_t(s.jpeg.size()), nullptr) < 1 || jpeg_start_decode(d) < 1)
            state.SkipWithError("start failed");
        for (int y = 0; y < height; ++y)
            jpeg_decode_row(d, reinterpret_cast<uint8_t*>(image.data() + size_t(y) * width));
        jpeg_decoder_destroy(d);
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    if (image != s.pixels)
        state.SkipWithError("decoded samples differ from the image");
    state.counters["peak_bytes"] = double(heap.peak);
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}

void gdcm_decode(benchmark::State& state, int width, int height, int sv)
{
    Stream& s = lossless_stream(width, height, sv);
    std::vector<char> out(size_t(width) * height * 2);
    for (auto _ : state) {
        std::istringstream in(s.file);
        gdcm::ImageReader reader;
        reader.SetStream(in);
        if (!reader.Read() || !reader.GetImage().GetBuffer(out.data()))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}

void BM_CodecCt(benchmark::State& state)
{
    codec_decode(state, 512, 512, int(state.range(0)));
}
void BM_DcmtkCt(benchmark::State& state)
{
    dcmtk_decode(state, 512, 512, int(state.range(0)));
}
void BM_GdcmCt(benchmark::State& state)
{
    gdcm_decode(state, 512, 512, int(state.range(0)));
}
void BM_CodecCr(benchmark::State& state)
{
    codec_decode(state, 2048, 2500, 1);
}
void BM_DcmtkCr(benchmark::State& state)
{
    dcmtk_decode(state, 2048, 2500, 1);
}
void BM_GdcmCr(benchmark::State& state)
{
    gdcm_decode(state, 2048, 2500, 1);
}

}   // namespace

BENCHMARK(BM_CodecCt)->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DcmtkCt)->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GdcmCt)->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecCr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DcmtkCr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GdcmCr)->Unit(benchmark::kMillisecond);
