#include "study/xevpatientlist.h"
#include "shell/xev_utility.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sys/stat.h>

#include "platform/platcodepage.h"
#include "platform/platfile.h"
#include "shell/xevcommonsettings.h"
#include "study/xevloadstate.h"
#include "study/xevrecordkeeper.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"

namespace {

constexpr size_t kReadBlock = 409600;

void DeleteAll(std::vector<PatientInfo*>& records)
{
    // A loader or the job worker let go may still be reading them: they go once it ends.
    XEVRetireRecords(records);
}

}   // namespace

XEVPatientList::~XEVPatientList()
{
    Clear();
    // A read-ahead let go may still be ending its block: it touches the scanner's gate.
    readAhead.WaitAll();
}

void XEVPatientList::StopThreads()
{
    // The loaders end before their next record; the next load clears the flag.
    stop = 1;
    StopReadAhead();
    StopAndJoinScanner();
    WaitAll();
    // The read-ahead and the pre-load read no record: let go, they end after their block.
    GetLoadState().HaltPreload();
}

void XEVPatientList::Clear()
{
    StopThreads();
    DeletePatients();
    DeleteExtraRecords();
    mediaPath.clear();
    notifyWindow = XEVWindowHandle();
    readAheadStop = 0;
    frameCountsKnown = 0;
    perFrameSplit = 0;
    dicomDirCut = 0;
}

int32_t XEVPatientList::StartLoading(const QString& path, const XEVWindowHandle& notify,
                                     std::shared_ptr<XEVParsedDicomDir> parsed)
{
    parsed_ = std::move(parsed);
    mediaPath = path;
    notifyWindow = notify;
    stop = 0;
    loaderDone_.Reset();
    if (!Start([this] { LoadDicomDirProc(); })) {
        parsed_.reset();
        loaderDone_.Set();
        return 0;
    }
    const XEVCommonSettings& settings = GetCommonSettings();
    if (settings.ModeMultiFrameRead != 0 || settings.ModeUnsupportSRDelList != 0) {
        StopAndJoinScanner();
        scanner.stop = 0;
        if (!scanner.Start([this] { ScanProc(); }, PlatThreadPriority::Lowest)) {
            return 0;
        }
    }
    return 1;
}

int32_t XEVPatientList::StartFileLoading(const XEVWindowHandle& notify, const QString& path)
{
    mediaPath = path;
    notifyWindow = notify;
    stop = 0;
    return Start([this] { LoadFileProc(); }) ? 1 : 0;
}

void XEVPatientList::StartReadAhead()
{
    // The old thread is let go with its own stop: it ends within its block, on its own.
    readAheadStop = 1;
    readAhead.Release();
    readAheadStop = 0;
    readAhead.stop = 0;
    // The paths are taken here, on the GUI thread: the thread never touches the records, so
    // they may be deleted while it ends its last block.
    std::vector<QString> paths;
    for (const PatientInfo* patient : patients) {
        for (const StudyInfo* study : patient->studies) {
            for (const SeriesInfo* series : study->series) {
                for (const ImageInfo* image : series->images) {
                    paths.push_back(image->filePath);
                }
            }
        }
    }
    (void)readAhead.Start([this, paths = std::move(paths), stop = readAhead.RunStop()]() mutable {
        ReadAheadProc(std::move(paths), *stop);
    });
}

void XEVPatientList::StopReadAhead()
{
    // No wait for the read under way: the GUI thread never waits for the medium.
    readAheadStop = 1;
    readAhead.Release();
    WaitAll();
}

void XEVPatientList::StopAndJoinScanner()
{
    scanAbort = 1;
    scanner.SetGate();
    scanner.WaitAll();
    scanAbort = 0;
}

void XEVPatientList::StopScan()
{
    StopAndJoinScanner();
    perFrameSplit = 0;
}

PatientInfo* XEVPatientList::GetPatient(int32_t index) const
{
    return index >= 0 && size_t(index) < patients.size() ? patients[size_t(index)] : nullptr;
}

void XEVPatientList::DeletePatients()
{
    DeleteAll(patients);
}

void XEVPatientList::DeleteExtraRecords()
{
    DeleteAll(scanRecords);
}

void XEVPatientList::SwapRecordSets()
{
    patients.swap(scanRecords);
}

uint64_t XEVPatientList::GetFileLength(const QString& path)
{
    struct stat info {};
    const std::string native = XEVNativePath(path);
    return ::stat(native.c_str(), &info) == 0 && S_ISREG(info.st_mode) ? uint64_t(info.st_size) : 0;
}

void XEVPatientList::Post(uint32_t message, intptr_t wParam)
{
    if (!notifyWindow.IsNull()) {
        XEVPostMessage(notifyWindow, message, XEVWParam(wParam), 0);
    }
}

void XEVPatientList::LoadDicomDirProc()
{
    int32_t result = 0;
    {
        std::lock_guard<PlatRecursiveLock> guard(loadLock);
        XEVVEKHelper helper;
        XEVLoadState& state = GetLoadState();
        state.perFrameEntries = 0;
        int32_t known = 0;
        int32_t split = 0;
        result = helper.LoadDicomDir(mediaPath, patients, known, split, &stop, std::move(parsed_));
        frameCountsKnown = known;
        perFrameSplit = split;
        dicomDirCut = helper.dicomDirCut ? 1 : 0;
        if (result != 0 && known == 1 && split == 1) {
            state.perFrameEntries = 1;
        }
    }
    // Posted before the scanner may start, so that its report never arrives first.
    Post(WM_XEV_PATIENTS_LOADED, result != 0 ? 0 : kXEVLoadFailed);
    loaderDone_.Set();
}

void XEVPatientList::LoadFileProc()
{
    XEVVEKHelper helper;
    if (helper.LoadDicomFile(mediaPath, patients) != 0) {
        Post(WM_XEV_PATIENTS_LOADED, 0);
    }
}

void XEVPatientList::ScanProc()
{
    // Never ahead of the DICOMDIR loader: the first images must not wait for a whole scan,
    // and the scan needs the frame counts the load found.
    loaderDone_.Wait();
    int32_t result = 1;
    {
        std::lock_guard<PlatRecursiveLock> guard(loadLock);
        if (frameCountsKnown.load() != 1 || GetCommonSettings().ModeUnsupportSRDelList != 0) {
            XEVVEKHelper helper;
            int32_t multiFrame = 0;
            int32_t unsupported = scanSRResult.load();
            result = helper.ScanDicomDir(multiFrame, unsupported, mediaPath, scanRecords, frameCountsKnown.load(),
                                         scanAbort, scanner);
            perFrameSplit = multiFrame;
            scanSRResult = unsupported;
        }
    }
    // An aborted scan built part of the records only: it must not be offered as finished.
    if (scanAbort.load() == 0) {
        Post(WM_XEV_SCAN_DONE, result != 0 ? 0 : kXEVLoadFailed);
    }
}

void XEVPatientList::ReadAheadProc(std::vector<QString> paths, const std::atomic<int32_t>& stop)
{
    scanner.ResetGate();
    if (stop.load() == 0) {
        // Split multi-frame files list one path many times; each is read once.
        std::sort(paths.begin(), paths.end());
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
        std::vector<char> buffer(kReadBlock);
        for (const QString& path : paths) {
            readAhead.WaitGate();
            if (stop.load() != 0) {
                break;
            }
            // Never a pipe or a device: a read that never ends would hold the medium.
            FILE* file = PlatOpenRegularStream(XEVNativePath(path).c_str());
            if (file == nullptr) {
                continue;
            }
            if (readAheadObserver != nullptr) {
                readAheadObserver(path);
            }
            // Block by block, so a stop is seen within one block and no buffer grows with
            // the file.
            while (stop.load() == 0) {
                // Each block in the medium's turn: the frames on screen go first.
                XEVMediumTurn turn(XEVReadPriority::Background, &stop);
                if (!turn.Held()) {
                    break;
                }
                const size_t got = std::fread(buffer.data(), 1, kReadBlock, file);
                readAheadBytesRead_.fetch_add(int64_t(got));
                if (got < kReadBlock) {
                    break;
                }
            }
            std::fclose(file);
            readAheadFilesRead_.fetch_add(1);
        }
    }
    scanner.SetGate();
}
