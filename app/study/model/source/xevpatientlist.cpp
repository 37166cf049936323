#include "study/xevpatientlist.h"
#include "shell/xev_utility.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <functional>
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
#include "viewer/xevimagememory.h"

namespace {

constexpr size_t kReadBlock = 409600;

void DeleteAll(std::vector<PatientInfo*>& records)
{
    // A loader or the job worker let go may still be reading them: they go once it ends.
    XEVRetireRecords(records);
}

}   // namespace

// What a run's threads read and make. They never write the list: Hand queues what goes into
// it for the list's own thread, which takes it while the list still owns the run. A run let
// go, stopped or not, keeps its records to itself and tells nobody.
struct XEVPatientList::Run {
    using Give = std::function<void(XEVPatientList&, Run&)>;

    Run(XEVPatientList& list, QString medium, XEVWindowHandle notifyWindow, XEVWindowHandle handIn, uint64_t number)
        : path(std::move(medium)), notify(std::move(notifyWindow)), handTo(std::move(handIn)), serial(number),
          owner(&list)
    {
    }
    ~Run()
    {
        // Made by the run alone and never shown: no reader, no edit box.
        for (PatientInfo* patient : patients) {
            delete patient;
        }
        for (PatientInfo* patient : scanRecords) {
            delete patient;
        }
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    // Queues give for the list's thread with the message, while the list owns the run, and
    // for the scan while it has not been stopped. One give a message, in order.
    void Hand(bool scan, uint32_t message, intptr_t wParam, Give give)
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (owner == nullptr || (scan && scanLetGo)) {
            return;
        }
        handed.push_back(std::move(give));
        XEVPostMessage(handTo, message, XEVWParam(wParam), XEVLParam(serial));
    }

    const QString path;
    const XEVWindowHandle notify;
    const XEVWindowHandle handTo;
    const uint64_t serial;
    // The disc shown when the run began: what it fails on later is told only while it is shown.
    const uint64_t disc = GetLoadState().CurrentDisc();
    std::mutex mutex;
    XEVPatientList* owner;     // under the mutex; null once let go
    bool scanLetGo = false;    // under the mutex
    std::deque<Give> handed;   // under the mutex
    std::shared_ptr<XEVLoadedRecords> loaded;
    std::vector<PatientInfo*> patients;
    std::vector<PatientInfo*> scanRecords;
    // The loader's frame-count answer, for the scanner; read once loaderDone is set.
    int32_t frameCountsKnown = 0;
    int32_t scanSRResult = 0;
    // Set once the DICOMDIR loader has ended: the scanner starts only then.
    PlatEvent loaderDone{true, false};
};

XEVPatientList::XEVPatientList() = default;

XEVPatientList::~XEVPatientList()
{
    Clear();
    // The threads let go end after their block; the read-ahead and the scan touch the
    // scanner's gate, the loaders only their run: their ends are waited for here. At the
    // program's end they have all ended before (or the process ends without this).
    readAhead.WaitAll();
    scanner.WaitAll();
    WaitAll();
}

void XEVPatientList::StopThreads()
{
    StopReadAhead();
    LetRunGo();
    // The read-ahead and the pre-load read no record: let go, they end after their block.
    GetLoadState().HaltPreload();
}

void XEVPatientList::LetRunGo()
{
    if (run_) {
        std::lock_guard<std::mutex> guard(run_->mutex);
        run_->owner = nullptr;
    }
    run_.reset();
    // The runs' stops are raised and their gates opened; those ended are joined, the rest
    // by a later call.
    Release();
    scanner.Release();
}

std::shared_ptr<XEVPatientList::Run> XEVPatientList::NewRun()
{
    LetRunGo();
    if (!handIn_) {
        handIn_ = std::make_unique<XEVMessageReceiver>();
        for (const uint32_t message : {uint32_t(WM_XEV_PATIENTS_LOADED), uint32_t(WM_XEV_SCAN_DONE)}) {
            handIn_->SetHandler(message, [this, message](XEVWParam wParam, XEVLParam serial) {
                return TakeHanded(message, wParam, serial);
            });
        }
    }
    run_ = std::make_shared<Run>(*this, mediaPath, notifyWindow, handIn_->Handle(), ++runSerial_);
    run_->scanSRResult = scanSRResult.load();
    return run_;
}

XEVResult XEVPatientList::TakeHanded(uint32_t message, XEVWParam wParam, XEVLParam serial)
{
    // A message of a run let go since it was posted is dropped.
    const std::shared_ptr<Run> run = run_;
    if (!run || run->serial != uint64_t(serial)) {
        return 0;
    }
    Run::Give give;
    {
        std::lock_guard<std::mutex> guard(run->mutex);
        if (run->owner != this || run->handed.empty()) {
            return 0;
        }
        give = std::move(run->handed.front());
        run->handed.pop_front();
        if (message == WM_XEV_SCAN_DONE && run->scanLetGo) {
            return 0;
        }
    }
    give(*this, *run);
    return XEVSendMessage(run->notify, message, wParam, 0);
}

void XEVPatientList::Clear()
{
    StopThreads();
    DeletePatients();
    DeleteExtraRecords();
    mediaPath.clear();
    notifyWindow = XEVWindowHandle();
    frameCountsKnown = 0;
    perFrameSplit = 0;
    dicomDirCut = 0;
    // The disc's frames are gone: the pages kept for its next ones go back too.
    XEVReleaseKeptImagePages();
}

int32_t XEVPatientList::StartLoading(const QString& path, const XEVWindowHandle& notify,
                                     std::shared_ptr<XEVLoadedRecords> loaded)
{
    mediaPath = path;
    notifyWindow = notify;
    std::shared_ptr<Run> run = NewRun();
    run->loaded = std::move(loaded);
    if (!Start([run, stop = RunStop()] { LoadDicomDirProc(*run, *stop); })) {
        run->loaded.reset();
        return 0;
    }
    const XEVCommonSettings& settings = GetCommonSettings();
    if (settings.ModeMultiFrameRead != 0 || settings.ModeUnsupportSRDelList != 0) {
        if (!scanner.Start([run, stop = scanner.RunStop(), gate = &scanner] { ScanProc(*run, *stop, *gate); },
                           PlatThreadPriority::Lowest)) {
            return 0;
        }
    }
    return 1;
}

int32_t XEVPatientList::StartFileLoading(const XEVWindowHandle& notify, const QString& path,
                                         std::shared_ptr<XEVLoadedRecords> loaded)
{
    mediaPath = path;
    notifyWindow = notify;
    std::shared_ptr<Run> run = NewRun();
    run->loaded = std::move(loaded);
    return Start([run] { LoadFileProc(*run); }) ? 1 : 0;
}

void XEVPatientList::StartReadAhead()
{
    // The old thread is let go with its own stop: it ends within its block, on its own.
    readAhead.Release();
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
    readAhead.Release();
    ReapEnded();
}

void XEVPatientList::StopScan()
{
    if (run_) {
        std::lock_guard<std::mutex> guard(run_->mutex);
        run_->scanLetGo = true;
    }
    scanner.Release();
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

XEVLoadedRecords::~XEVLoadedRecords()
{
    // Made ahead and never taken, so never shown: no reader, no edit box.
    for (PatientInfo* patient : patients) {
        delete patient;
    }
}

std::shared_ptr<XEVLoadedRecords> XEVWalkDicomDir(const QString& path, const std::atomic<int32_t>* stop,
                                                  std::shared_ptr<XEVParsedDicomDir> parsed)
{
    auto walked = std::make_shared<XEVLoadedRecords>();
    walked->path = path;
    XEVVEKHelper helper;
    const int32_t result =
        helper.LoadDicomDir(path, walked->patients, walked->frameCountsKnown, walked->split, stop, std::move(parsed));
    const int32_t cut = helper.dicomDirCut;
    walked->cut = cut;
    const intptr_t linked = (cut & kXEVDicomDirLinkedOut) != 0      ? kXEVLoadLinkedOut
                            : (cut & kXEVDicomDirLinkDangling) != 0 ? kXEVLoadLinkDangling
                                                                    : kXEVLoadLinkLoop;
    walked->failure = result != 0                                             ? 0
                      : helper.statusCode == XEVVEKHelper::kStatusOutOfMemory ? kXEVLoadOutOfMemory
                      : helper.statusCode == XEVVEKHelper::kStatusLinkedOut   ? linked
                                                                              : kXEVLoadFailed;
    return walked;
}

std::shared_ptr<XEVLoadedRecords> XEVReadDicomFile(const QString& path)
{
    auto read = std::make_shared<XEVLoadedRecords>();
    read->path = path;
    XEVVEKHelper helper;
    if (helper.LoadDicomFile(path, read->patients) != 0) {
        read->failure = 0;
    } else {
        read->failureText = helper.statusText;
        read->failureStatus = helper.statusCode;
    }
    return read;
}

std::shared_ptr<XEVLoadedRecords> XEVPatientList::TakeLoadedAhead(Run& run)
{
    std::shared_ptr<XEVLoadedRecords> loaded = std::move(run.loaded);
    if (loaded == nullptr || loaded->path != run.path) {
        return nullptr;
    }
    // Made ahead, while the disc shown before was current: they belong to this run's.
    for (PatientInfo* patient : loaded->patients) {
        for (StudyInfo* study : patient->studies) {
            for (SeriesInfo* series : study->series) {
                for (ImageInfo* image : series->images) {
                    image->disc = run.disc;
                }
            }
        }
    }
    return loaded;
}

void XEVPatientList::LoadDicomDirProc(Run& run, const std::atomic<int32_t>& stop)
{
    std::shared_ptr<XEVLoadedRecords> walked = TakeLoadedAhead(run);
    if (walked == nullptr) {
        walked = XEVWalkDicomDir(run.path, &stop);
    }
    run.patients.swap(walked->patients);
    const int32_t known = walked->frameCountsKnown;
    const int32_t split = walked->split;
    const int32_t cut = walked->cut;
    const intptr_t failure = walked->failure;
    run.frameCountsKnown = known;
    // Handed before the scanner may start, so that its report never arrives first.
    run.Hand(false, WM_XEV_PATIENTS_LOADED, failure, [failure, known, split, cut](XEVPatientList& list, Run& handed) {
        list.patients.swap(handed.patients);
        list.frameCountsKnown = known;
        list.perFrameSplit = split;
        list.dicomDirCut = cut;
        GetLoadState().perFrameEntries = failure == 0 && known == 1 && split == 1 ? 1 : 0;
    });
    run.loaderDone.Set();
}

void XEVPatientList::LoadFileProc(Run& run)
{
    std::shared_ptr<XEVLoadedRecords> read = TakeLoadedAhead(run);
    if (read == nullptr) {
        read = XEVReadDicomFile(run.path);
    }
    if (read->failure == 0) {
        run.patients.swap(read->patients);
        run.Hand(false, WM_XEV_PATIENTS_LOADED, 0,
                 [](XEVPatientList& list, Run& handed) { list.patients.swap(handed.patients); });
    } else if (!read->failureText.isEmpty()) {
        // Nothing is listed: the failure box says why.
        GetLoadState().TellLoadFailure(read->failureText, read->failureStatus, run.disc);
    }
}

void XEVPatientList::ScanProc(Run& run, const std::atomic<int32_t>& stop, XEVThread& gate)
{
    // Never ahead of the DICOMDIR loader: the first images must not wait for a whole scan,
    // and the scan needs the frame counts the load found.
    run.loaderDone.Wait();
    if (stop.load() != 0) {
        return;
    }
    int32_t result = 1;
    int32_t multiFrame = 0;
    int32_t unsupported = run.scanSRResult;
    const bool scans = run.frameCountsKnown != 1 || GetCommonSettings().ModeUnsupportSRDelList != 0;
    if (scans) {
        XEVVEKHelper helper;
        result =
            helper.ScanDicomDir(multiFrame, unsupported, run.path, run.scanRecords, run.frameCountsKnown, stop, gate);
    }
    // An aborted scan built part of the records only: it must not be offered as finished.
    if (stop.load() != 0) {
        return;
    }
    run.Hand(true, WM_XEV_SCAN_DONE, result != 0 ? 0 : kXEVLoadFailed,
             [scans, multiFrame, unsupported](XEVPatientList& list, Run& handed) {
                 if (scans) {
                     list.scanRecords.swap(handed.scanRecords);
                     list.perFrameSplit = multiFrame;
                     list.scanSRResult = unsupported;
                 }
             });
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
