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
// An archive whose images are all members stored as symbolic links (or missing), which are never
// written out.
constexpr intptr_t kXEVLoadMemberLinks = -6;

// A load run ahead of the list's (File Open's check walks a DICOMDIR or reads a file alone), so
// that what the load refuses is known before anything shown is touched: the records it made,
// for the list to take, and its answer. Records never taken go with it.
struct XEVLoadedRecords {
    XEVLoadedRecords() = default;
    ~XEVLoadedRecords();
    XEVLoadedRecords(const XEVLoadedRecords&) = delete;
    XEVLoadedRecords& operator=(const XEVLoadedRecords&) = delete;

    QString path;
    std::vector<PatientInfo*> patients;
    // 0 when the load lists something; else kXEVLoadFailed, kXEVLoadOutOfMemory or one of the
    // link refusals (kXEVLoadLinkedOut, kXEVLoadLinkDangling, kXEVLoadLinkLoop).
    intptr_t failure = kXEVLoadFailed;
    int32_t frameCountsKnown = 0;
    int32_t split = 0;
    int32_t cut = 0;
    // A file alone that lists nothing: its failure's text (empty when it has none) and status.
    QString failureText;
    int32_t failureStatus = 0;
};

// The DICOMDIR loader's walk of path, on the caller's thread; parsed, when the check read this
// path already, is walked instead of the file. Once stop is set the answer, soon given, is a
// failure.
std::shared_ptr<XEVLoadedRecords> XEVWalkDicomDir(const QString& path, const std::atomic<int32_t>* stop,
                                                  std::shared_ptr<XEVParsedDicomDir> parsed = nullptr);
// The single-file loader's read of path, on the caller's thread.
std::shared_ptr<XEVLoadedRecords> XEVReadDicomFile(const QString& path);

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
    // walked, when File Open's check walked this path already, is handed on instead of a walk.
    int32_t StartLoading(const QString& path, const XEVWindowHandle& notify,
                         std::shared_ptr<XEVLoadedRecords> walked = nullptr);
    // loaded, when File Open's check read this path already, is handed on instead of a read.
    int32_t StartFileLoading(const XEVWindowHandle& notify, const QString& path,
                             std::shared_ptr<XEVLoadedRecords> loaded = nullptr);
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
    // The records the run was given, made ahead for its path, stamped with its disc; null when
    // it was given none.
    static std::shared_ptr<XEVLoadedRecords> TakeLoadedAhead(Run& run);
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
