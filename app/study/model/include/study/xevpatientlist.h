#pragma once

// The patient records of the medium and the threads that fill and warm them: the DICOMDIR
// loader, the single-file loader, the medium scanner and the read-ahead thread. The base
// list holds the two loaders.

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"
#include "study/xevthread.h"

class PatientInfo;
struct XEVParsedDicomDir;

constexpr intptr_t kXEVLoadFailed = -1001;
// The DICOMDIR's read was refused by its memory budget.
constexpr intptr_t kXEVLoadOutOfMemory = -2;
// The DICOMDIR's images all lie where symbolic links lead out of the disc, or behind links to
// nothing or in a loop (the first of these that the images met, in this order).
constexpr intptr_t kXEVLoadLinkedOut = -3;
constexpr intptr_t kXEVLoadLinkDangling = -4;
constexpr intptr_t kXEVLoadLinkLoop = -5;

class XEVPatientList : public XEVThread {
public:
    XEVPatientList();
    // Stops every thread, lets the records go, then joins the threads: the program's end.
    virtual ~XEVPatientList();

    // Stops the threads as StopThreads does, lets every record go (freed once no reader
    // holds it) and resets the state. Callers first stop whatever else reads the records (the job
    // queue, the view loaders, the pre-load).
    void Clear();
    // Starts the DICOMDIR loader; with "ModeMultiFrameRead" or "ModeUnsupportSRDelList" also
    // the scanner, which begins once the loader has ended. 0 when a thread cannot be made.
    // parsed, when File Open's check read this path already, is walked instead of the file.
    int32_t StartLoading(const QString& path, const XEVWindowHandle& notify,
                         std::shared_ptr<XEVParsedDicomDir> parsed = nullptr);
    int32_t StartFileLoading(const XEVWindowHandle& notify, const QString& path);
    // Lets any read-ahead go, then reads every listed file once.
    void StartReadAhead();
    // Stops the read-ahead without waiting for it (it ends within one block, on its own, and
    // never touches the records), then joins the loaders that have ended.
    void StopReadAhead();
    // Stops the scanner without waiting for it; its records never reach the list. Clears the
    // split flag.
    void StopScan();
    // Stops the loaders, the scanner, the read-ahead and the pre-load, keeping the records:
    // the first step of Clear and of shutting down. Nothing is waited for: a loader or scan
    // let go builds records of its own, which never reach the list, and ends after its read.
    void StopThreads();
    PatientInfo* GetPatient(int32_t index) const;
    void DeletePatients();
    void DeleteExtraRecords();
    // The scan's records become the current ones and the current ones (emptied first by the
    // caller) the second set.
    void SwapRecordSets();
    // 0 when no file matches.
    static uint64_t GetFileLength(const QString& path);

    // Files and bytes the read-ahead threads have read, for tests and figures.
    int64_t ReadAheadFilesRead() const { return readAheadFilesRead_.load(); }
    int64_t ReadAheadBytesRead() const { return readAheadBytesRead_.load(); }
    // Told each path the read-ahead opens, on its thread; for tests.
    void (*readAheadObserver)(const QString& path) = nullptr;

    std::vector<PatientInfo*> patients;
    std::vector<PatientInfo*> scanRecords;
    QString mediaPath;
    XEVWindowHandle notifyWindow;
    XEVThread readAhead;
    XEVThread scanner;
    std::atomic<int32_t> perFrameSplit{0};
    std::atomic<int32_t> scanSRResult{0};
    std::atomic<int32_t> frameCountsKnown{0};
    // The limits past which the last DICOMDIR load left records out (kXEVDicomDirCut... bits).
    std::atomic<int32_t> dicomDirCut{0};

private:
    // One load of a medium, shared with its threads.
    struct Run;
    static void LoadDicomDirProc(Run& run, const std::atomic<int32_t>& stop);
    static void LoadFileProc(Run& run);
    static void ScanProc(Run& run, const std::atomic<int32_t>& stop, XEVThread& gate);
    void ReadAheadProc(std::vector<QString> paths, const std::atomic<int32_t>& stop);
    // Lets the current run go (its results never reach the list) and starts a new one.
    std::shared_ptr<Run> NewRun();
    void LetRunGo();
    // On the list's thread: what the run's thread handed with that message goes into the
    // list, then the message goes on to the notified window.
    XEVResult TakeHanded(uint32_t message, XEVWParam wParam, XEVLParam serial);

    std::atomic<int64_t> readAheadFilesRead_{0};
    std::atomic<int64_t> readAheadBytesRead_{0};
    std::shared_ptr<Run> run_;
    uint64_t runSerial_ = 0;
    // Receives the runs' hand-overs on the list's thread, the only one that touches the records.
    std::unique_ptr<XEVMessageReceiver> handIn_;
};
