#include <QAction>
#include <QFileDialog>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>

#include <atomic>
#include <functional>
#include <memory>

#include "shell/mainframe.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevdetached.h"
#include "shell/xevfileopen.h"
#include "shell/xevpatientbar.h"
#include "shell/xevstatusformview.h"
#include "shell/xevtitleformview.h"
#include "shell/xevziparchive.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstagedread.h"
#include "viewer/xevimageformview.h"

namespace {

std::atomic<XEVOpenFileDialog*> openFileDialog{nullptr};

void ShowOpenFailure(QWidget* parent, intptr_t failure = kXEVLoadFailed)
{
    // A DICOMDIR its memory refused, or whose images links place outside the disc or reach
    // through links to nothing or in a loop, says so.
    const uint32_t message = failure == kXEVLoadOutOfMemory    ? 10044
                             : failure == kXEVLoadLinkedOut    ? kXEVLinkedOutMessage
                             : failure == kXEVLoadLinkDangling ? kXEVDanglingLinkMessage
                             : failure == kXEVLoadLinkLoop     ? kXEVLinkLoopMessage
                             : failure == kXEVLoadMemberLinks  ? kXEVLinkMemberMessage
                                                               : 10027;
    XEVShowFailureText(parent, GetMessageString(message));
}

// A path inside the extraction folder is the archive's own file; the archive stays then.
bool LiesInExtractFolder(const QString& path)
{
    const QString folder = QString::fromStdString(GetLoadState().GetExtractFolder());
    return !folder.isEmpty() && path.startsWith(folder + QLatin1Char('/'));
}

}   // namespace

void XEVSetOpenFileDialog(XEVOpenFileDialog* dialog)
{
    openFileDialog.store(dialog);
}

void CMainFrame::SetUpMenuBar()
{
    if (GetCommonSettings().ModeOrvix == 0 || fileOpenAction_ != nullptr) {
        return;
    }
    const bool japanese = QLocale().language() == QLocale::Japanese;
    auto* bar = new QMenuBar(this);
    QMenu* file = bar->addMenu(japanese ? QStringLiteral("ファイル(&F)") : QStringLiteral("File(&F)"));
    fileOpenAction_ =
        file->addAction(japanese ? QStringLiteral("開く...\tCtrl+O(&O)") : QStringLiteral("Open...\tCtrl+O(&O)"));
    fileOpenAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    fileOpenAction_->setData(ID_XEV_FILE_OPEN);
    QObject::connect(fileOpenAction_, &QAction::triggered, this, [this] { OnFileOpen(); });
    QObject::connect(file, &QMenu::aboutToShow, this, [this] { OnUpdateFileOpen(); });
    setMenuBar(bar);
    OnUpdateFileOpen();
}

void CMainFrame::OnUpdateFileOpen()
{
    if (fileOpenAction_ != nullptr) {
        fileOpenAction_->setEnabled(fileOpenEnabled_ != 0);
    }
}

void CMainFrame::SetFileOpenEnabled(bool enabled)
{
    // While an open runs File Open stays off; what is asked meanwhile holds from its end.
    if (opening_ != nullptr) {
        openEnabled_ = enabled ? 1 : 0;
        return;
    }
    fileOpenEnabled_ = enabled ? 1 : 0;
    OnUpdateFileOpen();
}

void CMainFrame::OnFileOpen()
{
    // The shortcut may arrive before the terms are answered.
    if (fileOpenEnabled_ == 0) {
        return;
    }
    if (XEVOpenFileDialog* chooser = openFileDialog.load()) {
        OpenChosenPath(chooser->Choose(this));
        return;
    }
    if (!fileDialog_.isNull()) {
        fileDialog_->raise();
        return;
    }
    // Opened without a loop of its own; the choice is opened once the dialog has gone.
    auto* dialog = new QFileDialog(this);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(QStringLiteral("All Files (*)"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(
        dialog, &QFileDialog::fileSelected, this, [this](const QString& path) { OpenChosenPath(path); },
        Qt::QueuedConnection);
    fileDialog_ = dialog;
    dialog->open();
}

void CMainFrame::OpenChosenPath(const QString& path)
{
    if (fileOpenEnabled_ == 0) {
        return;
    }
    OpenDroppedPath(path);
}

void CMainFrame::OpenDroppedPath(const QString& path)
{
    if (path.isEmpty() || shutDown_) {
        return;
    }
    // The open disc reads on meanwhile: its loads stop only once the new source is accepted,
    // when the viewers are reset for it.
    OpenPath(path);
}

// One open's worker state: the worker owns it with the frame, so that a frame gone while it
// is in a read leaves it nothing to reach. The path is what the user waits for: its check
// reads ahead of everything the shown disc reads, which waits until the answer has stopped it
// (accepted) or let it be (refused).
struct CMainFrame::OpenStep {
    std::atomic<int32_t> stop{0};
    XEVScreenHold screen;
};

void CMainFrame::RunThen(std::function<void(const std::atomic<int32_t>* stop)> work, std::function<void()> then)
{
    auto step = std::make_shared<OpenStep>();
    const uint64_t serial = ++openSerial_;
    // The step's reads are the ones its hold lets through.
    const auto check = [work](const std::atomic<int32_t>* stop) {
        const XEVHeldReads reads;
        work(stop);
    };
    const bool started = XEVStartDetached([step, check, serial, answers = openAnswers_.Handle()] {
        check(&step->stop);
        if (step->stop.load() == 0) {
            XEVPostMessage(answers, WM_XEV_OPEN_ANSWER, XEVWParam(serial), 0);
        }
    });
    if (!started) {
        check(nullptr);
        then();
        return;
    }
    // The window answers meanwhile, with no loop of its own here; no second open starts before
    // the answer.
    if (opening_ == nullptr) {
        openEnabled_ = fileOpenEnabled_;
    }
    StopClassification();
    opening_ = std::move(step);
    openThen_ = std::move(then);
    fileOpenEnabled_ = 0;
    OnUpdateFileOpen();
}

void CMainFrame::OnOpenAnswer(uint64_t serial)
{
    if (opening_ == nullptr || serial != openSerial_ || shutDown_) {
        return;
    }
    // Its hold on the medium lasts through the answer: a zip's import goes on under the next.
    const std::shared_ptr<OpenStep> answered = std::move(opening_);
    const std::function<void()> then = std::move(openThen_);
    openThen_ = nullptr;
    SetFileOpenEnabled(openEnabled_ != 0);
    then();
}

void CMainFrame::StopClassification()
{
    // Never waited for: the worker may be in a read of a slow disc, and ends on its own.
    if (opening_ != nullptr) {
        opening_->stop = 1;
        opening_.reset();
        openThen_ = nullptr;
    }
}

void CMainFrame::OpenPath(const QString& path)
{
    // A DICOMDIR is walked here as its load would walk it, and a file alone read as its load
    // would read it, so that what the load refuses (no patient, every image linked out of the
    // disc, its memory) is refused before anything shown is touched; the records go to the list.
    auto loaded = std::make_shared<std::shared_ptr<XEVLoadedRecords>>();
    auto kind = std::make_shared<XEVOpenKind>(XEVOpenKind::Unreadable);
    RunThen(
        [path, loaded, kind](const std::atomic<int32_t>* stop) {
            XEVParsedDicomDirPtr parsed;
            *kind = ClassifyOpenPath(path, stop, &parsed);
            if (*kind == XEVOpenKind::DicomDir) {
                *loaded = XEVWalkDicomDir(path, stop, std::move(parsed));
            } else if (*kind == XEVOpenKind::DicomFile) {
                *loaded = XEVReadDicomFile(path);
            }
        },
        [this, path, loaded, kind] {
            const bool accepted = *loaded != nullptr && (*loaded)->failure == 0;
            switch (*kind) {
            case XEVOpenKind::Archive:
                ImportArchive(
                    path, [this](intptr_t failure) { ShowOpenFailure(this, failure); }, false);
                return;
            case XEVOpenKind::DicomDir:
                if (accepted) {
                    LoadDicomDir(path, std::move(*loaded));
                } else {
                    ShowOpenFailure(this, *loaded != nullptr ? (*loaded)->failure : kXEVLoadFailed);
                }
                return;
            case XEVOpenKind::DicomFile:
                if (accepted) {
                    LoadSingleFile(path, std::move(*loaded));
                } else if (*loaded != nullptr && !(*loaded)->failureText.isEmpty()) {
                    XEVShowLoadFailure(this, (*loaded)->failureText, (*loaded)->failureStatus);
                } else {
                    ShowOpenFailure(this);
                }
                return;
            case XEVOpenKind::Unreadable: break;
            }
            ShowOpenFailure(this);
        });
}

void CMainFrame::StartPathLoad(const QString& path)
{
    // The checks read the medium, whose drive may first spin up for seconds: on a worker, with
    // the window painted and answering.
    auto kind = std::make_shared<XEVOpenKind>(XEVOpenKind::Unreadable);
    RunThen([path, kind](const std::atomic<int32_t>* stop) { *kind = ClassifyStartPath(path, stop); },
            [this, path, kind] {
                // The load fails on what is no DICOMDIR, and start-up reports that failure.
                const auto loadAsDicomDir = [this, path] {
                    startPathUnopened_ = true;
                    StartDicomDirLoad(path);
                };
                if (*kind == XEVOpenKind::Archive) {
                    ImportArchive(
                        path, [loadAsDicomDir](intptr_t) { loadAsDicomDir(); }, true);
                } else if (*kind == XEVOpenKind::DicomFile) {
                    LoadSingleFile(path);
                } else {
                    loadAsDicomDir();
                }
            });
}

void CMainFrame::BeginDisc()
{
    // What the old source's loads failed on, or still fail on, is no longer worth a box.
    GetLoadState().BeginDisc();
    failureBox_->DropDisc();
    DropReportRequest();
    if (XEVReportDialogLink* report = GetReportDialog(false)) {
        if (report->IsShown()) {
            report->Close();
        }
    }
    mediumGoneTold_ = false;
}

void CMainFrame::ResetViewers()
{
    if (CXEVStatusFormView* status = GetStatusPane()) {
        status->OnStack();
    }
    BeginDisc();
    // The same stop as closing: every thread that reads the records ends before they go.
    ShutDownLoaders();
    startPathUnopened_ = false;
    singleFileOpened = 0;
    GetLoadState().memoryShortStudy = 0;
    if (CXEVListFormView* list = GetStudyList()) {
        list->loaded = 0;
        list->loadResult = 0;
        list->selectedEntry = 0;
        list->update();
    }
    // The patient it showed went with the list.
    if (CXEVTitleFormView* title = GetTitlePane()) {
        title->PatientView().Clear();
    }
}

void CMainFrame::ResetSelectionForOpen(bool dicomDir)
{
    selection_.switchFlag = 0;
    if (dicomDir) {
        SetSelectionRecord(-1, QString(), QString());
    } else {
        ClearSelectionIndex();
    }
}

void CMainFrame::LoadDicomDir(const QString& path, std::shared_ptr<XEVLoadedRecords> walked)
{
    ResetViewers();
    ResetSelectionForOpen(true);
    // Members of an earlier archive must never stand in for this source's files.
    if (!LiesInExtractFolder(path)) {
        ForgetZipArchive();
    }
    startPathUnopened_ = true;
    StartDicomDirLoad(path, std::move(walked));
    EnablePaneControls(true);
}

void CMainFrame::LoadSingleFile(const QString& path, std::shared_ptr<XEVLoadedRecords> loaded)
{
    ResetViewers();
    ResetSelectionForOpen(false);
    if (!LiesInExtractFolder(path)) {
        ForgetZipArchive();
    }
    if (CXEVListFormView* list = GetStudyList()) {
        list->RestartFileLoading(path, std::move(loaded));
    }
    EnablePaneControls(true);
    singleFileOpened = 1;
}

void CMainFrame::ImportArchive(const QString& zipPath, std::function<void(intptr_t failure)> failed, bool loadRefused)
{
    // The archive lies on the medium: a worker extracts its DICOMDIR beside what the source
    // shown extracted and walks it, while that source loads on; it goes only once the archive
    // is accepted.
    auto checked = std::make_shared<std::shared_ptr<XEVArchiveImport>>();
    RunThen([zipPath, checked](const std::atomic<int32_t>* stop) { *checked = CheckZipArchive(zipPath, stop); },
            [this, checked, failed, loadRefused] {
                // Taken from the shared slot, so that a refused import's folder goes here.
                const std::shared_ptr<XEVArchiveImport> import = std::move(*checked);
                if (import == nullptr || import->folder.empty()) {
                    failed(kXEVLoadFailed);
                    return;
                }
                if (import->failure != 0 && !loadRefused) {
                    failed(import->failure);
                    return;
                }
                SetFullScreen(false);
                // The loaders read the files under the extraction folder of the source shown,
                // which goes once they are stopped.
                ResetViewers();
                ResetSelectionForOpen(false);
                const QString dicomDir = TakeZipArchive(*import);
                startPathUnopened_ = true;
                StartDicomDirLoad(dicomDir, import->walked);
                EnablePaneControls(true);
            });
}
