// On-demand extraction of one 512 KB member from a 2,000-member archive, against Debian's
// unzip extracting the same member (unzip -o ARCHIVE MEMBER -d DIR, one process per run).
// The counter large_allocs counts blocks of 256 KB or more per extraction: only the copy
// buffer should be one.

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <zip.h>

#include "shell/xevziparchive.h"

extern "C" void* __libc_malloc(size_t size);
extern char** environ;

namespace {

std::atomic<int64_t> largeAllocs{0};
std::atomic<bool> countAllocs{false};

struct Archive {
    std::string folder;
    std::string zip;
    std::string kestro;
    std::string member = "CD/IMG/M1999";

    Archive()
    {
        char pattern[] = "/tmp/kv_zip_bench_XXXXXX";
        folder = ::mkdtemp(pattern);
        zip = folder + "/disc.zip";
        kestro = folder + "/Kestro";
        XEVPrepareExtractFolder(kestro);
        zipFile file = zipOpen64(zip.c_str(), APPEND_STATUS_CREATE);
        std::string small(4096, '\0');
        std::string large(512 * 1024, '\0');
        for (size_t i = 0; i < large.size(); ++i) {
            large[i] = static_cast<char>((i * 2654435761u) >> 24);
        }
        // Members are found below the DICOMDIR's folder.
        for (int i = -1; i < 2000; ++i) {
            const std::string name = i < 0 ? std::string("CD/DICOMDIR") : "CD/IMG/M" + std::to_string(i);
            const std::string& data = i == 1999 ? large : small;
            zip_fileinfo info{};
            zipOpenNewFileInZip64(file, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED, 6, 0);
            zipWriteInFileInZip(file, data.data(), static_cast<unsigned>(data.size()));
            zipCloseFileInZip(file);
        }
        zipClose(file, nullptr);
    }
    ~Archive()
    {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

const Archive& TheArchive()
{
    static const Archive archive;
    return archive;
}

void BM_ExtractZipMember(benchmark::State& state)
{
    const Archive& a = TheArchive();
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
    const Archive& a = TheArchive();
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

}   // namespace

extern "C" void* malloc(size_t size)
{
    if (size >= 256 * 1024 && countAllocs.load(std::memory_order_relaxed)) {
        largeAllocs.fetch_add(1, std::memory_order_relaxed);
    }
    return __libc_malloc(size);
}
