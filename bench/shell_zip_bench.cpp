// On-demand extraction of one 512 KB member from a 2,000-member archive, against Debian's
// unzip extracting the same member (unzip -o ARCHIVE MEMBER -d DIR, one process per run).
// The counter large_allocs counts blocks of 256 KB or more per extraction: only the copy
// buffer should be one.
// A member of 60 MB deflated 1000 to 1 extracted as a load asks for it, its frame's check first,
// against zlib's own inflate of the same data written to a file of the same folder: the rate of
// inflate and the disk. The member is the first image of KV_ZIP_BENCH_WIDE when set (a zip that
// app/shell/frame/tests/data/write_wide_value_zip.py wrote: a DICOM file whose long zero value
// lies before its pixels), else 60 MB of zeros.

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <fcntl.h>
#include <zip.h>
#include <zlib.h>

#include <vector>

#include <QString>

#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"

extern "C" void* __libc_malloc(size_t size);
extern char** environ;

namespace {

std::atomic<int64_t> largeAllocs{0};
std::atomic<bool> countAllocs{false};

// A folder of the run's own holding an extraction folder, removed at the end.
struct BenchFolder {
    std::string folder;
    std::string kestro;

    explicit BenchFolder(const std::string& name)
    {
        std::string pattern = "/tmp/" + name + "_XXXXXX";
        folder = ::mkdtemp(pattern.data());
        kestro = folder + "/Kestro";
        XEVPrepareExtractFolder(kestro);
    }
    ~BenchFolder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

// One deflated member holding data repeated times over.
void WriteMember(zipFile file, const std::string& name, const std::string& data, size_t times = 1)
{
    zip_fileinfo info{};
    zipOpenNewFileInZip64(file, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 0);
    for (size_t i = 0; i < times; ++i) {
        zipWriteInFileInZip(file, data.data(), static_cast<unsigned>(data.size()));
    }
    zipCloseFileInZip(file);
}

struct Archive : BenchFolder {
    std::string zip = folder + "/disc.zip";
    std::string member = "CD/IMG/M1999";

    Archive() : BenchFolder("kv_zip_bench")
    {
        zipFile file = zipOpen64(zip.c_str(), APPEND_STATUS_CREATE);
        std::string small(4096, '\0');
        std::string large(512 * 1024, '\0');
        for (size_t i = 0; i < large.size(); ++i) {
            large[i] = static_cast<char>((i * 2654435761u) >> 24);
        }
        // Members are found below the DICOMDIR's folder.
        for (int i = -1; i < 2000; ++i) {
            WriteMember(file, i < 0 ? std::string("CD/DICOMDIR") : "CD/IMG/M" + std::to_string(i),
                        i == 1999 ? large : small);
        }
        zipClose(file, nullptr);
    }
};

// Each archive is written once per run, when a benchmark first asks for it.
template <typename Made>
const Made& MadeOnce()
{
    static const Made made;
    return made;
}

void BM_ExtractZipMember(benchmark::State& state)
{
    const Archive& a = MadeOnce<Archive>();
    const std::string target = a.kestro + "/IMG/M1999";
    int64_t failures = 0;
    largeAllocs = 0;
    for (auto _ : state) {
        // A copy made before would only be found again: each round writes the member anew.
        ZipForgetExtracted(a.kestro);
        countAllocs = true;
        failures += ExtractZipMember(a.zip, a.kestro, target, "") != 0 ? 1 : 0;
        countAllocs = false;
    }
    state.counters["failures"] = static_cast<double>(failures);
    state.counters["large_allocs"] =
        benchmark::Counter(static_cast<double>(largeAllocs.load()), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ExtractZipMember)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UnzipPeer(benchmark::State& state)
{
    const Archive& a = MadeOnce<Archive>();
    const std::string out = a.folder + "/unzip";
    char* argv[] = {const_cast<char*>("unzip"),
                    const_cast<char*>("-o"),
                    const_cast<char*>("-qq"),
                    const_cast<char*>(a.zip.c_str()),
                    const_cast<char*>(a.member.c_str()),
                    const_cast<char*>("-d"),
                    const_cast<char*>(out.c_str()),
                    nullptr};
    int64_t failures = 0;
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (::posix_spawnp(&pid, "unzip", nullptr, nullptr, argv, environ) != 0 || ::waitpid(pid, &status, 0) < 0 ||
            status != 0) {
            ++failures;
        }
    }
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_UnzipPeer)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr size_t kWideBytes = size_t(60) * 1000 * 1000;

struct WideArchive : BenchFolder {
    std::string zip = folder + "/wide.zip";
    std::string member = "IMG/WIDE";
    size_t size = kWideBytes;

    WideArchive() : BenchFolder("kv_zip_wide")
    {
        if (const char* given = std::getenv("KV_ZIP_BENCH_WIDE")) {
            zip = given;
            member = "IMG/S01";
            unzFile file = unzOpen64(zip.c_str());
            unz_file_info64 info{};
            if (file != nullptr && unzLocateFile(file, member.c_str(), 1) == UNZ_OK &&
                unzGetCurrentFileInfo64(file, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK) {
                size = static_cast<size_t>(info.uncompressed_size);
            }
            unzClose(file);
            return;
        }
        zipFile file = zipOpen64(zip.c_str(), APPEND_STATUS_CREATE);
        WriteMember(file, "DICOMDIR", std::string(4096, '\0'));
        WriteMember(file, member, std::string(1000 * 1000, '\0'), kWideBytes / (1000 * 1000));
        zipClose(file, nullptr);
    }
};

// Through the load state, as a cell's load asks: the frame's check, then the copy.
void BM_ExtractWideMember(benchmark::State& state)
{
    const WideArchive& a = MadeOnce<WideArchive>();
    const std::string target = a.kestro + "/" + a.member;
    XEVLoadState& load = GetLoadState();
    load.SetArchive(a.zip, a.kestro);
    int64_t failures = 0;
    for (auto _ : state) {
        ZipForgetExtracted(a.kestro);
        std::filesystem::remove(target);
        failures += load.ExtractZipMember(target, target) != 0 ? 1 : 0;
    }
    load.SetArchive(std::string(), std::string());
    state.counters["failures"] = static_cast<double>(failures);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * a.size));
}
BENCHMARK(BM_ExtractWideMember)->Unit(benchmark::kMillisecond)->UseRealTime();

// zlib's inflate of the member's raw data, its CRC, and a write of each MiB to a file.
void BM_InflateWidePeer(benchmark::State& state)
{
    const WideArchive& a = MadeOnce<WideArchive>();
    const std::string out = a.folder + "/peer";
    std::vector<char> packed;
    {
        unzFile file = unzOpen64(a.zip.c_str());
        int method = 0;
        int level = 0;
        unz_file_info64 info{};
        if (file != nullptr && unzLocateFile(file, a.member.c_str(), 1) == UNZ_OK &&
            unzGetCurrentFileInfo64(file, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK &&
            unzOpenCurrentFile2(file, &method, &level, 1) == UNZ_OK) {
            packed.resize(info.compressed_size);
            unzReadCurrentFile(file, packed.data(), static_cast<unsigned>(packed.size()));
            unzCloseCurrentFile(file);
        }
        unzClose(file);
    }
    std::vector<char> buffer(kZipCopyBufferSize);
    int64_t failures = 0;
    for (auto _ : state) {
        // A new file, as the extraction writes: one truncated in place is flushed at its close.
        ::unlink(out.c_str());
        const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        z_stream stream{};
        inflateInit2(&stream, -MAX_WBITS);
        stream.next_in = reinterpret_cast<Bytef*>(packed.data());
        stream.avail_in = static_cast<uInt>(packed.size());
        uLong crc = crc32(0, nullptr, 0);
        size_t total = 0;
        int z = Z_OK;
        while (z == Z_OK) {
            stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
            stream.avail_out = static_cast<uInt>(buffer.size());
            z = inflate(&stream, Z_NO_FLUSH);
            const size_t n = buffer.size() - stream.avail_out;
            crc = crc32(crc, reinterpret_cast<const Bytef*>(buffer.data()), static_cast<uInt>(n));
            total += n;
            if (::write(fd, buffer.data(), n) != static_cast<ssize_t>(n)) {
                break;
            }
        }
        inflateEnd(&stream);
        ::close(fd);
        benchmark::DoNotOptimize(crc);
        failures += z != Z_STREAM_END || total != a.size ? 1 : 0;
    }
    state.counters["failures"] = static_cast<double>(failures);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * a.size));
}
BENCHMARK(BM_InflateWidePeer)->Unit(benchmark::kMillisecond)->UseRealTime();

}   // namespace

extern "C" void* malloc(size_t size)
{
    if (size >= 256 * 1024 && countAllocs.load(std::memory_order_relaxed)) {
        largeAllocs.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_malloc(size);
}
