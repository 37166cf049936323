// The JPEG readers' whole chain into caller memory (information, decode engine, memory writer)
// against the codec decoding the same stream into rows directly and against the peers in the
// same run: libjpeg-turbo for the 1024 x 1024 grey and 4:2:0 baseline streams, DCMTK for a
// 512 x 512 16-bit SV1 lossless stream.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_jpeg.h"
#include "bench_jpeg_lossless.h"
#include "jpeg/jpegdecode.h"
#include "jpegpeer.h"
#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readjpeg.h"

namespace {

constexpr int kLossless = 512;

// Baseline kinds of bench_jpeg::Stream: 0 grey, 1 4:2:0.
void label(benchmark::State& state, int kind)
{
    state.SetLabel(kind == 0 ? "grey" : "4:2:0");
    state.SetBytesProcessed(int64_t(state.iterations()) * bench_jpeg::kSize * bench_jpeg::kSize);
}

// A manager per call, as the viewer makes them; the chain ends in the caller's memory.
template <class Reader>
bool read_chain(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, Reader make)
{
    VEK_DefaultManager m;
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, stream.data(), int32_t(stream.size()));
    if (storage == nullptr)
        return false;
    VEK_Engine* e = make(m, storage);
    storage->destroy();
    if (e == nullptr)
        return false;
    out.resize(size_t(e->header()->line_bytes()) * e->header()->height());
    VEK_Engine* sink = VEK_WriteRawByteArray(&m).engine(e, out.data(), uint32_t(out.size()));
    if (sink == nullptr)
        return false;
    while (sink->execute()) {
    }
    VEK_Status status(&m);
    return m.status(status);
}

// The codec alone over its memory source, rows into the caller's image.
bool codec_rows(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out)
{
    jpeg_decoder* decoder = jpeg_decoder_create(nullptr, nullptr);
    jpeg_source source{};
    jpeg_mem_source_create(decoder, stream.data(), stream.size(), &source);
    jpeg_set_source(decoder, &source);
    bool ok = jpeg_read_header(decoder, JPEG_COLOR_NONE, uint32_t(stream.size()), nullptr) >= 1 &&
              jpeg_start_decode(decoder) >= 1;
    const size_t row = size_t(jpeg_width(decoder)) * decoder->component_count * (decoder->sample_bits > 8 ? 2 : 1);
    out.resize(row * jpeg_height(decoder));
    for (uint32_t y = 0; ok && y < jpeg_height(decoder); ++y)
        ok = jpeg_decode_row(decoder, out.data() + row * y) >= 1;
    jpeg_decoder_destroy(decoder);
    return ok;
}

void BM_ReadJPEGChain(benchmark::State& state)
{
    const int kind = int(state.range(0));
    const std::vector<uint8_t>& stream = bench_jpeg::Stream(kind);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        if (!read_chain(stream, out,
                        [](VEK_Manager& m, VEK_InputStorage* s) { return VEK_ReadJPEG(&m).engine(s, 256); })) {
            state.SkipWithError("chain failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    label(state, kind);
}

void BM_CodecRows(benchmark::State& state)
{
    const int kind = int(state.range(0));
    const std::vector<uint8_t>& stream = bench_jpeg::Stream(kind);
    std::vector<uint8_t> out;
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    for (auto _ : state) {
        if (!codec_rows(stream, out)) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    label(state, kind);
}

void BM_LibjpegTurboRows(benchmark::State& state)
{
    const int kind = int(state.range(0));
    const std::vector<uint8_t>& stream = bench_jpeg::Stream(kind);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        PeerDecodeInto(stream, out);
        benchmark::DoNotOptimize(out.data());
    }
    label(state, kind);
}

void BM_ReadLosslessJPEGChain(benchmark::State& state)
{
    bench_jpeg::LosslessStream& s = bench_jpeg::lossless_stream(kLossless, kLossless, 1);
    std::vector<uint8_t> out;
    for (auto _ : state) {
        if (!read_chain(s.jpeg, out,
                        [](VEK_Manager& m, VEK_InputStorage* in) { return VEK_ReadLosslessJPEG(&m).engine(in); })) {
            state.SkipWithError("chain failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    if (out.size() != s.pixels.size() * 2 || std::memcmp(out.data(), s.pixels.data(), out.size()) != 0)
        state.SkipWithError("decoded samples differ from the image");
    state.SetItemsProcessed(int64_t(state.iterations()) * kLossless * kLossless);
}

void BM_CodecLosslessRows(benchmark::State& state)
{
    bench_jpeg::LosslessStream& s = bench_jpeg::lossless_stream(kLossless, kLossless, 1);
    std::vector<uint8_t> out;
    jpeg_cpu_init();
    jpeg_range_table_create(nullptr, nullptr);
    for (auto _ : state) {
        if (!codec_rows(s.jpeg, out)) {
            state.SkipWithError("decode failed");
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kLossless * kLossless);
}

void BM_DcmtkLossless(benchmark::State& state)
{
    bench_jpeg::dcmtk_decode(state, kLossless, kLossless, 1);
}

}   // namespace

BENCHMARK(BM_ReadJPEGChain)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CodecRows)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibjpegTurboRows)->DenseRange(0, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadLosslessJPEGChain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecLosslessRows)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DcmtkLossless)->Unit(benchmark::kMicrosecond);
