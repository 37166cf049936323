#pragma once

// What File Open and the command line accept: a zip archive holding a DICOMDIR, a DICOMDIR,
// or a single DICOM file; the archive import that points the loaders at the archive; and
// the SR reading the report dialog uses.

#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>

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

// The import of an archive: the pre-load thread is stopped first (it reads the archive
// fields), the DICOMDIR lands in the extraction folder and both fields are stored. The
// extracted DICOMDIR's path to load, or empty when the import failed (message 10027); the
// fields are then kept unless the earlier import's files went with the attempt.
QString ImportZipArchive(const QString& zipPath);
// Empties the extraction folder and clears both fields, so that no archive member stands in
// for a file of another source; for opening a DICOMDIR or a single file, and at exit. Once
// stop says so the emptying ends between two entries; what is left keeps the folder's lock.
void ForgetZipArchive(const std::function<bool()>& stop = {});
