#include "study/xevloadstate.h"

#include <chrono>
#include <mutex>

#include "viewer/xevimagememory.h"

int32_t XEVLoadState::IsPreloadRunning()
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    if (!preloadThread.IsEmpty()) {
        return preloadRunning.load();
    }
    preloadRunning = 0;
    return 0;
}

void XEVLoadState::PausePreload()
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    if (preloadThread.stop.load() == 0) {
        preloadThread.ResetGate();
    }
}

void XEVLoadState::ResumePreload()
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    preloadThread.SetGate();
}

void XEVLoadState::StopPreload()
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    preloadThread.stop = 1;
    // Raises the run's own stop and opens the gate; nothing is waited for.
    preloadThread.Release();
    preloadRunning = 0;
}

void XEVLoadState::HaltPreload()
{
    // Stop before the painting mark goes: a thread freed from pacing must see the stop.
    StopPreload();
    painting = 0;
}

void XEVLoadState::BeginPaint()
{
    if (IsPreloadRunning() == 1) {
        PausePreload();
        painting = 1;
    }
}

void XEVLoadState::EndPaint()
{
    if (IsPreloadRunning() == 1) {
        ResumePreload();
        painting = 0;
        StampPaintEnd();
    }
}

std::string XEVLoadState::GetExtractFolder() const
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    return archiveFolder;
}

std::string XEVLoadState::GetZipPath() const
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    return archivePath;
}

void XEVLoadState::SetArchive(const std::string& zipPath, const std::string& extractFolder)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    archivePath = zipPath;
    archiveFolder = extractFolder;
}

void XEVLoadState::AddCheckedArchive(const std::string& zipPath, const std::string& extractFolder)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    checkedArchives_.emplace_back(extractFolder, zipPath);
}

void XEVLoadState::RemoveCheckedArchive(const std::string& extractFolder)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    std::erase_if(checkedArchives_, [&](const auto& checked) { return checked.first == extractFolder; });
}

void XEVLoadState::ArchiveHolding(const std::string& path, std::string& zipPath, std::string& extractFolder) const
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    for (const auto& [folder, zip] : checkedArchives_) {
        if (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/') {
            zipPath = zip;
            extractFolder = folder;
            return;
        }
    }
    zipPath = archivePath;
    extractFolder = archiveFolder;
}

XEVWindowHandle XEVLoadState::GetLoaderWindow() const
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    return loaderWindow_;
}

void XEVLoadState::SetLoaderWindow(const XEVWindowHandle& window)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    loaderWindow_ = window;
}

void XEVLoadState::SetFailureWindow(const XEVWindowHandle& window)
{
    std::lock_guard<std::mutex> guard(failuresMutex_);
    failureWindow_ = window;
    failures_.clear();
}

bool XEVLoadState::HasFailureWindow() const
{
    std::lock_guard<std::mutex> guard(failuresMutex_);
    return !failureWindow_.IsNull();
}

void XEVLoadState::TellLoadFailure(const QString& text, int32_t status, uint64_t disc)
{
    std::lock_guard<std::mutex> guard(failuresMutex_);
    if (failureWindow_.IsNull() || disc != disc_.load()) {
        return;
    }
    failures_.emplace_back(text, status);
    // One notice takes every failure queued until it is handled.
    if (failures_.size() == 1) {
        XEVPostMessage(failureWindow_, WM_XEV_LOAD_FAILURES);
    }
}

std::vector<std::pair<QString, int32_t>> XEVLoadState::TakeLoadFailures()
{
    std::lock_guard<std::mutex> guard(failuresMutex_);
    return std::exchange(failures_, {});
}

uint64_t XEVLoadState::BeginDisc()
{
    std::lock_guard<std::mutex> guard(failuresMutex_);
    failures_.clear();
    // What the old disc's images still keep stays charged to its account, which they hold.
    account_.reset();
    return disc_.fetch_add(1) + 1;
}

namespace {
std::atomic<uint64_t> discKeptBudget{0};
}   // namespace

void XEVSetDiscKeptBudget(uint64_t bytes)
{
    discKeptBudget.store(bytes);
}

std::shared_ptr<XEVDiscAccount> XEVLoadState::AccountOf(uint64_t disc) const
{
    std::lock_guard<std::mutex> guard(failuresMutex_);
    if (disc != disc_.load()) {
        return nullptr;
    }
    if (account_ == nullptr) {
        const uint64_t set = discKeptBudget.load();
        account_ = std::make_shared<XEVDiscAccount>(set != 0 ? set : kXEVDiscKeptBudget);
    }
    return account_;
}

bool XEVDiscAccount::Charge(uint64_t bytes)
{
    uint64_t held = held_.load();
    do {
        if (held > budget_ || bytes > budget_ - held) {
            ++refusals_;
            return false;
        }
    } while (!held_.compare_exchange_weak(held, held + bytes));
    ++charges_;
    return true;
}

void XEVDiscAccount::Discharge(uint64_t bytes)
{
    held_.fetch_sub(bytes);
}

void XEVLoadState::StampPaintEnd()
{
    lastPaintEndMs = XEVSteadyMilliseconds();
}

int64_t XEVSteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

namespace {
std::atomic<uint64_t> decodedBudget{0};
}   // namespace

void XEVSetDecodedBudget(uint64_t bytes)
{
    decodedBudget.store(bytes);
}

uint64_t XEVDecodedBudget()
{
    const uint64_t set = decodedBudget.load();
    return set != 0 ? set : kXEVDecodedBudget;
}

bool XEVRoomForBackgroundDecode()
{
    return XEVImageMemoryHeld() < XEVDecodedBudget() / 4 * 3;
}

bool XEVDecodedOverBudget()
{
    return XEVImageMemoryHeld() > XEVDecodedBudget();
}
