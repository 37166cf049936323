// Image information of 200 copies of a 512 x 512 16-bit CT: VEK_FileInputStorage and
// VEK_DICOMInfo::load against gdcm::Scanner and DCMTK reading up to Pixel Data, in one run.
#include <benchmark/benchmark.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/oflog/oflog.h>
#include <gdcmScanner.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "vek_dicominfo.h"
#include "vek_fileinputstorage.h"
#include "vek_managerimpl.h"
#include "vek_test_dicom.h"

namespace {

constexpr int kFiles = 200;

// About 100 header elements, as a scanner writes them, in front of the pixels.
std::vector<uint8_t> ct_bytes()
{
    DicomBytes d = DicomBytes::part10("1.2.840.10008.1.2.1");
    d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
    d.text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
    d.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.2");
    d.text(0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.1125.1.42");
    d.text(0x0008, 0x0060, "CS", "CT");
    for (uint16_t i = 0; i < 60; ++i)
        d.text(0x0009, uint16_t(0x1000 + i), "LO", "private value " + std::to_string(i));
    d.text(0x0010, 0x0010, "PN", "DOE^JANE");
    d.text(0x0010, 0x0020, "LO", "123456");
    d.text(0x0018, 0x0050, "DS", "1.25");
    for (uint16_t i = 0; i < 20; ++i)
        d.text(0x0019, uint16_t(0x1000 + i), "DS", std::to_string(i * 1.5));
    d.text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.2");
    d.text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.3");
    d.text(0x0020, 0x0032, "DS", "-125.5\\-130\\45.25");
    d.text(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0");
    d.image(512, 512, 16, "MONOCHROME2");
    d.text(0x0028, 0x1050, "DS", "40");
    d.text(0x0028, 0x1051, "DS", "400");
    d.text(0x0028, 0x1052, "DS", "-1024");
    d.text(0x0028, 0x1053, "DS", "1");
    d.head(0x7FE0, 0x0010, "OW", 512 * 512 * 2);
    d.bytes.resize(d.size() + 512 * 512 * 2, 0x11);
    return d.bytes;
}

struct Folder {
    std::string path;
    std::vector<std::string> files;
    Folder()
    {
        char name[] = "/tmp/vek_dicominfo_bench_XXXXXX";
        path = ::mkdtemp(name);
        const std::vector<uint8_t> bytes = ct_bytes();
        for (int i = 0; i < kFiles; ++i) {
            files.push_back(path + "/CT" + std::to_string(1000 + i) + ".dcm");
            FILE* f = std::fopen(files.back().c_str(), "wb");
            std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    ~Folder() { std::filesystem::remove_all(path); }
};

const Folder& folder()
{
    static const Folder f;
    return f;
}

void per_file(benchmark::State& state)
{
    state.counters["per_file"] = benchmark::Counter(double(state.iterations()) * kFiles,
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_VekDICOMInfo(benchmark::State& state)
{
    const Folder& f = folder();
    for (auto _ : state) {
        for (const std::string& path : f.files) {
            VEK_DefaultManager manager;
            VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, path.c_str());
            VEK_DICOMInfo info(&manager);
            if (storage == nullptr || !info.load(storage) || info.frame_count() != 1 || info.width() != 512)
                state.SkipWithError("load failed");
            benchmark::DoNotOptimize(info.get_frame_positions(0));
            vek_destroy(storage);
        }
    }
    per_file(state);
}
BENCHMARK(BM_VekDICOMInfo)->Unit(benchmark::kMillisecond);

void BM_GdcmScanner(benchmark::State& state)
{
    const Folder& f = folder();
    const gdcm::Directory::FilenamesType names(f.files.begin(), f.files.end());
    for (auto _ : state) {
        gdcm::Scanner scanner;
        for (const gdcm::Tag& t : {gdcm::Tag(0x0002, 0x0010), gdcm::Tag(0x0028, 0x0002), gdcm::Tag(0x0028, 0x0004),
                                   gdcm::Tag(0x0028, 0x0006), gdcm::Tag(0x0028, 0x0008), gdcm::Tag(0x0028, 0x0010),
                                   gdcm::Tag(0x0028, 0x0011), gdcm::Tag(0x0028, 0x0100), gdcm::Tag(0x0028, 0x0103)})
            scanner.AddTag(t);
        if (!scanner.Scan(names) || scanner.GetValue(f.files[0].c_str(), gdcm::Tag(0x0028, 0x0010)) == nullptr)
            state.SkipWithError("scan failed");
    }
    per_file(state);
}
BENCHMARK(BM_GdcmScanner)->Unit(benchmark::kMillisecond);

void BM_DcmtkUpToPixelData(benchmark::State& state)
{
    // Stopping at Pixel Data is what is asked for; its warning per file is noise.
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    const Folder& f = folder();
    for (auto _ : state) {
        for (const std::string& path : f.files) {
            DcmFileFormat file;
            Uint16 rows = 0;
            if (file.loadFileUntilTag(path.c_str(), EXS_Unknown, EGL_noChange, DCM_MaxReadLength, ERM_autoDetect,
                                      DCM_PixelData)
                    .bad() ||
                file.getDataset()->findAndGetUint16(DCM_Rows, rows).bad() || rows != 512)
                state.SkipWithError("load failed");
        }
    }
    per_file(state);
}
BENCHMARK(BM_DcmtkUpToPixelData)->Unit(benchmark::kMillisecond);

}   // namespace
