// DICOMDIRs loaded from a file: VEK_FileInputStorage and VEK_DICOMDIRInfo::load against
// gdcm::Reader plus reading each record's fields, and DCMTK's DcmDicomDir, in one run. The
// ward-sized disc (5,650 records: 20 patients, 40 studies, 250 series, 5,340 images) and an
// archive-sized shape at 1,000, 10,000 and 100,000 records (a tenth patients, a tenth studies,
// a fifth series, the rest images), so that a cost per record that grows with the disc shows
// beside the peers'. Each reports wall and CPU time per record and the heap it holds after the
// load per record.
#include <benchmark/benchmark.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/oflog/oflog.h>
#include <gdcmReader.h>
#include <gdcmSequenceOfItems.h>
#include <malloc.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench_dicomdir.h"
#include "vek_dicomdirinfo.h"
#include "vek_fileinputstorage.h"
#include "vek_managerimpl.h"

namespace {

struct Shape {
    int patients, studies, series, images;
    int records() const { return patients + studies + series + images; }
};

constexpr Shape kWard = {20, 40, 250, 5340};

// Arg 0 is the ward disc; any other is the archive shape of that many records.
Shape shape_of(int64_t arg)
{
    if (arg == 0)
        return kWard;
    const int n = int(arg);
    return {n / 10, n / 10, n / 5, n - n / 10 - n / 10 - n / 5};
}

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

std::vector<uint8_t> dicomdir_bytes(const Shape& shape)
{
    // The tree in stream order: each record followed by its subtree, as media writers lay it out.
    std::vector<Node> nodes;
    const int per_level[4] = {shape.patients, shape.studies, shape.series, shape.images};
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
    for (int p = 0; p < shape.patients; ++p) {
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

// One file per shape, written at first use and removed at exit.
const BenchDicomDirFile& file(int64_t arg)
{
    static std::map<int64_t, std::unique_ptr<BenchDicomDirFile>> files;
    auto& f = files[arg];
    if (!f)
        f = std::make_unique<BenchDicomDirFile>("vek_dicomdir_bench", dicomdir_bytes(shape_of(arg)));
    return *f;
}

// In use from the arenas and in blocks mapped on their own (large vectors are).
size_t heap()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

double cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// Wall and CPU time of the timed part of each iteration, and the heap held after it, per record.
struct PerRecord {
    benchmark::State& state;
    int records;
    double wall = 0, cpu = 0;
    size_t held = 0;
    std::chrono::steady_clock::time_point wall_start{};
    double cpu_start = 0;
    void start()
    {
        wall_start = std::chrono::steady_clock::now();
        cpu_start = cpu_seconds();
    }
    void stop()
    {
        wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
        cpu += cpu_seconds() - cpu_start;
    }
    ~PerRecord()
    {
        const double n = double(records) * double(state.iterations());
        state.counters["records"] = records;
        state.counters["wall_us_per_record"] = wall * 1e6 / n;
        state.counters["cpu_us_per_record"] = cpu * 1e6 / n;
        state.counters["heap_B_per_record"] = double(held) / records;
    }
};

// The processor's model name beside the results, as lscpu gives it.
std::string processor()
{
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

const bool kProcessorNoted = (benchmark::AddCustomContext("processor", processor()), true);

void sizes(benchmark::internal::Benchmark* b)
{
    for (int64_t arg : {0, 1000, 10000, 100000})
        b->Arg(arg);
    b->Unit(benchmark::kMillisecond);
}

void BM_VekDICOMDIR(benchmark::State& state)
{
    const Shape shape = shape_of(state.range(0));
    const BenchDicomDirFile& f = file(state.range(0));
    PerRecord per{state, shape.records()};
    for (auto _ : state) {
        VEK_DefaultManager manager;
        const size_t before = heap();
        per.start();
        VEK_FileInputStorage* storage = VEK_FileInputStorage::create(&manager, f.path.c_str());
        VEK_DICOMDIRInfo dir(&manager);
        if (storage == nullptr || !dir.load(storage) || dir.image_pointers.size() != uint32_t(shape.images) ||
            dir.patients.size() != uint32_t(shape.patients))
            state.SkipWithError("load failed");
        vek_destroy(storage);
        per.stop();
        per.held = heap() - before;
        benchmark::DoNotOptimize(dir.image_pointers[shape.images - 1]->file_id.size());
    }
}
BENCHMARK(BM_VekDICOMDIR)->Apply(sizes);

// gdcm reads the file; each record's fields are then read as the directory reader reads them.
void BM_GdcmReader(benchmark::State& state)
{
    const Shape shape = shape_of(state.range(0));
    const BenchDicomDirFile& f = file(state.range(0));
    const gdcm::Tag fields[] = {
        {0x0004, 0x1400}, {0x0004, 0x1410}, {0x0004, 0x1420}, {0x0004, 0x1430}, {0x0004, 0x1500}, {0x0004, 0x1510},
        {0x0004, 0x1511}, {0x0004, 0x1512}, {0x0008, 0x0008}, {0x0008, 0x0018}, {0x0008, 0x0020}, {0x0008, 0x0030},
        {0x0008, 0x0060}, {0x0008, 0x1030}, {0x0008, 0x103E}, {0x0010, 0x0010}, {0x0010, 0x0020}, {0x0010, 0x0040},
        {0x0020, 0x000D}, {0x0020, 0x000E}, {0x0020, 0x0011}, {0x0020, 0x0013}, {0x0020, 0x0032}, {0x0020, 0x0037},
        {0x0028, 0x0010}, {0x0028, 0x0011}, {0x0028, 0x0030}};
    PerRecord per{state, shape.records()};
    for (auto _ : state) {
        const size_t before = heap();
        per.start();
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
        per.stop();
        per.held = heap() - before;
        if (records != size_t(shape.records()))
            state.SkipWithError("records missing");
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_GdcmReader)->Apply(sizes);

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
    const Shape shape = shape_of(state.range(0));
    const BenchDicomDirFile& f = file(state.range(0));
    PerRecord per{state, shape.records()};
    for (auto _ : state) {
        const size_t before = heap();
        per.start();
        DcmDicomDir dir(f.path.c_str());
        size_t count = 0, bytes = 0;
        walk(&dir.getRootRecord(), count, bytes);
        per.stop();
        per.held = heap() - before;
        if (count != size_t(shape.records()))
            state.SkipWithError("records missing");
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_DcmtkDicomDir)->Apply(sizes);

}   // namespace
