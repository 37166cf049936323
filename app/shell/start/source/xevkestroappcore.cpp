#include "shell/xevkestroappcore.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platfileid.h"
#include "platform/platfolder.h"
#include "shell/xev_utility.h"

namespace {

const QString kAgreeArgument = QStringLiteral("/Agree");

bool IsFileNotFolder(const QString& path)
{
    struct stat st;
    return stat(XEVNativePath(path).c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The folder's file of that name, or empty when it is missing or a folder.
QString FileInFolder(QString folder, const QString& name)
{
    if (!folder.endsWith(u'/')) {
        folder += u'/';
    }
    folder += name;
    return IsFileNotFolder(folder) ? folder : QString();
}

// The folder's DICOMDIR under the name the medium shows it by ("DICOMDIR", "dicomdir",
// "DICOMDIR;1"), or empty when it is missing or a folder.
QString DicomDirIn(const QString& folder)
{
    const QString path =
        XEVPathText(PlatJoinFileId(XEVNativePath(folder.isEmpty() ? QStringLiteral("/") : folder), "DICOMDIR"));
    return IsFileNotFolder(path) ? path : QString();
}

bool ModifiedAt(const QString& path, timespec& time)
{
    struct stat st;
    if (stat(XEVNativePath(path).c_str(), &st) != 0) {
        return false;
    }
    time = st.st_mtim;
    return true;
}

}   // namespace

QString CKestroAppCore::FindDicomDirPath(const QString& programFolder)
{
    QString top = programFolder;
    if (top.endsWith(u'/')) {
        top.chop(1);
    }
    for (int cut = 0; cut < 2; ++cut) {
        const qsizetype slash = top.lastIndexOf(u'/');
        if (slash < 0) {
            break;
        }
        top.truncate(slash);
    }
    const QString onDisc = DicomDirIn(top);
    return !onDisc.isEmpty() ? onDisc : DicomDirIn(programFolder);
}

QString CKestroAppCore::FindDicomDirPath()
{
    return FindDicomDirPath(QString::fromStdString(PlatGetModuleFolder()));
}

QString CKestroAppCore::GetHelpFilePath(const QString& programFolder)
{
    return FileInFolder(programFolder, QStringLiteral("ZYLV.CHM"));
}

QString CKestroAppCore::GetAgreementFolder()
{
    const std::string home = PlatGetLocalAppDataFolder();
    if (home.empty()) {
        return QString();
    }
    std::string path;
    const std::string full = home + "/Korvanta MEDICAL/RV-K Viewer";
    // Every missing folder on the way, the data home included, private to the user.
    for (size_t i = 1; i <= full.size(); ++i) {
        if (i < full.size() && full[i] != '/') {
            continue;
        }
        path = full.substr(0, i);
        struct stat st;
        if (stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return QString();
            }
        } else if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            return QString();
        }
    }
    return QString::fromStdString(full) + u'/';
}

bool CKestroAppCore::IsAgreementCurrent(const QString& agreementFolder, const QString& programFolder)
{
    if (agreementFolder.isEmpty()) {
        return false;
    }
    const QString markerPath = agreementFolder + QStringLiteral("Agree");
    timespec marker{}, shortcut{};
    if (!IsFileNotFolder(markerPath) || !ModifiedAt(markerPath, marker) ||
        !ModifiedAt(programFolder + QStringLiteral("ZYLV.lnk"), shortcut)) {
        return false;
    }
    return marker.tv_sec != shortcut.tv_sec ? marker.tv_sec > shortcut.tv_sec : marker.tv_nsec > shortcut.tv_nsec;
}

bool CKestroAppCore::IsAgreementCurrent()
{
    return IsAgreementCurrent(GetAgreementFolder(), QString::fromStdString(PlatGetModuleFolder()));
}

bool CKestroAppCore::HasAgreeArgument(const QStringList& arguments)
{
    return arguments.indexOf(kAgreeArgument, 1) >= 1;
}

bool CKestroAppCore::AgreesWithoutAsking(const QStringList& arguments)
{
    return HasAgreeArgument(arguments) ||
           (!arguments.isEmpty() && QFileInfo(arguments.front()).fileName().contains(QStringLiteral("_Agree")));
}

QString CKestroAppCore::PathArgument(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] != kAgreeArgument && !arguments[i].isEmpty()) {
            return QDir::cleanPath(QFileInfo(arguments[i]).absoluteFilePath());
        }
    }
    return QString();
}

bool CKestroAppCore::DeleteFolderTree(const QString& folder)
{
    QByteArray path = QFile::encodeName(folder);
    // A trailing '/' would make lstat and open follow a link in the last place.
    while (path.size() > 1 && path.endsWith('/')) {
        path.chop(1);
    }
    struct stat st;
    if (path.isEmpty() || lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    const int fd = open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // A few descriptors whatever the depth.
    PlatEmptyFolderAt(fd);
    close(fd);
    return rmdir(path.constData()) == 0;
}
