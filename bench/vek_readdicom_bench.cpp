// One frame of a DICOM file through VEK_ReadDICOM into memory: a 512 x 512 s16 RLE CT against
// DCMTK's RLE decoder (DcmRLEDecoder per segment, then the byte planes joined into samples, as
// its codec does), plus native CT, planar RGB and YBR_FULL_422 for the record.
// JPEG: a lossless s16 CT and a baseline YBR_FULL_422 frame that DCMTK encodes in the same run,
// against DicomImage decoding the same file (getOutputData at the stored depth), and against the
// JPEG reader decoding the frame's fragment directly: the read engine's own cost.
#include <benchmark/benchmark.h>
#include <dcmtk/config/osconfig.h>
#include <dcmtk/dcmdata/dcrledec.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmimage/diregist.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>
#include <dcmtk/dcmjpeg/djrploss.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "vek_managerimpl.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readdicom.h"
#include "vek_readjpeg.h"
#include "vek_test_dicom.h"

namespace {

std::vector<uint8_t> colour_file(const char* photometric, uint16_t planar, uint32_t value_bytes)
{
    DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.1");
    d.us(0x0028, 0x0002, {3});
    d.text(0x0028, 0x0004, "CS", photometric);
    d.us(0x0028, 0x0006, {planar});
    d.us(0x0028, 0x0010, {512});
    d.us(0x0028, 0x0011, {512});
    d.us(0x0028, 0x0100, {8});
    d.us(0x0028, 0x0101, {8});
    d.us(0x0028, 0x0102, {7});
    d.us(0x0028, 0x0103, {0});
    std::vector<uint8_t> pixels(value_bytes);
    for (uint32_t i = 0; i < value_bytes; ++i)
        pixels[i] = uint8_t(i * 7 + i / 512);
    d.element(0x7FE0, 0x0010, "OB", pixels);
    return d.bytes;
}

// Each iteration builds a chain with make, runs it into out and clears the job.
template <class Make>
void run_chains(benchmark::State& state, VEK_Manager& m, std::vector<uint8_t>& out, Make make)
{
    for (auto _ : state) {
        VEK_Engine* e = make();
        VEK_Engine* sink = e != nullptr ? VEK_WriteMemory(&m).engine(e, out.data(), uint32_t(out.size())) : nullptr;
        if (sink == nullptr) {
            state.SkipWithError("no chain");
            break;
        }
        while (sink->execute()) {
        }
        benchmark::DoNotOptimize(out.data());
        if (!m.clear()) {
            state.SkipWithError("chain failed");
            break;
        }
    }
}

// Loads the file once; each iteration builds and runs the chain of frame 0 into memory.
void read_frames(benchmark::State& state, const std::vector<uint8_t>& file)
{
    VEK_DefaultManager m;
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, file.data(), int32_t(file.size()));
    VEK_DICOMInfo info(&m);
    if (storage == nullptr || !info.load(storage)) {
        state.SkipWithError("fixture did not load");
        return;
    }
    std::vector<uint8_t> out(uint64_t(info.line_bytes()) * info.height());
    run_chains(state, m, out, [&] { return VEK_ReadDICOM(&m).engine(storage, info, 0); });
    storage->destroy();
    state.counters["MP/s"] =
        benchmark::Counter(double(info.width()) * info.height(), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_VekRleCT(benchmark::State& state)
{
    read_frames(state, read_fixture("rle_ct_dcmtk.dcm"));
}
BENCHMARK(BM_VekRleCT)->Unit(benchmark::kMicrosecond);

void BM_DcmtkRleCT(benchmark::State& state)
{
    const std::vector<uint8_t> file = read_fixture("rle_ct_dcmtk.dcm");
    VEK_DefaultManager m;
    VEK_DICOMInfo info(&m);
    if (!load_bytes(info, m, file)) {
        state.SkipWithError("fixture did not load");
        return;
    }
    const uint32_t at = info.get_frame_positions(0)[0], length = info.get_frame_lengths(0)[0];
    std::vector<uint8_t> frame(file.begin() + at, file.begin() + at + length);
    uint32_t offsets[3];
    std::memcpy(offsets, frame.data() + 4, 8);
    offsets[2] = length;
    const size_t plane = 512 * 512;
    std::vector<uint16_t> out(plane);
    for (auto _ : state) {
        DcmRLEDecoder high(plane), low(plane);
        high.decompress(frame.data() + offsets[0], offsets[1] - offsets[0]);
        low.decompress(frame.data() + offsets[1], offsets[2] - offsets[1]);
        if (high.fail() || low.fail()) {
            state.SkipWithError("DCMTK failed");
            break;
        }
        const uint8_t* h = static_cast<const uint8_t*>(high.getOutputBuffer());
        const uint8_t* l = static_cast<const uint8_t*>(low.getOutputBuffer());
        for (size_t i = 0; i < plane; ++i)
            out[i] = uint16_t(h[i] << 8 | l[i]);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["MP/s"] = benchmark::Counter(double(plane), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_DcmtkRleCT)->Unit(benchmark::kMicrosecond);

void BM_VekNativeCT(benchmark::State& state)
{
    read_frames(state, read_fixture("ct_explicit.dcm"));
}
BENCHMARK(BM_VekNativeCT)->Unit(benchmark::kMicrosecond);

void BM_VekPlanarRGB(benchmark::State& state)
{
    read_frames(state, colour_file("RGB", 1, 512 * 512 * 3));
}
BENCHMARK(BM_VekPlanarRGB)->Unit(benchmark::kMicrosecond);

void BM_VekYbrFull422(benchmark::State& state)
{
    read_frames(state, colour_file("YBR_FULL_422", 0, 512 * 512 * 2));
}
BENCHMARK(BM_VekYbrFull422)->Unit(benchmark::kMicrosecond);

// ---- JPEG frames ----------------------------------------------------------------------

struct Encoded {
    DcmFileFormat compressed;
    std::vector<uint8_t> file;
    int bits = 8;
};

// A 512 x 512 frame encoded by DCMTK: a signed CT (disc, ramps, a little noise) as lossless SV1,
// or an RGB scene as baseline quality 90, which DCMTK writes as YBR_FULL_422.
std::unique_ptr<Encoded> encode(bool ct)
{
    DJEncoderRegistration::registerCodecs();
    DJDecoderRegistration::registerCodecs();
    auto out = std::make_unique<Encoded>();
    DcmDataset* ds = out->compressed.getDataset();
    ds->putAndInsertString(DCM_SOPClassUID, ct ? UID_CTImageStorage : UID_SecondaryCaptureImageStorage);
    ds->putAndInsertString(DCM_SOPInstanceUID, ct ? "1.2.3.4.5.6.7.8.30.1" : "1.2.3.4.5.6.7.8.30.2");
    ds->putAndInsertString(DCM_Modality, ct ? "CT" : "OT");
    ds->putAndInsertUint16(DCM_Rows, 512);
    ds->putAndInsertUint16(DCM_Columns, 512);
    uint32_t seed = 30;
    const auto noise = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return int(seed >> 16) % range;
    };
    if (ct) {
        std::vector<Uint16> pixels(512 * 512);
        for (int y = 0; y < 512; ++y)
            for (int x = 0; x < 512; ++x) {
                const double dx = x - 256.0, dy = y - 256.0;
                const int body = dx * dx + dy * dy < 200.0 * 200.0
                                     ? 1024 + int(40 * std::sin(x * 0.07) + 30 * std::cos(y * 0.05))
                                     : 0;
                pixels[y * 512 + x] = Uint16(int16_t(-1024 + body + noise(24)));
            }
        ds->putAndInsertUint16(DCM_SamplesPerPixel, 1);
        ds->putAndInsertString(DCM_PhotometricInterpretation, "MONOCHROME2");
        ds->putAndInsertUint16(DCM_BitsAllocated, 16);
        ds->putAndInsertUint16(DCM_BitsStored, 16);
        ds->putAndInsertUint16(DCM_HighBit, 15);
        ds->putAndInsertUint16(DCM_PixelRepresentation, 1);
        ds->putAndInsertUint16Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
        out->bits = 16;
    } else {
        std::vector<Uint8> pixels(512 * 512 * 3);
        for (int y = 0; y < 512; ++y)
            for (int x = 0; x < 512; ++x) {
                const bool disc = (x - 300) * (x - 300) + (y - 220) * (y - 220) < 120 * 120;
                Uint8* p = &pixels[(y * 512 + x) * 3];
                p[0] = Uint8(disc ? 200 + noise(30) : x / 2 + noise(8));
                p[1] = Uint8(disc ? 60 + noise(30) : y / 2 + noise(8));
                p[2] = Uint8(128 + 100 * std::sin((x + y) * 0.02) + noise(8));
            }
        ds->putAndInsertUint16(DCM_SamplesPerPixel, 3);
        ds->putAndInsertString(DCM_PhotometricInterpretation, "RGB");
        ds->putAndInsertUint16(DCM_PlanarConfiguration, 0);
        ds->putAndInsertUint16(DCM_BitsAllocated, 8);
        ds->putAndInsertUint16(DCM_BitsStored, 8);
        ds->putAndInsertUint16(DCM_HighBit, 7);
        ds->putAndInsertUint16(DCM_PixelRepresentation, 0);
        ds->putAndInsertUint8Array(DCM_PixelData, pixels.data(), static_cast<unsigned long>(pixels.size()));
    }
    const E_TransferSyntax xfer = ct ? EXS_JPEGProcess14SV1 : EXS_JPEGProcess1;
    DJ_RPLossless lossless(1, 0);
    DJ_RPLossy lossy(90);
    const DcmRepresentationParameter* rp = ct ? static_cast<DcmRepresentationParameter*>(&lossless) : &lossy;
    if (ds->chooseRepresentation(xfer, rp).bad() || !ds->canWriteXfer(xfer))
        return nullptr;
    ds->removeAllButCurrentRepresentations();
    const std::string path = "/tmp/vek_readdicom_bench_" + std::to_string(getpid()) + (ct ? "_ct.dcm" : "_rgb.dcm");
    if (out->compressed.saveFile(path.c_str(), xfer).bad())
        return nullptr;
    std::ifstream in(path, std::ios::binary);
    out->file.assign(std::istreambuf_iterator<char>(in), {});
    std::remove(path.c_str());
    return out;
}

Encoded* encoded(bool ct)
{
    static std::unique_ptr<Encoded> made[2] = {encode(false), encode(true)};
    return made[ct ? 1 : 0].get();
}

void BM_VekJpegLosslessCT(benchmark::State& state)
{
    if (encoded(true) == nullptr)
        return state.SkipWithError("DCMTK could not encode");
    read_frames(state, encoded(true)->file);
}
BENCHMARK(BM_VekJpegLosslessCT)->Unit(benchmark::kMicrosecond);

void BM_VekJpegBaselineYbr422(benchmark::State& state)
{
    if (encoded(false) == nullptr)
        return state.SkipWithError("DCMTK could not encode");
    read_frames(state, encoded(false)->file);
}
BENCHMARK(BM_VekJpegBaselineYbr422)->Unit(benchmark::kMicrosecond);

// The frame's one fragment through the JPEG reader alone, into the same memory.
void read_fragment(benchmark::State& state, bool ct)
{
    const Encoded* e = encoded(ct);
    if (e == nullptr)
        return state.SkipWithError("DCMTK could not encode");
    VEK_DefaultManager m;
    VEK_DICOMInfo info(&m);
    if (!load_bytes(info, m, e->file) || info.get_frame_positions(0).size() != 1)
        return state.SkipWithError("fixture did not load");
    const uint8_t* fragment = e->file.data() + info.get_frame_positions(0)[0];
    auto* storage = vek_create<VEK_ByteArrayInputStorage>(&m, fragment, int32_t(info.get_frame_lengths(0)[0]));
    std::vector<uint8_t> out(uint64_t(info.line_bytes()) * info.height());
    run_chains(state, m, out, [&] {
        storage->seek(0);
        return ct ? VEK_ReadLosslessJPEG(&m).engine(storage) : VEK_ReadJPEG(&m).engine(storage, 256);
    });
    storage->destroy();
    state.counters["MP/s"] = benchmark::Counter(512.0 * 512.0, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_JpegReaderLosslessCT(benchmark::State& state)
{
    read_fragment(state, true);
}
BENCHMARK(BM_JpegReaderLosslessCT)->Unit(benchmark::kMicrosecond);

void BM_JpegReaderBaselineYbr422(benchmark::State& state)
{
    read_fragment(state, false);
}
BENCHMARK(BM_JpegReaderBaselineYbr422)->Unit(benchmark::kMicrosecond);

// DCMTK: a fresh copy of the compressed dataset (untimed) decoded by DicomImage.
void dcmtk_image(benchmark::State& state, bool ct)
{
    Encoded* e = encoded(ct);
    if (e == nullptr)
        return state.SkipWithError("DCMTK could not encode");
    const E_TransferSyntax xfer = ct ? EXS_JPEGProcess14SV1 : EXS_JPEGProcess1;
    for (auto _ : state) {
        state.PauseTiming();
        auto work = std::make_unique<DcmDataset>(*e->compressed.getDataset());
        state.ResumeTiming();
        DicomImage image(work.get(), xfer);
        const void* pixels = image.getStatus() == EIS_Normal ? image.getOutputData(e->bits) : nullptr;
        if (pixels == nullptr) {
            state.SkipWithError("DCMTK failed");
            break;
        }
        benchmark::DoNotOptimize(pixels);
    }
    state.counters["MP/s"] = benchmark::Counter(512.0 * 512.0, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DcmtkJpegLosslessCT(benchmark::State& state)
{
    dcmtk_image(state, true);
}
BENCHMARK(BM_DcmtkJpegLosslessCT)->Unit(benchmark::kMicrosecond);

void BM_DcmtkJpegBaselineYbr422(benchmark::State& state)
{
    dcmtk_image(state, false);
}
BENCHMARK(BM_DcmtkJpegBaselineYbr422)->Unit(benchmark::kMicrosecond);

}   // namespace
