#include "shell/xevfileopen.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string_view>
#include <utility>

#include "shell/xev_utility.h"
#include "shell/xevdetached.h"
#include "shell/xevziparchive.h"
#include "study/xevloadstate.h"
#include "study/xevpatientlist.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"

bool IsDicomDirFile(const QString& path, const std::atomic<int32_t>* stop)
{
    return XEVVEKHelper::IsDicomDir(path, stop) != 0;
}

bool IsDicomFile(const QString& path, const std::atomic<int32_t>* stop)
{
    return XEVVEKHelper::IsDicomFile(path, stop) != 0;
}

namespace {

bool HasZipName(const std::string& narrow)
{
    constexpr std::string_view kZip = ".zip";
    return narrow.size() > kZip.size() &&
           std::equal(kZip.begin(), kZip.end(), narrow.end() - kZip.size(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
}

// Whether the file is a zip or has the DICOM mark, read in the medium's turn like the checks
// after them. False when the stop came first. Each kind is read where its own reader starts, so
// the drive seeks once: a zip is known by its end record, where its directory is read next, and
// a file named as one is looked at there first; any other file by its first bytes, since a
// DICOMDIR's parse reads from its start, and is looked at as a zip only when it begins as one or
// has no DICOM mark.
bool ReadMarks(const std::string& narrow, const std::atomic<int32_t>* stop, bool& zip, bool& dicm)
{
    XEVMediumTurn turn(XEVReadPriority::OnScreen, stop);
    if (!turn.Held()) {
        return false;
    }
    const bool zipName = HasZipName(narrow);
    if (zipName && IsZipFile(narrow)) {
        zip = true;
        dicm = false;
        return true;
    }
    const XEVFileMarks marks = ReadFileMarks(narrow);
    zip = !zipName && (!marks.dicm || marks.zipStart) && IsZipFile(narrow);
    dicm = !zip && marks.dicm;
    return true;
}

}   // namespace

XEVOpenKind ClassifyOpenPath(const QString& path, const std::atomic<int32_t>* stop, XEVParsedDicomDirPtr* parsed)
{
    bool zip = false;
    bool dicm = false;
    if (!ReadMarks(XEVNativePath(path), stop, zip, dicm)) {
        return XEVOpenKind::Unreadable;
    }
    if (zip) {
        return XEVOpenKind::Archive;
    }
    if (!dicm) {
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
    bool zip = false;
    bool dicm = false;
    if (!ReadMarks(XEVNativePath(path), stop, zip, dicm)) {
        return XEVOpenKind::DicomDir;
    }
    if (zip) {
        return XEVOpenKind::Archive;
    }
    return dicm && IsDicomFile(path, stop) ? XEVOpenKind::DicomFile : XEVOpenKind::DicomDir;
}

int32_t ReadReportFile(const QString& path, ReportInfo& report, int32_t* status)
{
    XEVVEKHelper helper;
    const int32_t read = helper.ReadReport(path, report);
    if (status != nullptr) {
        *status = helper.statusCode;
    }
    return read;
}

namespace {

// What the records' images are among the archive's members: 0 when one at least can be written
// out, or when none is there at all (each then fails as a disc's missing file does); when every
// one there is refused, kXEVLoadMemberLinks for a link among them, else kXEVLoadFailed.
intptr_t MembersFailure(const XEVArchiveImport& import)
{
    bool link = false;
    bool refused = false;
    for (const PatientInfo* patient : import.walked->patients) {
        for (const StudyInfo* study : patient->studies) {
            for (const SeriesInfo* series : study->series) {
                for (const ImageInfo* image : series->images) {
                    const int32_t status =
                        ZipMemberStatus(import.zipPath, import.folder, XEVNativePath(image->filePath));
                    if (status == kZipOk) {
                        return 0;
                    }
                    link = link || IsZipMemberLink(status);
                    refused = refused || status != kZipNoMatch;
                }
            }
        }
    }
    return link ? kXEVLoadMemberLinks : refused ? kXEVLoadFailed : 0;
}

// The import's members are read through its own archive while it is being checked.
class CheckedArchive {
public:
    CheckedArchive(const std::string& zipPath, const std::string& folder) : folder_(folder)
    {
        GetLoadState().AddCheckedArchive(zipPath, folder);
    }
    ~CheckedArchive() { GetLoadState().RemoveCheckedArchive(folder_); }
    CheckedArchive(const CheckedArchive&) = delete;
    CheckedArchive& operator=(const CheckedArchive&) = delete;

private:
    std::string folder_;
};

// The folders of archives no longer shown, removed one after another on a counted worker: a slow
// or stalled temporary folder holds neither the window nor the next disc's load.
struct FolderRemovals {
    struct Removal {
        std::string folder;
        std::function<bool()> stop;
        // The kept index goes too: a reader building it on a slow drive holds its lock.
        bool forgetIndex = false;
    };
    std::mutex mutex;
    std::deque<Removal> waiting;
    bool running = false;
};

// Never destroyed: a removal may still run when exit() destroys statics.
FolderRemovals& TheFolderRemovals()
{
    static FolderRemovals& removals = *new FolderRemovals;
    return removals;
}

// The end has begun: it shuts naming first, and its own removal takes these folders with the
// copy's extraction folder, whose lock file keeps what it had no time for for the next start.
bool EndBegun()
{
    return !ZipWhileNamingOpen([] { return true; });
}

void RemoveWaitingFolders()
{
    FolderRemovals& removals = TheFolderRemovals();
    for (;;) {
        const bool ending = EndBegun();
        FolderRemovals::Removal removal;
        {
            std::lock_guard<std::mutex> lock(removals.mutex);
            if (ending || removals.waiting.empty()) {
                removals.waiting.clear();
                removals.running = false;
                return;
            }
            removal = std::move(removals.waiting.front());
            removals.waiting.pop_front();
        }
        if (removal.forgetIndex) {
            ZipForgetIndex();
        }
        if (!removal.folder.empty()) {
            const XEVCountedRemoval removing;
            XEVDeleteExtractFolder(removal.folder,
                                   [&removal] { return EndBegun() || (removal.stop && removal.stop()); });
        }
    }
}

// Hands the folder (and the kept index, when asked) to the worker. Once the end has begun nothing
// is started: the end removes the folder.
void RemoveFolderApart(const std::string& folder, std::function<bool()> stop = {}, bool forgetIndex = false)
{
    if (folder.empty() && !forgetIndex) {
        return;
    }
    FolderRemovals& removals = TheFolderRemovals();
    ZipWhileNamingOpen([&] {
        std::lock_guard<std::mutex> lock(removals.mutex);
        removals.waiting.push_back({folder, std::move(stop), forgetIndex});
        if (!removals.running) {
            // Refused a thread, it stays queued for the next one, or for the end.
            removals.running = XEVStartDetached(RemoveWaitingFolders);
        }
        return true;
    });
}

}   // namespace

XEVArchiveImport::~XEVArchiveImport()
{
    // Destroyed where its answer is dropped, the GUI thread too.
    RemoveFolderApart(folder);
}

std::shared_ptr<XEVArchiveImport> CheckZipArchive(const QString& zipPath, const std::atomic<int32_t>* stop)
{
    auto import = std::make_shared<XEVArchiveImport>();
    import->zipPath = XEVNativePath(zipPath);
    const auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
    if (!ZipHasDicomDir(import->zipPath) || !ZipDicomDirIntact(import->zipPath, stop) || stopped()) {
        return import;
    }
    import->folder = XEVExtractArchiveDicomDirApart(import->zipPath);
    if (import->folder.empty()) {
        return import;
    }
    import->dicomDir = XEVPathText(import->folder + "/DICOMDIR");
    CheckedArchive checked(import->zipPath, import->folder);
    import->walked = XEVWalkDicomDir(import->dicomDir, stop);
    import->failure = import->walked->failure != 0 ? import->walked->failure : MembersFailure(*import);
    return import;
}

QString TakeZipArchive(XEVArchiveImport& import)
{
    XEVLoadState& state = GetLoadState();
    state.HaltPreload();
    const std::string old = state.GetExtractFolder();
    state.SetArchive(import.zipPath, import.folder);
    import.folder.clear();
    // What the archive open before extracted no longer stands for anything shown.
    if (old != state.GetExtractFolder()) {
        RemoveFolderApart(old);
    }
    return import.dicomDir;
}

void ForgetZipArchive(const std::function<bool()>& stop)
{
    XEVLoadState& state = GetLoadState();
    const std::string folder = state.GetExtractFolder();
    state.SetArchive(std::string(), std::string());
    RemoveFolderApart(folder, stop, true);
}

bool ArchiveFolderRemovalsPending()
{
    FolderRemovals& removals = TheFolderRemovals();
    std::lock_guard<std::mutex> lock(removals.mutex);
    return removals.running || !removals.waiting.empty();
}
