#pragma once
// Lossless streams that DCMTK's encoder makes in the same run (a CT- or CR-like 16-bit image),
// kept with the DICOM file and the samples, for the lossless decode benchmarks.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <dcmtk/dcmdata/dcpixseq.h>
#include <dcmtk/dcmdata/dcpxitem.h>
#include <dcmtk/dcmdata/dctk.h>
#include <dcmtk/dcmjpeg/djdecode.h>
#include <dcmtk/dcmjpeg/djencode.h>
#include <dcmtk/dcmjpeg/djrplol.h>

#include <benchmark/benchmark.h>

namespace bench_jpeg {

struct LosslessStream {
    DcmFileFormat compressed;
    std::vector<uint8_t> jpeg;
    std::vector<uint16_t> pixels;
    std::string file;   // the whole DICOM file, for GDCM
    int width = 0;
    int height = 0;
};

// A CT- or CR-like 16-bit image: smooth ramps, a disc and a little noise.
inline LosslessStream* make_lossless_stream(int width, int height, int sv)
{
    DJEncoderRegistration::registerCodecs();
    DJDecoderRegistration::registerCodecs();
    auto* s = new LosslessStream;
    s->width = width;
    s->height = height;
    std::vector<uint16_t> pixels(size_t(width) * height);
    uint32_t seed = 7;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            const double dx = x - width / 2.0, dy = y - height / 2.0;
            const double disc = dx * dx + dy * dy < width * width / 9.0 ? 9000 : 0;
            pixels[size_t(y) * width + x] = uint16_t(20000 + disc + 4000.0 * (x + y) / (width + height) +
                                                     300 * std::sin(x * 0.05) + int(seed >> 16 & 63));
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
    if (seq == nullptr || seq->getItem(item, 1).bad())
        throw std::runtime_error("no frame");
    Uint8* bytes = nullptr;
    item->getUint8Array(bytes);
    s->jpeg.assign(bytes, bytes + item->getLength());
    const std::string path = "/tmp/jpeg_lossless_bench_" + std::to_string(width) + "_" + std::to_string(sv) + ".dcm";
    if (s->compressed.saveFile(path.c_str(), xfer).bad())
        throw std::runtime_error("DCMTK could not save");
    std::ifstream in(path, std::ios::binary);
    s->file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return s;
}

inline LosslessStream& lossless_stream(int width, int height, int sv)
{
    static std::map<std::tuple<int, int, int>, std::unique_ptr<LosslessStream>> made;
    auto& slot = made[{width, height, sv}];
    if (!slot)
        slot.reset(make_lossless_stream(width, height, sv));
    return *slot;
}

// DCMTK's in-process decode of the stream's DICOM dataset, copying the dataset untimed.
inline void dcmtk_decode(benchmark::State& state, int width, int height, int sv)
{
    LosslessStream& s = lossless_stream(width, height, sv);
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
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}

}   // namespace bench_jpeg
