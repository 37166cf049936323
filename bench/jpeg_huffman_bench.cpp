// Huffman decoding of 8x8 blocks at level 0 and at the machine's level against libjpeg-turbo's
// complete single-threaded decode of the same 1024 x 1024 quality-90 streams (grey and 4:2:0)
// made in the same run, in blocks per second; and lossless row decoding with reconstruction
// against DCMTK's complete in-process decode of a 512 x 512 16-bit SV1 stream that DCMTK's
// encoder makes in the same run, in rows per second. Reconstruction alone per predictor.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <turbojpeg.h>

#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>

#include "huffman/huff_decode.h"
#include "jpeg_test_stream.h"
#include "lossless/lossless_reconstruct.h"
#include "processor/kernel_dispatch.h"

namespace {

constexpr int kSide = 1024;
constexpr int kLosslessSide = 512;

int32_t machine_level()
{
    const int32_t saved = dispatch_level.load();
    dispatch_init();
    const int32_t machine = dispatch_level.load();
    dispatch_level.store(saved);
    return machine;
}

// Sets the level, or marks the benchmark skipped when this processor lacks it.
bool use_level(benchmark::State& state, int level)
{
    if (level > dispatch_supported_level()) {
        state.SkipWithError("level not supported by this processor");
        return false;
    }
    dispatch_set_level(level);
    return true;
}

// A smooth scene with edges and a little noise (three channels, the grey one first).
std::vector<unsigned char> scene(int channels)
{
    std::vector<unsigned char> px(size_t(kSide) * kSide * size_t(channels));
    uint32_t seed = 2024;
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            for (int c = 0; c < channels; ++c) {
                seed = seed * 1103515245u + 12345u;
                double v = 128 + 60 * std::sin(x * 0.013 + c) * std::cos(y * 0.021) + 0.05 * (x - y);
                if (((x / 97) + (y / 61)) % 3 == 0)
                    v += 35;
                v += double(int(seed >> 16 & 15) - 8);
                px[(size_t(y) * kSide + size_t(x)) * size_t(channels) + size_t(c)] =
                    static_cast<unsigned char>(v < 0     ? 0
                                               : v > 255 ? 255
                                                         : v);
            }
    return px;
}

struct BaselineStream {
    std::vector<unsigned char> jpeg;
    TestJpeg parsed;
    size_t block_count = 0;
    int pixel_format = TJPF_GRAY;
};

BaselineStream make_baseline(bool colour)
{
    BaselineStream s;
    const std::vector<unsigned char> px = scene(colour ? 3 : 1);
    s.pixel_format = colour ? TJPF_RGB : TJPF_GRAY;
    tjhandle enc = tjInitCompress();
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (tjCompress2(enc, px.data(), kSide, 0, kSide, s.pixel_format, &buf, &size, colour ? TJSAMP_420 : TJSAMP_GRAY, 90,
                    0) != 0)
        throw std::runtime_error(tjGetErrorStr2(enc));
    s.jpeg.assign(buf, buf + size);
    tjFree(buf);
    tjDestroy(enc);
    s.parsed = parse_test_jpeg(s.jpeg);
    s.block_count = colour ? size_t(kSide / 8) * (kSide / 8) * 3 / 2 : size_t(kSide / 8) * (kSide / 8);
    return s;
}

const BaselineStream& baseline(bool colour)
{
    static const BaselineStream grey = make_baseline(false), c420 = make_baseline(true);
    return colour ? c420 : grey;
}

void turbo_decode(benchmark::State& state, bool colour)
{
    const BaselineStream& s = baseline(colour);
    std::vector<unsigned char> out(size_t(kSide) * kSide * (colour ? 3 : 1));
    tjhandle dec = tjInitDecompress();
    for (auto _ : state) {
        if (tjDecompress2(dec, s.jpeg.data(), static_cast<unsigned long>(s.jpeg.size()), out.data(), kSide, 0, kSide,
                          s.pixel_format, 0) != 0)
            state.SkipWithError(tjGetErrorStr2(dec));
        benchmark::DoNotOptimize(out.data());
    }
    tjDestroy(dec);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.block_count));
    state.counters["stream_bytes"] = double(s.jpeg.size());
}

// Every block of the scan through the stub, MCU by MCU.
void huffman_blocks(benchmark::State& state, bool colour, int level)
{
    const BaselineStream& s = baseline(colour);
    const int32_t saved = dispatch_level.load();
    if (!use_level(state, level))
        return;
    const TestJpeg& j = s.parsed;
    std::vector<HuffDecodeSpec> dc(j.scan.size()), ac(j.scan.size());
    std::vector<int> per_mcu(j.scan.size(), 1);
    for (size_t i = 0; i < j.scan.size(); ++i) {
        const TestHuffTable& d = j.dc_tables.at(j.scan[i].dc);
        const TestHuffTable& a = j.ac_tables.at(j.scan[i].ac);
        huff_decode_spec_init(d.counts, d.values.data(), &dc[i]);
        huff_decode_spec_init(a.counts, a.values.data(), &ac[i]);
        if (j.scan.size() > 1)
            per_mcu[i] = j.components[size_t(j.scan[i].index)].h * j.components[size_t(j.scan[i].index)].v;
    }
    const size_t mcus = j.scan.size() > 1 ? size_t(kSide / 16) * (kSide / 16) : s.block_count;
    // One MCU's blocks, reused as a decoder does before its inverse transform.
    alignas(16) int16_t blocks[6 * 64];
    const int32_t length = int32_t(j.data.size());
    for (auto _ : state) {
        int32_t position = 0;
        uint32_t marker = 0;
        HuffDecodeState st;
        huff_decode_state_init(&st);
        int16_t pred[4] = {};
        for (size_t m = 0; m < mcus; ++m) {
            int16_t* out = blocks;
            for (size_t i = 0; i < j.scan.size(); ++i)
                for (int b = 0; b < per_mcu[i]; ++b, out += 64)
                    huff_decode_block_8x8(j.data.data(), length, &position, out, &pred[i], &marker, &dc[i], &ac[i],
                                          &st);
            benchmark::DoNotOptimize(blocks);
        }
        benchmark::ClobberMemory();
    }
    dispatch_level.store(saved);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(s.block_count));
    state.SetLabel("level " + std::to_string(level));
}

void BM_TurboFullDecodeGrey(benchmark::State& state)
{
    turbo_decode(state, false);
}
void BM_TurboFullDecode420(benchmark::State& state)
{
    turbo_decode(state, true);
}
void BM_HuffBlocksGreyLevel0(benchmark::State& state)
{
    huffman_blocks(state, false, 0);
}
void BM_HuffBlocksGreyMachineLevel(benchmark::State& state)
{
    huffman_blocks(state, false, machine_level());
}
void BM_HuffBlocks420Level0(benchmark::State& state)
{
    huffman_blocks(state, true, 0);
}
void BM_HuffBlocks420MachineLevel(benchmark::State& state)
{
    huffman_blocks(state, true, machine_level());
}

// ---- lossless ----

struct LosslessStream {
    DcmFileFormat compressed;   // the encoded dataset alone
    std::vector<uint8_t> jpeg;
    TestJpeg parsed;
    std::vector<uint16_t> pixels;
};

LosslessStream* make_lossless()
{
    DJEncoderRegistration::registerCodecs();
    DJDecoderRegistration::registerCodecs();
    auto* s = new LosslessStream;
    const int n = kLosslessSide;
    s->pixels.resize(size_t(n) * n);
    uint32_t seed = 7;
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            seed = seed * 1103515245u + 12345u;
            s->pixels[size_t(y) * n + size_t(x)] =
                uint16_t(30000 + 6000.0 * (x + y) / (2.0 * n) + 400 * std::sin(x * 0.05) + int(seed >> 16 & 255));
        }
    DcmDataset* ds = s->compressed.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, "1.2.3.4.5.6.7.8.9");
    ds->putAndInsertUint16(DCM_Rows, uint16_t(n));
    ds->putAndInsertUint16(DCM_Columns, uint16_t(n));
    ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
    ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
    ds->putAndInsertUint16(DCM_BitsAllocated, 16);
    ds->putAndInsertUint16(DCM_BitsStored, 16);
    ds->putAndInsertUint16(DCM_HighBit, 15);
    ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
    ds->putAndInsertUint16Array(DCM_PixelData, s->pixels.data(), static_cast<unsigned long>(s->pixels.size()));
    DJ_RPLossless rp(1, 0);
    if (ds->chooseRepresentation(EXS_JPEGProcess14SV1, &rp).bad() || !ds->canWriteXfer(EXS_JPEGProcess14SV1))
        throw std::runtime_error("DCMTK could not encode");
    ds->removeAllButCurrentRepresentations();
    DcmElement* elem = nullptr;
    ds->findAndGetElement(DCM_PixelData, elem);
    DcmPixelSequence* seq = nullptr;
    static_cast<DcmPixelData*>(elem)->getEncapsulatedRepresentation(EXS_JPEGProcess14SV1, &rp, seq);
    DcmPixelItem* item = nullptr;
    if (seq == nullptr || seq->getItem(item, 1).bad())
        throw std::runtime_error("no frame");
    Uint8* bytes = nullptr;
    item->getUint8Array(bytes);
    s->jpeg.assign(bytes, bytes + item->getLength());
    s->parsed = parse_test_jpeg(s->jpeg);
    if (s->parsed.sof != 0xC3 || s->parsed.ss != 1)
        throw std::runtime_error("not an SV1 stream");
    return s;
}

LosslessStream& lossless()
{
    static LosslessStream* s = make_lossless();
    return *s;
}

void BM_DcmtkLosslessDecode(benchmark::State& state)
{
    LosslessStream& s = lossless();
    for (auto _ : state) {
        state.PauseTiming();
        DcmDataset work(*s.compressed.getDataset());
        state.ResumeTiming();
        if (work.chooseRepresentation(EXS_LittleEndianExplicit, nullptr).bad())
            state.SkipWithError("decode failed");
        const Uint16* px = nullptr;
        work.findAndGetUint16Array(DCM_PixelData, px);
        benchmark::DoNotOptimize(px);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kLosslessSide);
}

// Rows decoded and reconstructed; the result is checked once against the image.
void lossless_rows(benchmark::State& state, int level)
{
    LosslessStream& s = lossless();
    const int32_t saved = dispatch_level.load();
    if (!use_level(state, level))
        return;
    const TestJpeg& j = s.parsed;
    HuffDecodeSpec spec;
    const TestHuffTable& t = j.dc_tables.at(j.scan[0].dc);
    huff_decode_spec_init(t.counts, t.values.data(), &spec);
    const HuffDecodeSpec* specs[1] = {&spec};
    const int w = j.width;
    std::vector<uint16_t> diff(static_cast<size_t>(w)), image(static_cast<size_t>(w) * size_t(j.height));
    uint16_t* rows[1] = {diff.data()};
    const int32_t length = int32_t(j.data.size());
    for (auto _ : state) {
        int32_t position = 0;
        uint32_t marker = 0;
        HuffDecodeState st;
        huff_decode_state_init(&st);
        for (int y = 0; y < j.height; ++y) {
            uint16_t* out = image.data() + size_t(y) * size_t(w);
            huff_decode_lossless_row(j.data.data(), length, &position, rows, w, 1, &marker, specs, &st);
            if (y == 0)
                lossless_reconstruct_first_row(diff.data(), out, w, j.precision, j.al);
            else
                lossless_reconstruct_row(diff.data(), out - w, out, w, j.ss);
        }
        benchmark::DoNotOptimize(image.data());
        benchmark::ClobberMemory();
    }
    if (image != s.pixels)
        state.SkipWithError("decoded image differs");
    dispatch_level.store(saved);
    state.SetItemsProcessed(int64_t(state.iterations()) * j.height);
    state.SetLabel("level " + std::to_string(level));
}

void BM_LosslessRowsLevel0(benchmark::State& state)
{
    lossless_rows(state, 0);
}
void BM_LosslessRowsMachineLevel(benchmark::State& state)
{
    lossless_rows(state, machine_level());
}

// Reconstruction alone over the image's rows with predictor state.range(0) (0: first rows).
void BM_LosslessReconstruct(benchmark::State& state)
{
    const int predictor = int(state.range(0));
    const int32_t saved = dispatch_level.load();
    dispatch_set_level(machine_level());
    const int n = kLosslessSide;
    const size_t count = size_t(n) * size_t(n);
    std::vector<uint16_t> diff(count), out(count);
    uint32_t seed = 3;
    for (auto& d : diff)
        d = uint16_t((seed = seed * 1103515245u + 12345u) >> 20);
    for (auto _ : state) {
        for (int y = 0; y < n; ++y) {
            const size_t row = size_t(y) * n;
            if (predictor == 0 || y == 0)
                lossless_reconstruct_first_row(diff.data() + row, out.data() + row, n, 16, 0);
            else
                lossless_reconstruct_row(diff.data() + row, out.data() + row - n, out.data() + row, n, predictor);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    dispatch_level.store(saved);
    state.SetItemsProcessed(int64_t(state.iterations()) * n);
    state.SetLabel(predictor == 0 ? "first rows" : "predictor " + std::to_string(predictor));
}

BENCHMARK(BM_TurboFullDecodeGrey)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HuffBlocksGreyLevel0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HuffBlocksGreyMachineLevel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TurboFullDecode420)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HuffBlocks420Level0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HuffBlocks420MachineLevel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DcmtkLosslessDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LosslessRowsLevel0)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LosslessRowsMachineLevel)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LosslessReconstruct)->DenseRange(0, 7)->Unit(benchmark::kMicrosecond);

}   // namespace
