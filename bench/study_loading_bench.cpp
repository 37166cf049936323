// Background loading on a generated disc of one 500-image CT series (512 x 512, signed 16
// bits, uncompressed): from StartLoading to the first image decoded through the job host,
// against DCMTK loading the DICOMDIR (DcmDicomDir) and decoding that image (DicomImage); and
// the 500 images through the host with 1, 2 and 4 workers, against as many std::threads
// calling XEVVEKHelper::LoadImage directly.
//
// BM_FreshProcess holds the worker figures to read: host and direct passes alternate, each in
// a new process, giving the speed ratio and the peak RSS against the decoded bytes for each
// worker count. In one long-lived process a pass's time depends mostly on whether the
// allocator kept the previous pass's 262 MB or must fault it in again, and the peak carries
// over from one worker count to the next; BM_HostWorkers and BM_DirectThreads show that warm
// case only. The disc is written and flushed before anything is timed.
#include <benchmark/benchmark.h>
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcdicdir.h>
#include <dcmtk/dcmimgle/dcmimage.h>
#include <dcmtk/oflog/oflog.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_dicomdir.h"
#include "bench_jobworker.h"
#include "bench_qt.h"
#include "study/xevjobhost.h"
#include "study/xevpatientlist.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

namespace {

constexpr int kImages = 500;
constexpr int kSide = 512;
constexpr uint32_t kImageLoaded = 0x1419;
constexpr double kDecodedBytes = double(kImages) * kSide * kSide * 2;

std::string ImageName(int k)
{
    return "I" + std::to_string(1000 + k);
}

std::vector<uint8_t> ImageFile(int k)
{
    DicomBytes d = DicomBytes::part10();
    const std::string i = std::to_string(k);
    d.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.2");
    d.text(0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.1125.50." + i);
    d.text(0x0008, 0x0060, "CS", "CT");
    d.text(0x0010, 0x0010, "PN", "LOADING^BENCH");
    d.text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.51");
    d.text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.52");
    d.text(0x0020, 0x0013, "IS", std::to_string(k + 1));
    d.us(0x0028, 0x0002, {1});
    d.text(0x0028, 0x0004, "CS", "MONOCHROME2");
    d.us(0x0028, 0x0010, {kSide});
    d.us(0x0028, 0x0011, {kSide});
    d.us(0x0028, 0x0100, {16});
    d.us(0x0028, 0x0101, {16});
    d.us(0x0028, 0x0102, {15});
    d.us(0x0028, 0x0103, {1});
    d.text(0x0028, 0x1050, "DS", "40");
    d.text(0x0028, 0x1051, "DS", "400");
    d.text(0x0028, 0x1052, "DS", "-1024");
    d.text(0x0028, 0x1053, "DS", "1");
    std::vector<uint8_t> pixels(size_t(kSide) * kSide * 2);
    for (size_t p = 0; p < pixels.size() / 2; ++p) {
        const int16_t v = int16_t(int((p * 2654435761u + uint32_t(k) * 40503u) % 3000u) - 1000);
        pixels[2 * p] = uint8_t(v);
        pixels[2 * p + 1] = uint8_t(uint16_t(v) >> 8);
    }
    d.element(0x7FE0, 0x0010, "OW", pixels);
    return d.bytes;
}

std::vector<uint8_t> Record(int level, int k, uint32_t next, uint32_t lower)
{
    DicomBytes d;
    d.element(0x0004, 0x1400, "UL", bench_le32(next));
    d.us(0x0004, 0x1410, {0xFFFF});
    d.element(0x0004, 0x1420, "UL", bench_le32(lower));
    if (level == 0) {
        d.text(0x0004, 0x1430, "CS", "PATIENT");
        d.text(0x0008, 0x0005, "CS", "ISO_IR 100");
        d.text(0x0010, 0x0010, "PN", "LOADING^BENCH");
        d.text(0x0010, 0x0020, "LO", "PID1");
    } else if (level == 1) {
        d.text(0x0004, 0x1430, "CS", "STUDY");
        d.text(0x0008, 0x0020, "DA", "20260101");
        d.text(0x0008, 0x0061, "CS", "CT");
        d.text(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.51");
    } else if (level == 2) {
        d.text(0x0004, 0x1430, "CS", "SERIES");
        d.text(0x0008, 0x0060, "CS", "CT");
        d.text(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.52");
        d.text(0x0020, 0x0011, "IS", "1");
    } else {
        d.text(0x0004, 0x1430, "CS", "IMAGE");
        d.text(0x0004, 0x1500, "CS", "IMG\\" + ImageName(k));
        d.text(0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.2");
        d.text(0x0004, 0x1511, "UI", "1.2.826.0.1.3680043.2.1125.50." + std::to_string(k));
        d.text(0x0008, 0x0018, "UI", "1.2.826.0.1.3680043.2.1125.50." + std::to_string(k));
        d.text(0x0020, 0x0013, "IS", std::to_string(k + 1));
    }
    return d.bytes;
}

// Patient, study, series, then the images in a chain.
struct Disc {
    BenchDicomDirFile dir;
    std::vector<std::string> images;

    static std::vector<uint8_t> Bytes()
    {
        std::vector<int> next(3 + kImages, -1), lower(3 + kImages, -1);
        lower[0] = 1;
        lower[1] = 2;
        lower[2] = 3;
        for (int k = 0; k + 1 < kImages; ++k)
            next[size_t(3 + k)] = 4 + k;
        return bench_dicomdir_bytes(next, lower, -1, [](size_t r, uint32_t n, uint32_t l) {
            return r < 3 ? Record(int(r), 0, n, l) : Record(3, int(r) - 3, n, l);
        });
    }
    Disc() : dir("study_loading_bench", Bytes())
    {
        const std::string folder = dir.folder + "/IMG";
        ::mkdir(folder.c_str(), 0755);
        for (int k = 0; k < kImages; ++k) {
            images.push_back(folder + "/" + ImageName(k));
            const std::vector<uint8_t> bytes = ImageFile(k);
            FILE* f = std::fopen(images.back().c_str(), "wb");
            if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fflush(f) != 0 ||
                ::fsync(::fileno(f)) != 0) {
                std::abort();
            }
            std::fclose(f);
        }
    }
    ~Disc()
    {
        for (const std::string& image : images)
            ::unlink(image.c_str());
        ::rmdir((dir.folder + "/IMG").c_str());
    }
};

const Disc& TheDisc()
{
    static const Disc* disc = new Disc;   // files removed by the atexit below
    static const bool registered = [] {
        std::atexit([] { delete disc; });
        return true;
    }();
    (void)registered;
    return *disc;
}

class Counter : public XEVMessageReceiver {
public:
    std::atomic<int> loaded{0};
    std::atomic<int> patients{0};

protected:
    XEVResult OnMessage(uint32_t id, XEVWParam, XEVLParam) override
    {
        if (id == kImageLoaded)
            ++loaded;
        if (id == WM_XEV_PATIENTS_LOADED)
            ++patients;
        return 0;
    }
};

// Sleeps in the main thread's queue until the condition holds, as the GUI thread would.
template <class Condition>
void Pump(Condition condition)
{
    while (!condition())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

struct Host {
    CXEVFileLoadCtrlThread thread;
    Host() { thread.Start(); }
};

Host& TheHost()
{
    BenchEnsureApplication<QCoreApplication>("study_loading_bench");
    static Host* host = new Host;   // shut down by the atexit below
    static const bool registered = [] {
        std::atexit([] { delete host; });
        return true;
    }();
    (void)registered;
    return *host;
}

// The process's own peak (VmHWM). getrusage's figure is no use in a spawned child: it starts
// from the peak of the parent whose memory the spawn borrowed until exec.
double PeakRssBytes()
{
    FILE* status = std::fopen("/proc/self/status", "re");
    if (status == nullptr)
        return 0;
    double bytes = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            bytes = std::strtod(line + 6, nullptr) * 1024;
    }
    std::fclose(status);
    return bytes;
}

void BM_HostFirstImage(benchmark::State& state)
{
    const Disc& disc = TheDisc();
    Host& host = TheHost();
    const QString path = QString::fromStdString(disc.dir.path);
    Counter counter;
    for (auto _ : state) {
        XEVPatientList list;
        const int before = counter.patients.load();
        const int loadedBefore = counter.loaded.load();
        list.StartLoading(path, counter.Handle());
        Pump([&] { return counter.patients.load() > before; });
        ImageInfo* first = list.patients.at(0)->studies.at(0)->series.at(0)->images.at(0);
        first->notifyWindow = counter.Handle();
        // Posted, as the grid's series mode does.
        XEVPostMessage(host.thread.Window(), WM_XEV_LOADER_QUEUE, 0, reinterpret_cast<XEVLParam>(first));
        XEVPostMessage(host.thread.Window(), WM_XEV_LOADER_START);
        Pump([&] { return counter.loaded.load() > loadedBefore; });
        state.PauseTiming();
        if (first->GetHelper() == nullptr || first->GetHelper()->GetFrame(0) == nullptr) {
            state.SkipWithError("first image not decoded");
        }
        BenchWaitForJobWorker(host.thread.Window());
        list.Clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_HostFirstImage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DcmtkFirstImage(benchmark::State& state)
{
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);
    const Disc& disc = TheDisc();
    for (auto _ : state) {
        DcmDicomDir dir(disc.dir.path.c_str());
        DcmDirectoryRecord* image = dir.getRootRecord().getSub(0)->getSub(0)->getSub(0)->getSub(0);
        OFString id;
        image->findAndGetOFStringArray(DCM_ReferencedFileID, id);
        std::string file = disc.dir.folder + "/" + id.c_str();
        for (char& c : file)
            c = c == '\\' ? '/' : c;
        DicomImage decoded(file.c_str());
        const void* out = decoded.getOutputData(16);
        if (out == nullptr)
            state.SkipWithError("DicomImage failed");
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_DcmtkFirstImage)->Unit(benchmark::kMillisecond)->UseRealTime();

std::vector<std::unique_ptr<ImageInfo>> Jobs(const std::vector<std::string>& images, const Counter& counter)
{
    std::vector<std::unique_ptr<ImageInfo>> jobs;
    for (const std::string& file : images) {
        auto job = std::make_unique<ImageInfo>();
        job->filePath = QString::fromStdString(file);
        job->notifyWindow = counter.Handle();
        jobs.push_back(std::move(job));
    }
    return jobs;
}

// The images through the host's queue with `workers` workers, sent as the grid's series
// mode does; returns when all are decoded.
void RunThroughHost(const XEVWindowHandle& window, std::vector<ImageInfo*>& jobs, int64_t workers)
{
    XEVSendMessage(window, WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&jobs));
    for (int64_t w = 0; w < workers; ++w)
        XEVSendMessage(window, WM_XEV_LOADER_START);
    BenchWaitForJobWorker(window);
}

// The images by as many std::threads calling LoadImage directly; each image gets its helper as
// the host's jobs do, made by the loading thread. Returns the count of failed loads.
int RunDirect(const std::vector<std::string>& images, int threads, std::vector<std::unique_ptr<XEVVEKHelper>>& helpers)
{
    std::atomic<int> nextImage{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (int k = nextImage++; k < kImages; k = nextImage++) {
                int32_t frame = 0;
                helpers[size_t(k)] = std::make_unique<XEVVEKHelper>();
                if (helpers[size_t(k)]->LoadImage(QString::fromStdString(images[size_t(k)]), frame) == 0)
                    ++failed;
            }
        });
    }
    for (std::thread& t : pool)
        t.join();
    return failed.load();
}

void BM_HostWorkers(benchmark::State& state)
{
    const Disc& disc = TheDisc();
    Host& host = TheHost();
    Counter counter;
    const XEVWindowHandle window = host.thread.Window();
    for (auto _ : state) {
        state.PauseTiming();
        auto jobs = Jobs(disc.images, counter);
        std::vector<ImageInfo*> raw;
        for (auto& job : jobs)
            raw.push_back(job.get());
        state.ResumeTiming();
        RunThroughHost(window, raw, state.range(0));
        state.PauseTiming();
        for (auto& job : jobs) {
            if (job->GetHelper() == nullptr || job->GetHelper()->GetFrame(0) == nullptr) {
                state.SkipWithError("image not decoded");
                break;
            }
        }
        counter.loaded = 0;
        QCoreApplication::processEvents();
        jobs.clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_HostWorkers)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DirectThreads(benchmark::State& state)
{
    const Disc& disc = TheDisc();
    const int threads = int(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::unique_ptr<XEVVEKHelper>> helpers(kImages);
        state.ResumeTiming();
        const int failed = RunDirect(disc.images, threads, helpers);
        state.PauseTiming();
        if (failed != 0)
            state.SkipWithError("LoadImage failed");
        helpers.clear();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_DirectThreads)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr const char* kFreshChild = "--fresh-process-pass";

// One pass of the 500 images in a fresh process, through the host when `host`, else by direct
// threads. Prints the pass's seconds, the process's peak RSS and its peak before the pass.
int FreshProcessPass(bool host, int workers, const std::string& folder)
{
    std::vector<std::string> images;
    for (int k = 0; k < kImages; ++k)
        images.push_back(folder + "/IMG/" + ImageName(k));
    // Both kinds start from the same process: the application and an idle host.
    Host& theHost = TheHost();
    Counter counter;
    auto jobs = Jobs(images, counter);
    std::vector<ImageInfo*> raw;
    for (auto& job : jobs)
        raw.push_back(job.get());
    std::vector<std::unique_ptr<XEVVEKHelper>> helpers(kImages);
    const double before = PeakRssBytes();
    bool decoded = true;
    const auto start = std::chrono::steady_clock::now();
    if (host) {
        RunThroughHost(theHost.thread.Window(), raw, workers);
    } else {
        (void)RunDirect(images, workers, helpers);
    }
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    for (int k = 0; k < kImages; ++k) {
        const XEVVEKHelper* helper = host ? jobs[size_t(k)]->GetHelper() : helpers[size_t(k)].get();
        decoded = decoded && helper != nullptr && helper->GetFrame(0) != nullptr;
    }
    if (!decoded)
        return 1;
    std::printf("%.6f %.0f %.0f\n", seconds.count(), PeakRssBytes(), before);
    return 0;
}

struct FreshFigures {
    double seconds = 0;
    double peak = 0;
    double before = 0;
};

// Runs FreshProcessPass in a new process of this binary; zeros on failure.
FreshFigures SpawnFreshPass(bool host, int workers)
{
    const std::string mode = host ? "host" : "direct";
    const std::string count = std::to_string(workers);
    const std::string folder = TheDisc().dir.folder;
    char* argv[] = {const_cast<char*>("study_loading_bench"), const_cast<char*>(kFreshChild),
                    const_cast<char*>(mode.c_str()),          const_cast<char*>(count.c_str()),
                    const_cast<char*>(folder.c_str()),        nullptr};
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    std::string out;
    char buffer[128];
    for (ssize_t n; spawned == 0 && (n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        out.append(buffer, size_t(n));
    ::close(pipeFds[0]);
    int status = 0;
    if (spawned != 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {};
    FreshFigures figures;
    char* end = nullptr;
    figures.seconds = std::strtod(out.c_str(), &end);
    figures.peak = std::strtod(end, &end);
    figures.before = std::strtod(end, nullptr);
    return figures;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Host and direct passes alternate, each in a fresh process, so both meet the same allocator
// state and the same machine load; a process that already freed 500 images would hand them
// back without page faults, and only to the side that happened to run next.
void BM_FreshProcess(benchmark::State& state)
{
    const int workers = int(state.range(0));
    std::vector<double> host;
    std::vector<double> direct;
    std::vector<double> hostPeak;
    std::vector<double> hostPass;
    std::vector<double> directPeak;
    for (auto _ : state) {
        for (const bool viaHost : {true, false}) {
            const FreshFigures figures = SpawnFreshPass(viaHost, workers);
            if (figures.seconds == 0) {
                state.SkipWithError("fresh-process pass failed");
                return;
            }
            (viaHost ? host : direct).push_back(figures.seconds);
            (viaHost ? hostPeak : directPeak).push_back(figures.peak);
            if (viaHost)
                hostPass.push_back(figures.peak - figures.before);
        }
    }
    state.counters["host_ms"] = Median(host) * 1e3;
    state.counters["direct_ms"] = Median(direct) * 1e3;
    // The target: the host's speed against as many direct threads.
    state.counters["speed_vs_direct"] = Median(direct) / Median(host);
    state.counters["peak_rss_per_decoded"] = Median(hostPeak) / kDecodedBytes;
    // What the pass adds to the idle process, and direct threads' peak for comparison.
    state.counters["pass_rss_per_decoded"] = Median(hostPass) / kDecodedBytes;
    state.counters["direct_peak_rss_per_decoded"] = Median(directPeak) / kDecodedBytes;
}
BENCHMARK(BM_FreshProcess)->Arg(1)->Arg(2)->Arg(4)->Iterations(9)->Unit(benchmark::kMillisecond)->UseRealTime();

}   // namespace

int main(int argc, char** argv)
{
    if (argc == 5 && std::strcmp(argv[1], kFreshChild) == 0) {
        return FreshProcessPass(std::strcmp(argv[2], "host") == 0, std::atoi(argv[3]), argv[4]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    (void)TheDisc();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
