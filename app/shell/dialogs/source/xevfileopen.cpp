#include "shell/xevfileopen.h"

#include <filesystem>

#include "shell/xev_utility.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"

bool IsDicomDirFile(const QString& path, const std::atomic<int32_t>* stop)
{
    return XEVVEKHelper::IsDicomDir(path, stop) != 0;
}

bool IsDicomFile(const QString& path, const std::atomic<int32_t>* stop)
{
    return XEVVEKHelper::IsDicomFile(path, stop) != 0;
}

XEVOpenKind ClassifyOpenPath(const QString& path, const std::atomic<int32_t>* stop, XEVParsedDicomDirPtr* parsed)
{
    const std::string narrow = XEVNativePath(path);
    if (IsZipFile(narrow)) {
        return XEVOpenKind::Archive;
    }
    if (!HasDicmMarker(narrow)) {
        return XEVOpenKind::Unreadable;
    }
    if (parsed != nullptr) {
        *parsed = XEVVEKHelper::ReadDicomDir(path, stop);
        if (*parsed != nullptr) {
            return XEVOpenKind::DicomDir;
        }
    } else if (IsDicomDirFile(path, stop)) {
        return XEVOpenKind::DicomDir;
    }
    return IsDicomFile(path, stop) ? XEVOpenKind::DicomFile : XEVOpenKind::Unreadable;
}

XEVOpenKind ClassifyStartPath(const QString& path, const std::atomic<int32_t>* stop)
{
    // A file that reads as a DICOMDIR never reads as an image, so the answers are File Open's.
    const std::string narrow = XEVNativePath(path);
    if (IsZipFile(narrow)) {
        return XEVOpenKind::Archive;
    }
    return HasDicmMarker(narrow) && IsDicomFile(path, stop) ? XEVOpenKind::DicomFile : XEVOpenKind::DicomDir;
}

int32_t ReadReportFile(const QString& path, ReportInfo& report)
{
    XEVVEKHelper helper;
    return helper.ReadReport(path, report);
}

QString ImportZipArchive(const QString& zipPath)
{
    XEVLoadState& state = GetLoadState();
    state.HaltPreload();
    const std::string folder = XEVGetExtractFolder();
    const std::string narrowZip = XEVNativePath(zipPath);
    if (folder.empty() || !XEVExtractArchiveDicomDir(narrowZip, folder)) {
        // Once the earlier import's files are gone, its fields would point at nothing.
        std::error_code ignored;
        if (state.GetExtractFolder() == folder && !std::filesystem::exists(folder + "/DICOMDIR", ignored)) {
            state.SetArchive(std::string(), std::string());
        }
        return QString();
    }
    state.SetArchive(narrowZip, folder);
    return QString::fromStdString(folder + "/DICOMDIR");
}

void ForgetZipArchive()
{
    XEVLoadState& state = GetLoadState();
    const std::string folder = state.GetExtractFolder();
    state.SetArchive(std::string(), std::string());
    ZipForgetIndex();
    if (!folder.empty()) {
        XEVDeleteExtractFolder(folder);
    }
}
