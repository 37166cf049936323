// Lossless decoding of streams that DCMTK's encoder makes in the same run: the codec's whole
// decode (header, start, every row) against DCMTK's in-process decode of the same stream; GDCM's
// (reading the DICOM file from memory, then decoding) is reported beside them.

#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <gdcmImageReader.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>

#include "jpeg/jpegdecode.h"

namespace {

struct Stream {
    DcmFileFormat compressed;
    std::vector<uint8_t> jpeg;
    std::vector<uint16_t> pixels;
    std::string file;   // the whole DICOM file, for GDCM
    int width = 0;
    int height = 0;
};

// A CT- or CR-like 16-bit image: smooth ramps, a disc and a little noise.
Stream* make_stream(int width, int height, int sv)
{
    DJEncoderRegistration::registerCodecs();
    DJDecoderRegistration::registerCodecs();
    auto* s = new Stream;
    s->width = width;
    s->height = height;
    std::vector<uint16_t> pixels(size_t(width) * height);
    uint32_t seed = 7;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const double dx = x - width / 2.0, dy = y - height / 2.0;
            const double disc = dx * dx + dy * dy < width * width / 9.0 ? 9000 : 0;
            pixels[size_t(y) * width + x] =
                uint16_t(20000 + disc + 4000.0 * (x + y) / (width + height) + 300 * std::sin(x * 0.05) +
                         int(seed >> 16 & 63));
        }
    DcmDataset* ds = s->compressed.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4.5.6.7.8.9");
    ds->putAndInsertUint16(DCM_Rows, uint16_t(height));
    ds->putAndInsertUint16(DCM_Columns, uint16_t(width));
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 16);
    ds->putAndInsertUint16(DCM_HighBit, 15);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
    s->pixels = pixels;
    const E_TransferSyntax xfer = sv == 1 ? EXS_JPEGProcess14SV1 : EXS_JPEGProcess14;
    DJ_RPLossless rp(sv, 0);
    if (ds->chooseRepresentation(xfer, &rp).bad() || !ds->canWriteXfer(xfer))
        throw std::runtime_error("DCMTK could not encode");
    ds->removeAllButCurrentRepresentations();
    DcmElement* elem = nullptr;
    ds->findAndGetElement(DCM_PixelData, elem);
    DcmPixelSequence* seq = nullptr;
    static_cast<DcmPixelData*>(elem)->getEncapsulatedRepresentation(xfer, &rp, seq);
    DcmPixelItem* item = nullptr;
    if (seq == nullptr || seq->getItem(item, 1).bad()) throw std::runtime_error("no frame");
    Uint8* bytes = nullptr;
    item->getUint8Array(bytes);
    s->jpeg.assign(bytes, bytes + item->getLength());
    const std::string path = "/tmp/jpeg_lossless_bench_" + std::to_string(width) + "_" + std::to_string(sv) + ".dcm";
    if (s->compressed.saveFile(path.c_str(), xfer).bad()) throw std::runtime_error("DCMTK could not save");
    std::ifstream in(path, std::ios::binary);
    s->file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return s;
}

Stream& stream(int width, int height, int sv)
{
    static std::map<std::tuple<int, int, int>, std::unique_ptr<Stream>> made;
    auto& slot = made[{width, height, sv}];
    if (!slot) slot.reset(make_stream(width, height, sv));
    return *slot;
}

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
    if (p == nullptr) return;
    auto* heap = static_cast<Heap*>(user);
    heap->live -= heap->sizes[p];
    heap->sizes.erase(p);
    std::free(p);
}

void codec_decode(benchmark::State& state, int width, int height, int sv)
{
    Stream& s = stream(width, height, sv);
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
    if (image != s.pixels) state.SkipWithError("decoded samples differ from the image");
    state.counters["peak_bytes"] = double(heap.peak);
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}

void dcmtk_decode(benchmark::State& state, int width, int height, int sv)
{
    Stream& s = stream(width, height, sv);
    for (auto _ : state) {
        state.PauseTiming();
        DcmDataset work(*s.compressed.getDataset());
        state.ResumeTiming();
        if (work.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad()) state.SkipWithError("decode failed");
        const Uint16* px = nullptr;
        work.findAndGetUint16Array(DCM_PixelData, px);
        benchmark::DoNotOptimize(px);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}

void gdcm_decode(benchmark::State& state, int width, int height, int sv)
{
    Stream& s = stream(width, height, sv);
    std::vector<char> out(size_t(width) * height * 2);
    for (auto _ : state) {
        std::istringstream in(s.file);
        gdcm::ImageReader reader;
        reader.SetStream(in);
        if (!reader.Read() || !reader.GetImage().GetBuffer(out.data())) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}

void BM_CodecCt(benchmark::State& state) { codec_decode(state, 512, 512, int(state.range(0))); }
void BM_DcmtkCt(benchmark::State& state) { dcmtk_decode(state, 512, 512, int(state.range(0))); }
void BM_GdcmCt(benchmark::State& state) { gdcm_decode(state, 512, 512, int(state.range(0))); }
void BM_CodecCr(benchmark::State& state) { codec_decode(state, 2048, 2500, 1); }
void BM_DcmtkCr(benchmark::State& state) { dcmtk_decode(state, 2048, 2500, 1); }
void BM_GdcmCr(benchmark::State& state) { gdcm_decode(state, 2048, 2500, 1); }

}  // namespace

BENCHMARK(BM_CodecCt)->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DcmtkCt)->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GdcmCt)->DenseRange(1, 7)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CodecCr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DcmtkCr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GdcmCr)->Unit(benchmark::kMillisecond);
