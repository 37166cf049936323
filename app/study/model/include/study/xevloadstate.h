#pragma once

// The process-wide load state shared by the loaders: the painting marks that pace the
// pre-load thread, memory-short flags, the loader window, the imported archive, and the
// pre-load thread with its gate and running flag.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <QString>

#include "platform/platlock.h"
#include "platform/platmemory.h"
#include "shell/xevmessage.h"
#include "study/xevthread.h"

struct XEVZipCopyControl;

class PatientInfo;
class StudyInfo;

// What the pre-load takes of the study list when it starts, on the GUI thread: the files of
// the studies beside the current one. Its thread reads no record.
class XEVPreloadView {
public:
    virtual ~XEVPreloadView() = default;
    virtual const std::vector<PatientInfo*>& GetPreloadPatients() const = 0;
    // The study on screen; null when none.
    virtual StudyInfo* GetCurrentStudy() const = 0;
    // The study of the series opened last; asked when there is no current study.
    virtual StudyInfo* GetLastSeriesStudy() const = 0;
};

// What the images of one disc keep between their loads, all together, whatever each file
// claims: a multi-frame file's parsed header, kept for its later frames. A charge that would pass
// the budget is refused, and what asked for it is let go instead (read again when needed).
// Each holder of a charge holds the account, so it outlives the charge.
class XEVDiscAccount {
public:
    explicit XEVDiscAccount(uint64_t budget) : budget_(budget) {}
    XEVDiscAccount(const XEVDiscAccount&) = delete;
    XEVDiscAccount& operator=(const XEVDiscAccount&) = delete;
    // False, and nothing counted, past the budget.
    bool Charge(uint64_t bytes);
    void Discharge(uint64_t bytes);
    uint64_t Held() const { return held_.load(); }
    uint64_t Budget() const { return budget_; }
    // Charges taken and refused so far, for tests and figures.
    uint64_t Charges() const { return charges_.load(); }
    uint64_t Refusals() const { return refusals_.load(); }

private:
    const uint64_t budget_;
    std::atomic<uint64_t> held_{0};
    std::atomic<uint64_t> charges_{0};
    std::atomic<uint64_t> refusals_{0};
};

// A disc's account: a header of a few kilobytes to a few megabytes each, so a disc of long
// multi-frame files keeps many, and a hostile one of millions of elements keeps none.
constexpr uint64_t kXEVDiscKeptBudget = uint64_t{128} << 20;
// Tests lower it for the discs begun after; 0 restores kXEVDiscKeptBudget.
void XEVSetDiscKeptBudget(uint64_t bytes);

// Lives as long as the process (GetLoadState never destroys it): the pre-load and the other
// readers still in a read when the process ends look at it last.
class XEVLoadState {
public:
    XEVLoadState() = default;
    XEVLoadState(const XEVLoadState&) = delete;
    XEVLoadState& operator=(const XEVLoadState&) = delete;

    // The running flag while a pre-load thread is on its list; otherwise clears it and gives 0.
    int32_t IsPreloadRunning();
    // Closes the pre-load gate; nothing once the pre-load was told to stop, so that a
    // stopping thread is never held.
    void PausePreload();
    void ResumePreload();
    // Sets the stop flag, raises the run's stop and opens the gate for good (until the next
    // StartPreload); the thread is not waited for and ends after its block.
    void StopPreload();
    // What a study list does before it changes what the pre-load was started over: stop,
    // clear the painting mark. Nothing is waited for.
    void HaltPreload();
    // Lets any pre-load run go, then starts one over the view's files. 0 when the thread
    // cannot be created.
    int32_t StartPreload(XEVPreloadView* view);

    // The painting protocol of every window that paints while the pre-load may run: the
    // first call before drawing, the second after it.
    void BeginPaint();
    void EndPaint();

    // The folder a zip archive was extracted into, and the archive's path; empty without one.
    std::string GetExtractFolder() const;
    std::string GetZipPath() const;
    void SetArchive(const std::string& zipPath, const std::string& extractFolder);
    // An archive whose import is being checked beside the one open: the check's walk reads its
    // members' heads by their paths in its own folder. Each one added is taken back by its folder.
    void AddCheckedArchive(const std::string& zipPath, const std::string& extractFolder);
    void RemoveCheckedArchive(const std::string& extractFolder);
    // The archive a path stands for a member of: the one being checked whose folder holds it,
    // else the one open (empty fields without one).
    void ArchiveHolding(const std::string& path, std::string& zipPath, std::string& extractFolder) const;
    // Extracts the archive member named like path's file to target (path when empty), inside
    // the extraction folder only; 0, or an archive code (-1: nothing to extract). shown, when
    // given, receives the member as the user knows it (the archive's path, then the member's
    // name in it) once the member is found, empty before.
    int32_t ExtractZipMember(const std::string& path, const std::string& target,
                             const XEVZipCopyControl* control = nullptr, QString* shown = nullptr) const;

    // The "MTChildWnd" receiver of the job host; null until the host has made it.
    XEVWindowHandle GetLoaderWindow() const;
    void SetLoaderWindow(const XEVWindowHandle& window);

    // Where the failed loads of image files are told, once each, whether a cell waits for the
    // image or not (a background job, a cell retired meanwhile): the shell's window, sent
    // WM_XEV_LOAD_FAILURES. Null: only the cell that gets the image's notice tells it.
    void SetFailureWindow(const XEVWindowHandle& window);
    bool HasFailureWindow() const;
    // Queues a failure's text and status for the failure window; nothing without one, nor
    // for a record of a disc no longer shown.
    void TellLoadFailure(const QString& text, int32_t status, uint64_t disc);
    // The failures queued so far, in their order.
    std::vector<std::pair<QString, int32_t>> TakeLoadFailures();

    // The disc shown: every load the shell starts (File Open, a drop, the command line) begins
    // a new one, on the GUI thread, dropping the failures the old one queued. A record takes the
    // disc current when it is made; what its loads fail on later, on whichever thread, is told
    // only while its disc is shown.
    uint64_t BeginDisc();
    uint64_t CurrentDisc() const { return disc_.load(); }
    // The account of that disc while it is shown; null once another disc is.
    std::shared_ptr<XEVDiscAccount> AccountOf(uint64_t disc) const;

    // Steady-clock milliseconds of the last paint end; the pre-load waits 3 s after it.
    void StampPaintEnd();
    int64_t GetLastPaintEnd() const { return lastPaintEndMs.load(); }

    std::atomic<int32_t> painting{0};
    std::atomic<int32_t> skipWait{0};
    std::atomic<int64_t> lastPaintEndMs{0};
    mutable PlatRecursiveLock lock;
    std::atomic<int32_t> mouseTool{0};
    std::atomic<int32_t> memoryShort{0};
    std::atomic<int32_t> memoryShortStudy{0};
    std::atomic<int32_t> perFrameEntries{0};
    std::atomic<int32_t> singlePatientStudy{0};
    XEVThread preloadThread;
    std::atomic<int32_t> preloadRunning{0};
    // Files the pre-load threads have read, for tests and figures.
    std::atomic<int64_t> preloadFilesRead{0};

private:
    friend void StopPreloadOf(const XEVPreloadView* view);

    // Under the lock: a File Open may set another archive while a reader let go by the view
    // before still extracts a member.
    std::string archivePath;
    std::string archiveFolder;
    // Folder -> archive, of the imports being checked.
    std::vector<std::pair<std::string, std::string>> checkedArchives_;

    XEVWindowHandle loaderWindow_;
    const XEVPreloadView* preloadView_ = nullptr;
    mutable std::mutex failuresMutex_;
    XEVWindowHandle failureWindow_;
    std::vector<std::pair<QString, int32_t>> failures_;
    // Changed under failuresMutex_, so that a failure is either queued before a new disc
    // drops it, or compared with the new disc.
    std::atomic<uint64_t> disc_{1};
    // The shown disc's; made at its first charge. Under failuresMutex_.
    mutable std::shared_ptr<XEVDiscAccount> account_;
};

XEVLoadState& GetLoadState();

// The steady clock in milliseconds, as the pacing measures it.
int64_t XEVSteadyMilliseconds();

// The memory test a non-forced image load makes first; tests replace it, null restores
// the platform's figures.
using XEVMemoryTest = bool (*)();
void XEVSetMemoryTest(XEVMemoryTest test);
bool XEVRunMemoryTest();
// The platform's test reuses a pass for a few milliseconds only while this much more memory
// could be taken, more than decoders on every core allocate in that time.
constexpr uint64_t kXEVMemoryReuseMargin = uint64_t{256} << 20;
bool XEVMemoryPassReusable(const PlatMemoryStatus& status, uint64_t processUse);

// The decoded images of the process, all together, in bytes of image memory. The series
// behind the page and the rest of a cell's set are decoded only while less than three
// quarters of it is held; what the screen asks for is decoded whatever is held, and the grid
// then lets far images go until the rest fits again.
constexpr uint64_t kXEVDecodedBudget = uint64_t{256} << 20;
// Tests lower it; 0 restores kXEVDecodedBudget.
void XEVSetDecodedBudget(uint64_t bytes);
uint64_t XEVDecodedBudget();
// Whether a decode no cell shows now may be made.
bool XEVRoomForBackgroundDecode();
bool XEVDecodedOverBudget();

// The memory figures the pre-load budget is taken from; tests replace them, null restores
// the platform's.
using XEVMemoryStatusQuery = bool (*)(PlatMemoryStatus& status);
void XEVSetMemoryStatusQuery(XEVMemoryStatusQuery query);

// Told each path the pre-load opens, in order, on the pre-load thread; for tests.
using XEVPreloadObserver = void (*)(const QString& path);
void XEVSetPreloadObserver(XEVPreloadObserver observer);

// Stops the pre-load when it was started over the view, without waiting for it.
void StopPreloadOf(const XEVPreloadView* view);
