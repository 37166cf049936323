// The pre-load thread: reads the files of the studies beside the one on screen into the
// system's file cache, within a share of the available memory, paced behind painting.
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/platcodepage.h"
#include "platform/platfile.h"
#include "shell/xev_utility.h"
#include "shell/xevcommonsettings.h"
#include "study/xevloadstate.h"
#include "study/xevpatientlist.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"

namespace {

constexpr size_t kReadBlock = 409600;
constexpr int64_t kPaintQuietMs = 3000;

std::atomic<XEVMemoryStatusQuery> memoryStatusQuery{nullptr};
std::atomic<XEVPreloadObserver> preloadObserver{nullptr};

bool QueryMemoryStatus(PlatMemoryStatus& status)
{
    const XEVMemoryStatusQuery query = memoryStatusQuery.load();
    return query != nullptr ? query(status) : PlatGetMemoryStatus(status);
}

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Reads the files of a list taken on the GUI thread: it never touches a record, so the
// records may change or go while a stopped run finishes its block.
class Preloader {
public:
    Preloader(XEVLoadState& state, std::shared_ptr<const std::atomic<int32_t>> stop)
        : state_(state), stop_(std::move(stop))
    {
    }
    void Run(const std::vector<QString>& paths);

private:
    bool Stopped()
    {
        if (stop_->load() != 0) {
            stopSeen_ = true;
        }
        return stopSeen_;
    }
    void Pace();
    bool ReadImage(const QString& path);

    XEVLoadState& state_;
    std::shared_ptr<const std::atomic<int32_t>> stop_;
    std::vector<char> buffer_;
    QSet<QString> readPaths_;
    int64_t budget_ = 0;
    int64_t total_ = 0;
    bool stopSeen_ = false;
};

void Preloader::Pace()
{
    XEVThread& thread = state_.preloadThread;
    thread.WaitGate();
    // A stopped run leaves the next one its skip.
    if (Stopped()) {
        return;
    }
    if (state_.skipWait.exchange(0) != 0) {
        state_.lastPaintEndMs = state_.lastPaintEndMs.load() - kPaintQuietMs;
        return;
    }
    const auto quiet = [this] {
        const int64_t elapsed = XEVSteadyMilliseconds() - state_.lastPaintEndMs.load();
        return (elapsed < 0 ? -elapsed : elapsed) / 1000 >= kPaintQuietMs / 1000;
    };
    while (state_.painting.load() == 1 || !quiet()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        thread.WaitGate();
        if (state_.skipWait.load() == 1 || Stopped()) {
            break;
        }
    }
}

bool Preloader::ReadImage(const QString& path)
{
    XEVThread& thread = state_.preloadThread;
    thread.WaitGate();
    if (Stopped()) {
        return false;
    }
    if (readPaths_.contains(path)) {
        return true;
    }
    const uint64_t length = XEVPatientList::GetFileLength(path);
    const int64_t size = length > uint64_t(INT64_MAX) ? INT64_MAX : int64_t(length);
    total_ = size > INT64_MAX - total_ ? INT64_MAX : total_ + size;
    if (total_ > budget_) {
        return false;
    }
    readPaths_.insert(path);
    Pace();
    if (Stopped()) {
        return false;
    }
    std::unique_ptr<FILE, FileCloser> file(PlatOpenRegularStream(XEVNativePath(path).c_str()));
    if (!file) {
        return true;
    }
    state_.preloadFilesRead.fetch_add(1);
    if (const XEVPreloadObserver observer = preloadObserver.load()) {
        observer(path);
    }
    // Each block in the medium's turn: the frames on screen go first.
    const std::atomic<int32_t>* stop = stop_.get();
    if (size <= int64_t(kReadBlock)) {
        thread.WaitGate();
        XEVMediumTurn turn(XEVReadPriority::Background, stop);
        if (turn.Held()) {
            (void)std::fread(buffer_.data(), 1, kReadBlock, file.get());
        }
    } else {
        int64_t remaining = size;
        while (remaining > 0 && !Stopped()) {
            Pace();
            XEVMediumTurn turn(XEVReadPriority::Background, stop);
            if (!turn.Held()) {
                break;
            }
            const size_t got = std::fread(buffer_.data(), 1, kReadBlock, file.get());
            remaining -= int64_t(got);
            if (got < kReadBlock) {
                break;
            }
        }
    }
    file.reset();
    return !Stopped();
}

void Preloader::Run(const std::vector<QString>& paths)
{
    PlatMemoryStatus status;
    if (paths.empty() || !QueryMemoryStatus(status)) {
        return;
    }
    const __int128 budget = __int128(status.availablePhysical) * GetCommonSettings().CacheSizeRatio / 100;
    budget_ = budget > INT64_MAX ? INT64_MAX : budget < INT64_MIN ? INT64_MIN : int64_t(budget);
    try {
        buffer_.resize(kReadBlock);
    } catch (...) {
        return;
    }
    for (const QString& path : paths) {
        if (!ReadImage(path)) {
            return;
        }
    }
}

void AppendStudy(const StudyInfo* study, std::vector<QString>& paths)
{
    for (const SeriesInfo* series : study->series) {
        for (const ImageInfo* image : series->images) {
            paths.push_back(image->filePath);
        }
    }
}

// The files of the studies after the one on screen to the end of the list, then from the top
// up to it; none without a study on screen or opened last.
std::vector<QString> PreloadPaths(const XEVPreloadView& view)
{
    std::vector<QString> paths;
    const StudyInfo* current = view.GetCurrentStudy();
    if (current == nullptr) {
        current = view.GetLastSeriesStudy();
    }
    if (current == nullptr) {
        return paths;
    }
    const std::vector<PatientInfo*>& patients = view.GetPreloadPatients();
    const size_t patientCount = patients.size();
    size_t p = 0;
    size_t s = 0;
    bool found = false;
    for (size_t i = 0; i < patientCount && !found; ++i) {
        for (size_t j = 0; j < patients[i]->studies.size(); ++j) {
            if (patients[i]->studies[j] == current) {
                p = i;
                s = j;
                found = true;
                break;
            }
        }
    }
    size_t startPatient = 0;
    size_t startStudy = 0;
    if (found) {
        if (s + 1 < patients[p]->studies.size()) {
            startPatient = p;
            startStudy = s + 1;
        } else if (p + 1 < patientCount) {
            startPatient = p + 1;
        }
    }
    if (!found || startPatient != 0 || startStudy != 0) {
        for (size_t i = startPatient; i < patientCount; ++i) {
            const auto& studies = patients[i]->studies;
            for (size_t j = i == startPatient ? startStudy : 0; j < studies.size(); ++j) {
                if (studies[j] != current) {
                    AppendStudy(studies[j], paths);
                }
            }
        }
    }
    if (!found) {
        return paths;
    }
    for (size_t i = 0; i <= p; ++i) {
        const auto& studies = patients[i]->studies;
        const size_t end = i == p ? s : studies.size();
        for (size_t j = 0; j < end; ++j) {
            if (studies[j] != current) {
                AppendStudy(studies[j], paths);
            }
        }
    }
    return paths;
}

}   // namespace

int32_t XEVLoadState::StartPreload(XEVPreloadView* view)
{
    std::vector<QString> paths;
    if (view != nullptr) {
        paths = PreloadPaths(*view);
    }
    std::shared_ptr<const std::atomic<int32_t>> stop;
    {
        std::lock_guard<PlatRecursiveLock> guard(lock);
        // The run before is let go: it ends after its block, on its own.
        StopPreload();
        preloadThread.ReapEnded();
        preloadThread.stop = 0;
        preloadView_ = view;
        stop = preloadThread.RunStop();
        // Before the thread runs: one that ends at once clears it itself.
        preloadRunning = 1;
    }
    const bool started = preloadThread.Start([this, paths = std::move(paths), stop] {
        try {
            Preloader(*this, stop).Run(paths);
        } catch (...) {
        }
        // Under the lock a newer start sets it under, after raising this run's stop.
        std::lock_guard<PlatRecursiveLock> guard(lock);
        if (stop->load() == 0) {
            preloadRunning = 0;
        }
    });
    if (!started) {
        preloadRunning = 0;
        return 0;
    }
    return 1;
}

void StopPreloadOf(const XEVPreloadView* view)
{
    XEVLoadState& state = GetLoadState();
    {
        std::lock_guard<PlatRecursiveLock> guard(state.lock);
        if (view == nullptr || state.preloadView_ != view) {
            return;
        }
        state.preloadView_ = nullptr;
    }
    state.HaltPreload();
}

void XEVSetMemoryStatusQuery(XEVMemoryStatusQuery query)
{
    memoryStatusQuery.store(query);
}

void XEVSetPreloadObserver(XEVPreloadObserver observer)
{
    preloadObserver.store(observer);
}
