#pragma once

// What File Open and the command line accept: a zip archive holding a DICOMDIR, a DICOMDIR,
// or a single DICOM file; the archive import that points the loaders at the archive; and
// the SR reading the report dialog uses.

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "study/xevpatientlist.h"
#include "study/xevvekhelper.h"

enum class XEVOpenKind {
    Archive,
    DicomDir,
    DicomFile,
    Unreadable,   // message 10027
};

bool IsDicomDirFile(const QString& path, const std::atomic<int32_t>* stop = nullptr);
bool IsDicomFile(const QString& path, const std::atomic<int32_t>* stop = nullptr);
// The archive test first, then "DICM" at offset 128 and what the helper reads. Reads the
// whole DICOMDIR, so it may take seconds: safe on any thread; once stop is set the answer,
// soon given, means nothing.
// With parsed, a DICOMDIR's parse is handed out for its load to walk, so it is read once.
XEVOpenKind ClassifyOpenPath(const QString& path, const std::atomic<int32_t>* stop = nullptr,
                             XEVParsedDicomDirPtr* parsed = nullptr);
// The command line's path: an archive, a single DICOM file, or else a DICOMDIR, which its own
// load tells apart (reading it whole here first would read it twice).
XEVOpenKind ClassifyStartPath(const QString& path, const std::atomic<int32_t>* stop = nullptr);
using XEVOpenClassifier = XEVOpenKind (*)(const QString& path, const std::atomic<int32_t>* stop);

// Reads the SR document at path into report; 1 when read, 0 leaves report unchanged. status,
// when given, takes the read's status code (XEVVEKHelper::kStatusLoadBudget: out of memory).
int32_t ReadReportFile(const QString& path, ReportInfo& report, int32_t* status = nullptr);

// An archive's import, made beside the archive open without touching it: the archive's
// DICOMDIR extracted into a folder of its own and walked as its load walks it. Its folder goes
// with it, on the removals' worker, unless the import is taken.
struct XEVArchiveImport {
    XEVArchiveImport() = default;
    ~XEVArchiveImport();
    XEVArchiveImport(const XEVArchiveImport&) = delete;
    XEVArchiveImport& operator=(const XEVArchiveImport&) = delete;

    std::string zipPath;
    // Empty when nothing was extracted (no DICOMDIR that reads whole, no room), and once taken.
    std::string folder;
    QString dicomDir;
    // The walk, for the load to take.
    std::shared_ptr<XEVLoadedRecords> walked;
    // 0 when the archive gives something to show; else kXEVLoadFailed, the walk's failure, or,
    // when no image is a member that can be written out and some are refused (the others
    // missing), kXEVLoadMemberLinks for a link among them and kXEVLoadFailed otherwise.
    intptr_t failure = kXEVLoadFailed;
};

// The archive's check and import, on a worker: what the archive's load would refuse is known
// before anything shown is touched. Once stop is set the answer, soon given, means nothing.
std::shared_ptr<XEVArchiveImport> CheckZipArchive(const QString& zipPath, const std::atomic<int32_t>* stop);
// The import's archive becomes the one the loaders read, in place of the one open, whose
// folder goes; the pre-load is stopped first (it reads the archive fields). For the GUI thread,
// once the loaders of the source shown were stopped. The DICOMDIR to load.
QString TakeZipArchive(XEVArchiveImport& import);
// Clears both fields, so that no archive member stands in for a file of another source, and
// has the folder removed and the kept index forgotten; for opening a DICOMDIR or a single file,
// and at exit. Once stop says so the removal ends between two entries; what is left keeps the
// folder's lock.
void ForgetZipArchive(const std::function<bool()>& stop = {});
// Every folder an archive no longer shown leaves (the one taken over, forgotten or refused) is
// removed on a counted worker, never on the caller's thread, one after another; the worker
// stops as the end begins, whose own removal takes what is left. Whether one is still to go.
bool ArchiveFolderRemovalsPending();
