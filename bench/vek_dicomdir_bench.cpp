// A DICOMDIR of 5,650 records (20 patients, 40 studies, 250 series, 5,340 images) loaded
// from a file: VEK_FileInputStorage and VEK_DICOMDIRInfo::load against gdcm::Reader plus
// reading each record's fields, and DCMTK's DcmDicomDir, in one run. The heap each holds
// after the load is reported per record.
#include <benchmark/benchmark.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/oflog/oflog.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "bench_dicomdir.h"
#include "vek_dicomdirinfo.h"
#include "vek_fileinputstorage.h"
#include "vek_managerimpl.h"

namespace {

constexpr int kPatients = 20, kStudies = 40, kSeries = 250, kImages = 5340;
constexpr int kRecords = kPatients + kStudies + kSeries + kImages;

struct Node {
    int level;
    int index;
    int first_child = -1;
    int next = -1;
};

// One record's item body; offsets are fixed-size, so sizes do not depend on them.
std::vector<uint8_t> record(const Node& n, uint32_t next, uint32_t lower)
{
    DicomBytes d;
    d.element(0x0004, 0x1400, "UL", bench_le32(next));
    d.us(0x0004, 0x1410, {0xFFFF});
    d.element(0x0004, 0x1420, "UL", bench_le32(lower));
    const std::string i = std::to_string(n.index);
    switch (n.level) {
    case 0:
        d.text(0x0004, 0x1430, "CS", "PATIENT");
        d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
        d.text(0x0010, 0x0010, "PN", "PATIENT^NUMBER" + i);
        d.text(0x0010, 0x0020, "LO", "PID" + i);
        d.text(0x0010, 0x0030, "DA", "19700101");
        d.text(0x0010, 0x0040, "CS", "O");
        break;
    case 1:
        d.text(0x0004, 0x1430, "CS", "STUDY");
        d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
        d.text(0x0008, 0x0020, "DA", "20260101");
        d.text(0x0008, 0x0030, "TM", "120000");
        d.text(0x0008, 0x0050, "SH", "ACC" + i);
        d.text(0x0008, 0x1030, "LO", "CHEST CT WITH CONTRAST");
        d.text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.20." + i);
        d.text(0x0020, 0x0010, "SH", i);
        break;
    case 2:
        d.text(0x0004, 0x1430, "CS", "SERIES");
        d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
        d.text(0x0008, 0x0060, "CS", "CT");
        d.text(0x0008, 0x103E, "LO", "AXIAL 1.25MM");
        d.text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.30." + i);
        d.text(0x0020, 0x0011, "IS", i);
        break;
    default:
        d.text(0x0004, 0x1430, "CS", "IMAGE");
        d.text(0x0004, 0x1500, "CS", "DICOM\\ST" + std::to_string(n.index % 40) + "\\IM" + i);
        d.text(0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.2");
        d.text(0x0004, 0x1511, "UI", "1.2.826.0.1.3680043.2.1125.40." + i);
        d.text(0x0004, 0x1512, "UI", "1.2.840.10008.1.2.1");
        d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
        d.text(0x0008, 0x0008, "CS", "ORIGINAL\\PRIMARY\\AXIAL");
        d.text(0x0020, 0x0013, "IS", std::to_string(n.index % 22 + 1));
        d.text(0x0020, 0x0032, "DS", "-125.5\\-130\\" + std::to_string(n.index % 22 * 1.25));
        d.text(0x0020, 0x0037, "DS", "1\\0\\0\\0\\1\\0");
        d.us(0x0028, 0x0010, {512});
        d.us(0x0028, 0x0011, {512});
        d.text(0x0028, 0x0030, "DS", "0.683594\\0.683594");
        break;
    }
    return d.bytes;
}

std::vector<uint8_t> dicomdir_bytes()
{
    // The tree in stream order: each record followed by its subtree, as media writers lay it out.
    std::vector<Node> nodes;
    const int per_level[4] = {kPatients, kStudies, kSeries, kImages};
    int counters[4] = {0, 0, 0, 0};
    std::vector<int> order;
    auto children = [&](int level, int parent_index) {
        // Spread each level evenly over the one above.
        const int total = per_level[level], parents = per_level[level - 1];
        return total / parents + (parent_index < total % parents ? 1 : 0);
    };
    auto add = [&](auto&& self, int level, int parent_slot) -> int {
        const int slot = int(nodes.size());
        nodes.push_back({level, counters[level]++});
        if (level < 3) {
            int previous = -1;
            for (int k = 0, n = children(level + 1, nodes[slot].index); k < n; ++k) {
                const int child = self(self, level + 1, slot);
                if (previous < 0)
                    nodes[slot].first_child = child;
                else
                    nodes[previous].next = child;
                previous = child;
            }
        }
        (void)parent_slot;
        return slot;
    };
    int previous = -1;
    for (int p = 0; p < kPatients; ++p) {
        const int slot = add(add, 0, -1);
        if (previous >= 0)
            nodes[previous].next = slot;
        previous = slot;
    }
    std::vector<int> next, lower;
    for (const Node& n : nodes) {
        next.push_back(n.next);
        lower.push_back(n.first_child);
    }
    // The last patient too, for readers that start from the root's offsets.
    return bench_dicomdir_bytes(next, lower, previous, [&](size_t k, uint32_t next_at, uint32_t lower_at) {
        return record(nodes[k], next_at, lower_at);
    });
}

const BenchDicomDirFile& file()
{
    static const BenchDicomDirFile f("vek_dicomdir_bench", dicomdir_bytes());
    return f;
}

size_t heap()
{
    return mallinfo2().uordblks;
}

void held_per_record(benchmark::State& state, size_t before, size_t after)
{
    state.counters["heap_per_record_B"] = double(after - before) / kRecords;
}

void BM_VekDICOMDIR(benchmark::State& state)
{
    const BenchDicomDirFile& f = file();
    size_t before = 0, after = 0;
    for (auto _ : state) {
        VEK_DefaultManager manager;
        before = heap();
        VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, f.path.c_str());
        VEK_DICOMDIRInfo dir(&manager);
        if (storage == nullptr || !dir.load(storage) || dir.image_pointers.size() != uint32_t(kImages) ||
            dir.patients.size() != uint32_t(kPatients))
            state.SkipWithError("load failed");
        vek_destroy(storage);
        after = heap();
        benchmark::DoNotOptimize(dir.image_pointers[kImages - 1]->file_id.size());
    }
    held_per_record(state, before, after);
}
BENCHMARK(BM_VekDICOMDIR)->Unit(benchmark::kMillisecond);

// gdcm reads the file; each record's fields are then read as the directory reader reads them.
void BM_GdcmReader(benchmark::State& state)
{
    const BenchDicomDirFile& f = file();
    const gdcm::Tag fields[] = {
        {0x0004, 0x1400}, {0x0004, 0x1410}, {0x0004, 0x1420}, {0x0004, 0x1430}, {0x0004, 0x1500}, {0x0004, 0x1510},
        {0x0004, 0x1511}, {0x0004, 0x1512}, {0x0008, 0x0008}, {0x0008, 0x0018}, {0x0008, 0x0020}, {0x0008, 0x0030},
        {0x0008, 0x0060}, {0x0008, 0x1030}, {0x0008, 0x103E}, {0x0010, 0x0010}, {0x0010, 0x0020}, {0x0010, 0x0040},
        {0x0020, 0x000D}, {0x0020, 0x000E}, {0x0020, 0x0011}, {0x0020, 0x0013}, {0x0020, 0x0032}, {0x0020, 0x0037},
        {0x0028, 0x0010}, {0x0028, 0x0011}, {0x0028, 0x0030}};
    size_t before = 0, after = 0;
    for (auto _ : state) {
        before = heap();
        gdcm::Reader reader;
        reader.SetFileName(f.path.c_str());
        if (!reader.Read())
            state.SkipWithError("read failed");
        const gdcm::DataSet& ds = reader.GetFile().GetDataSet();
        gdcm::SmartPointer<gdcm::SequenceOfItems> sq = ds.GetDataElement(gdcm::Tag(0x0004, 0x1220)).GetValueAsSQ();
        size_t bytes = 0, records = 0;
        std::vector<std::string> values;
        values.reserve(sq->GetNumberOfItems() * 8);
        for (size_t i = 1; i <= sq->GetNumberOfItems(); ++i) {
            const gdcm::DataSet& item = sq->GetItem(i).GetNestedDataSet();
            ++records;
            for (const gdcm::Tag& t : fields) {
                if (!item.FindDataElement(t))
                    continue;
                const gdcm::ByteValue* v = item.GetDataElement(t).GetByteValue();
                if (v != nullptr)
                    values.emplace_back(v->GetPointer(), v->GetLength());
            }
        }
        for (const auto& v : values)
            bytes += v.size();
        if (records != size_t(kRecords))
            state.SkipWithError("records missing");
        after = heap();
        benchmark::DoNotOptimize(bytes);
    }
    held_per_record(state, before, after);
}
BENCHMARK(BM_GdcmReader)->Unit(benchmark::kMillisecond);

void walk(DcmDirectoryRecord* r, size_t& count, size_t& bytes)
{
    for (DcmDirectoryRecord* c = r->nextSub(nullptr); c != nullptr; c = r->nextSub(c)) {
        ++count;
        OFString v;
        for (const DcmTagKey& t : {DCM_PatientName, DCM_StudyInstanceUID, DCM_SeriesInstanceUID, DCM_ReferencedFileID,
                                   DCM_ImagePositionPatient, DCM_PixelSpacing})
            if (c->findAndGetOFStringArray(t, v).good())
                bytes += v.size();
        walk(c, count, bytes);
    }
}

void BM_DcmtkDicomDir(benchmark::State& state)
{
    OFLog::configure(OFLogger::ERROR_LOG_LEVEL);
    const BenchDicomDirFile& f = file();
    for (auto _ : state) {
        DcmDicomDir dir(f.path.c_str());
        size_t count = 0, bytes = 0;
        walk(&dir.getRootRecord(), count, bytes);
        if (count != size_t(kRecords))
            state.SkipWithError("records missing");
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_DcmtkDicomDir)->Unit(benchmark::kMillisecond);

}   // namespace
