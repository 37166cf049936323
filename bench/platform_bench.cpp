// Disc file-ID resolution against plain stat() of the exact paths, and message delivery
// against Qt's queued invokeMethod, in one binary.
#include "platform/platfileid.h"
#include "shell/xevmessage.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int kFiles = 10000;
constexpr int kMessages = 100000;

// A disc copied in lower case: img/i00000 ... img/i09999, with the IDs as the DICOMDIR
// writes them in upper case.
struct LowerCaseDisc {
    std::string root;
    std::vector<std::string> ids;
    std::vector<std::string> exactPaths;

    LowerCaseDisc()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "platbench.XXXXXX").string();
        root = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
        std::filesystem::create_directory(root + "/img");
        char name[16];
        for (int i = 0; i < kFiles; ++i) {
            std::snprintf(name, sizeof name, "i%05d", i);
            exactPaths.push_back(root + "/img/" + name);
            std::FILE* f = std::fopen(exactPaths.back().c_str(), "wb");
            if (f != nullptr) {
                std::fclose(f);
            }
            std::snprintf(name, sizeof name, "I%05d", i);
            ids.push_back(std::string("IMG\\") + name);
        }
    }
    ~LowerCaseDisc()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

LowerCaseDisc& Disc()
{
    static LowerCaseDisc disc;
    return disc;
}

// Arg 1: each path checked to stay inside the disc, links followed; 0: as the program's own files.
void BM_ResolveFileIds(benchmark::State& state)
{
    const LowerCaseDisc& disc = Disc();
    for (auto _ : state) {
        // Lists the folders afresh each round.
        PlatFileIdResolver resolver(state.range(0) != 0 ? PlatLinks::StayInside : PlatLinks::Follow);
        for (const std::string& id : disc.ids) {
            std::string path = resolver.Join(disc.root, id);
            benchmark::DoNotOptimize(path);
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_ResolveFileIds)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_StatExactPaths(benchmark::State& state)
{
    const LowerCaseDisc& disc = Disc();
    for (auto _ : state) {
        for (const std::string& path : disc.exactPaths) {
            struct stat info;
            benchmark::DoNotOptimize(stat(path.c_str(), &info));
        }
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}
BENCHMARK(BM_StatExactPaths)->Unit(benchmark::kMillisecond);

QCoreApplication& App()
{
    static int argc = 1;
    static char name[] = "platform_bench";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

void BM_PostMessages(benchmark::State& state)
{
    App();
    XEVMessageReceiver receiver;
    long delivered = 0;
    receiver.SetHandler(0x1419, [&](XEVWParam, XEVLParam) -> XEVResult { return ++delivered; });
    const XEVWindowHandle handle = receiver.Handle();
    for (auto _ : state) {
        delivered = 0;
        for (int i = 0; i < kMessages; ++i) {
            XEVPostMessage(handle, 0x1419, static_cast<XEVWParam>(i), 0);
        }
        QCoreApplication::sendPostedEvents();
        if (delivered != kMessages) {
            state.SkipWithError("messages lost");
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_PostMessages)->Unit(benchmark::kMillisecond);

void BM_InvokeMethodQueued(benchmark::State& state)
{
    App();
    QObject target;
    long delivered = 0;
    for (auto _ : state) {
        delivered = 0;
        for (int i = 0; i < kMessages; ++i) {
            QMetaObject::invokeMethod(
                &target, [&delivered] { ++delivered; }, Qt::QueuedConnection);
        }
        QCoreApplication::sendPostedEvents();
        if (delivered != kMessages) {
            state.SkipWithError("calls lost");
        }
    }
    state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_InvokeMethodQueued)->Unit(benchmark::kMillisecond);

}   // namespace
