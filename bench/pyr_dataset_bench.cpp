// Dataset reading: a 512 x 512 16-bit CT file and a DICOMDIR of 10,000 image records, read
// through plain descriptor calls, so the counters show what each element costs a storage.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "pyr/pyrdicomdataset.h"

namespace {

class Writer {
public:
    void U16(uint32_t v)
    {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
    }
    void U32(uint32_t v)
    {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Header(uint32_t group, uint32_t element, const char* vr, uint32_t length)
    {
        U16(group);
        U16(element);
        bytes.push_back(static_cast<uint8_t>(vr[0]));
        bytes.push_back(static_cast<uint8_t>(vr[1]));
        const std::string longForm = "OBOWSQUNUT";
        bool isLong = false;
        for (size_t i = 0; i < longForm.size(); i += 2) {
            isLong = isLong || longForm.compare(i, 2, vr) == 0;
        }
        if (isLong) {
            U16(0);
            U32(length);
        } else {
            U16(length);
        }
    }
    void Element(uint32_t group, uint32_t element, const char* vr, std::string value)
    {
        if (value.size() % 2 != 0) {
            value.push_back(' ');
        }
        Header(group, element, vr, static_cast<uint32_t>(value.size()));
        bytes.insert(bytes.end(), value.begin(), value.end());
    }
    void Start()
    {
        bytes.assign(128, 0);
        bytes.insert(bytes.end(), {'D', 'I', 'C', 'M'});
        Element(0x0002, 0x0000, "UL", std::string("\x1C\x00\x00\x00", 4));
        Element(0x0002, 0x0010, "UI", std::string("1.2.840.10008.1.2.1\0", 20));
    }
    std::vector<uint8_t> bytes;
};

std::string Us(uint16_t v)
{
    return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

std::string WriteTemp(const std::vector<uint8_t>& bytes, const char* name)
{
    const std::string path = std::string("/tmp/pyr_bench_") + name + "_" + std::to_string(::getpid());
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    return path;
}

// About 90 header elements in front of 512 x 512 x 2 bytes of pixel data.
std::vector<uint8_t> CtBytes(bool withPixels)
{
    Writer w;
    w.Start();
    w.Element(0x0008, 0x0005, "CS", "ISO_IR 100");
    w.Element(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.2");
    w.Element(0x0008, 0x0060, "CS", "CT");
    for (uint32_t i = 0; i < 60; ++i) {
        w.Element(0x0009, 0x1000 + i, "LO", "private value " + std::to_string(i));
    }
    w.Element(0x0010, 0x0010, "PN", "DOE^JANE");
    w.Element(0x0010, 0x0020, "LO", "123456");
    w.Element(0x0018, 0x0050, "DS", "1.25");
    for (uint32_t i = 0; i < 20; ++i) {
        w.Element(0x0019, 0x1000 + i, "DS", std::to_string(i * 1.5));
    }
    w.Element(0x0020, 0x0032, "DS", "-125.5\\-130\\45.25");
    w.Element(0x0028, 0x0010, "US", Us(512));
    w.Element(0x0028, 0x0011, "US", Us(512));
    w.Element(0x0028, 0x0100, "US", Us(16));
    w.Element(0x0028, 0x1050, "DS", "40");
    w.Element(0x0028, 0x1051, "DS", "400");
    if (withPixels) {
        w.Header(0x7FE0, 0x0010, "OW", 512 * 512 * 2);
        w.bytes.resize(w.bytes.size() + 512 * 512 * 2, 0x11);
    }
    return w.bytes;
}

std::vector<uint8_t> DicomdirBytes(uint32_t images)
{
    Writer w;
    w.Start();
    w.Element(0x0004, 0x1130, "CS", "BENCH");
    w.Header(0x0004, 0x1220, "SQ", 0xFFFFFFFF);
    for (uint32_t i = 0; i < images; ++i) {
        w.U16(0xFFFE);
        w.U16(0xE000);
        w.U32(0xFFFFFFFF);
        w.Element(0x0004, 0x1400, "UL", std::string(4, '\0'));
        w.Element(0x0004, 0x1410, "US", Us(0xFFFF));
        w.Element(0x0004, 0x1420, "UL", std::string(4, '\0'));
        w.Element(0x0004, 0x1430, "CS", "IMAGE");
        w.Element(0x0004, 0x1500, "CS", "IMAGES\\IM" + std::to_string(100000 + i));
        w.Element(0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.2");
        w.Element(0x0004, 0x1511, "UI", "1.2.3.4.5.6.7.8." + std::to_string(i));
        w.Element(0x0004, 0x1512, "UI", "1.2.840.10008.1.2.1");
        w.Element(0x0020, 0x0013, "IS", std::to_string(i + 1));
        w.U16(0xFFFE);
        w.U16(0xE00D);
        w.U32(0);
    }
    w.U16(0xFFFE);
    w.U16(0xE0DD);
    w.U32(0);
    return w.bytes;
}

struct FileSource {
    int fd;
    int64_t size;
    uint64_t reads = 0;
    uint64_t seeks = 0;

    static int32_t Read(void* buffer, uint32_t, uint32_t, uint32_t count, void* user, uint8_t* end)
    {
        auto* self = static_cast<FileSource*>(user);
        ++self->reads;
        if (buffer == nullptr && count == 0) {
            *end = ::lseek(self->fd, 0, SEEK_CUR) >= self->size ? 1 : 0;
            return 0;
        }
        const ssize_t n = ::read(self->fd, buffer, count);
        return n == static_cast<ssize_t>(count) ? 0 : -1;
    }
    static int32_t Seek(uint32_t, uint32_t, int32_t delta, void* user)
    {
        auto* self = static_cast<FileSource*>(user);
        ++self->seeks;
        return ::lseek(self->fd, delta, SEEK_CUR) >= 0 ? 0 : -1;
    }
};

uint64_t CountElements(const PyrDicomDataElement* e)
{
    uint64_t n = e->GetChildCount();
    for (uint32_t i = 0; i < e->GetChildCount(); ++i) {
        n += CountElements(e->GetChildAt(i));
    }
    return n;
}

void ReadFile(benchmark::State& state, const std::vector<uint8_t>& bytes, const char* name)
{
    const std::string path = WriteTemp(bytes, name);
    uint64_t reads = 0;
    uint64_t seeks = 0;
    uint64_t elements = 0;
    for (auto _ : state) {
        FileSource source{::open(path.c_str(), O_RDONLY), static_cast<int64_t>(bytes.size())};
        PyrDicomDataset dataset;
        if (dataset.ReadFromCallbacks(&FileSource::Read, &FileSource::Seek, &source, true) != kPyrSuccess) {
            state.SkipWithError("read failed");
        }
        ::close(source.fd);
        reads += source.reads;
        seeks += source.seeks;
        elements += CountElements(dataset.GetRoot());
    }
    ::unlink(path.c_str());
    state.counters["files/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["elements/s"] = benchmark::Counter(static_cast<double>(elements), benchmark::Counter::kIsRate);
    state.counters["reads/element"] = static_cast<double>(reads) / static_cast<double>(elements);
    state.counters["seeks/element"] = static_cast<double>(seeks) / static_cast<double>(elements);
}

void BM_ReadCtHeader(benchmark::State& state)
{
    ReadFile(state, CtBytes(false), "ct_header");
}
BENCHMARK(BM_ReadCtHeader);

void BM_ReadCtWhole(benchmark::State& state)
{
    ReadFile(state, CtBytes(true), "ct_whole");
}
BENCHMARK(BM_ReadCtWhole);

void BM_ReadDicomdir10000(benchmark::State& state)
{
    ReadFile(state, DicomdirBytes(10000), "dicomdir");
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 10000, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReadDicomdir10000)->Unit(benchmark::kMillisecond);

}   // namespace
