#include "shell/mainframe.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <QUrl>

#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <utility>

#include "platform/platfolder.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevagreedlg.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevkestroappcore.h"
#include "shell/xevtitleformview.h"
#include "study/xevjobhost.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr uint32_t kHelpMissingMessage = 10001;
constexpr uint32_t kLoadFailedMessage = 10002;
constexpr uint32_t kOpenFailedMessage = 10027;
constexpr uint32_t kImageUnreadableMessage = 10008;
constexpr uint32_t kOutOfMemoryMessage = 10044;

bool OpenWithDesktop(const QString& path)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

CMainFrame::HelpOpener helpOpener = &OpenWithDesktop;

// The study list's view of the frame: forwards to the frame's panes and answers.
class FrameListHost : public XEVStudyListHost {
public:
    explicit FrameListHost(CMainFrame& frame) : frame_(frame) {}

    void PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam) override
    {
        frame_.PostToMainFrame(id, wParam, lParam);
    }
    CXEVImageFormView* GetImageFormView() override { return frame_.GetImageFormView(); }
    CXEVPatientView* GetPatientView() override
    {
        CXEVTitleFormView* title = frame_.GetTitlePane();
        return title != nullptr ? &title->PatientView() : nullptr;
    }
    bool CanSwitchSeriesDisplay() override { return frame_.CanSwitchSeriesDisplay(); }
    bool IsSwitchLocked() override { return frame_.IsSwitchLocked(); }
    void RequestSeriesSwitch(int32_t patientIndex, const QString& studyKey, const QString& seriesKey,
                             bool store) override
    {
        frame_.RequestSeriesSwitch(patientIndex, studyKey, seriesKey, store);
    }
    bool OpenReport(SeriesInfo* series) override { return frame_.OpenReport(series); }
    bool HasTitlePane() override { return frame_.HasTitlePane(); }
    bool IsCinePlaying() override
    {
        CXEVTitleFormView* title = frame_.GetTitlePane();
        return title != nullptr && title->IsCinePlaying();
    }
    void SendTitleCommand(int32_t command) override
    {
        CXEVTitleFormView* title = frame_.GetTitlePane();
        if (title != nullptr && command == kXEVTitlePlayCommand) {
            title->PressPlay();
        }
    }
    void EnableReportButton(bool enable) override
    {
        if (CXEVTitleFormView* title = frame_.GetTitlePane()) {
            title->ButtonAt(CXEVTitleFormView::kReport).setEnabled(enable);
        }
    }
    // The title pane keeps nothing that a drop makes stale.
    void ClearTitleState() override {}
    XEVReportDialogLink* GetReportDialog(bool create) override { return frame_.GetReportDialog(create); }
    void ReplacingDisc(bool) override { frame_.BeginDisc(); }
    bool OpenDropped(const QString& path) override
    {
        frame_.OpenDroppedPath(path);
        return true;
    }

private:
    CMainFrame& frame_;
};

// What the list access of the layout and pre-load code reads of the study list.
class ListAccess : public XEVStudyListAccess {
public:
    explicit ListAccess(CXEVListFormView& list) : list_(list) {}
    QString GetCurrentKey() const override
    {
        const StudyInfo* study = list_.currentStudy;
        return study != nullptr ? QString::fromLocal8Bit(study->studyInstanceUid.toLocal8Bit()) : QString();
    }
    StudyInfo* FindStudy(const QString& key) override { return list_.FindStudy(key.toLocal8Bit().toStdString()); }
    void ShowEntries() override { list_.ShowEntries(); }
    XEVPreloadView* GetPreloadView() override { return &list_; }

private:
    CXEVListFormView& list_;
};

}   // namespace

class CMainFrame::MediumWatch : public XEVMediumWatch {
public:
    explicit MediumWatch(CMainFrame& frame) : frame_(frame) {}

    State Check() override
    {
        if (frame_.mediumGoneTold_) {
            return kGoneBefore;
        }
        const QString path = DicomDirPath();
        // Asked only when an image file was not found: a stat of the DICOMDIR, no read.
        if (frame_.singleFileOpened != 0 || path.isEmpty() || QFileInfo::exists(path)) {
            return kPresent;
        }
        frame_.mediumGoneTold_ = true;
        return kGoneNow;
    }
    void OnGone() override
    {
        GetLoadState().HaltPreload();
        if (CXEVImageFormView* image = frame_.GetImageFormView()) {
            image->StopLoading();
        }
    }
    QString DicomDirPath() const override
    {
        const CXEVListFormView* list = frame_.GetStudyList();
        return list != nullptr ? list->mediaPath : QString();
    }

private:
    CMainFrame& frame_;
};

CXEVListFormView* CMainFrame::InstallStudyList()
{
    if (inner_ == nullptr) {
        return nullptr;
    }
    if (!listHost_) {
        listHost_ = std::make_unique<FrameListHost>(*this);
    }
    if (!mediumWatch_) {
        mediumWatch_ = std::make_unique<MediumWatch>(*this);
        XEVSetMediumWatch(mediumWatch_.get());
    }
    auto* list = new CXEVListFormView(nullptr, listHost_.get());
    // The access lives as long as the pane: it is the pane's child object.
    struct OwnedAccess : QObject, ListAccess {
        OwnedAccess(CXEVListFormView& view) : QObject(&view), ListAccess(view) {}
    };
    SetListView(list, new OwnedAccess(*list));
    return list;
}

CXEVListFormView* CMainFrame::GetStudyList() const
{
    return dynamic_cast<CXEVListFormView*>(GetListView());
}

void CMainFrame::StartDicomDirLoad(const QString& path, std::shared_ptr<XEVLoadedRecords> walked)
{
    if (CXEVListFormView* list = GetStudyList()) {
        list->RestartLoading(path, std::move(walked));
    }
}

QRect CMainFrame::InitialPlacement(const QRect& workArea)
{
    const int width = std::min(workArea.width(), 1280);
    const int height = std::min(workArea.height(), 1024);
    const int left = (workArea.width() - width) / 2;
    int top = (workArea.height() - height) / 2;
    if (top < 34) {
        top = 0;
    }
    return QRect(workArea.left() + left, workArea.top() + top, width, height);
}

void CMainFrame::SetInitialPlacement()
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    setGeometry(InitialPlacement(screen->availableGeometry()));
}

void CMainFrame::ShowAgreement(int32_t mode)
{
    agreementMode_ = mode;
    auto* dialog = new CXEVAgreeDlg(this, Handle(), mode, startArguments_);
    agreement_ = dialog;
    agreementHandle_ = dialog->Handle();
    dialog->Present(frameGeometry());
    if (outer_ != nullptr) {
        outer_->setEnabled(false);
    }
}

CXEVAgreeDlg* CMainFrame::AgreementDialog() const
{
    return agreement_.data();
}

QString CMainFrame::FormatVersionSuffix(const QString& version)
{
    const QStringList parts = version.split(u'.');
    if (version.isEmpty() || parts.size() > 4) {
        return QString();
    }
    int numbers[4] = {0, 0, 0, 0};
    for (qsizetype i = 0; i < parts.size(); ++i) {
        bool ok = false;
        const uint value = parts[i].toUInt(&ok);
        // Each field is one 16-bit word of the version.
        if (!ok || value > 0xFFFF) {
            return QString();
        }
        numbers[i] = int(value);
    }
    return QStringLiteral(" V %1.%2.%3.%4").arg(numbers[0]).arg(numbers[1]).arg(numbers[2]).arg(numbers[3]);
}

QString CMainFrame::GetVersionSuffix()
{
#ifdef KV_VIEWER_VERSION
    return FormatVersionSuffix(QStringLiteral(KV_VIEWER_VERSION));
#else
    return QString();
#endif
}

void CMainFrame::OnAgreementClosed(XEVWParam wParam)
{
    agreement_ = nullptr;
    agreementHandle_ = XEVWindowHandle();
    if (outer_ != nullptr) {
        outer_->setEnabled(true);
    }
    if (GetCommonSettings().ModeOrvix != 0) {
        SetFileOpenEnabled(true);
    }
    if (wParam == 0) {
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    agreed_ = 1;
    if (agreementMode_ == 0) {
        if (CanSwitchSeriesDisplay()) {
            SwitchSeriesAtAcceptance();
        }
        PostToMainFrame(WM_XEV_START_VIEWING, 0, 0);
    }
}

XEVResult CMainFrame::OnStartViewing(XEVWParam wParam)
{
    if (wParam != 0) {
        loadResult_ = int32_t(intptr_t(wParam));
    }
    CXEVListFormView* list = GetStudyList();
    if (agreed_ == 0 || list == nullptr || list->loaded == 0) {
        return 0;
    }
    // The acceptance's message can come between the end of a failed load and the message with
    // its result: that message, queued or handled already, answers the failure once.
    if (loadResult_ == 0 && list->loadResult != 0) {
        return 0;
    }
    const bool pathUnopened = std::exchange(startPathUnopened_, false);
    // A DICOMDIR its memory refused, or whose images links place outside the disc or reach
    // through links to nothing or in a loop, says so in place of the failure's own words.
    const uint32_t reason = loadResult_ == kXEVLoadOutOfMemory    ? kOutOfMemoryMessage
                            : loadResult_ == kXEVLoadLinkedOut    ? kXEVLinkedOutMessage
                            : loadResult_ == kXEVLoadLinkDangling ? kXEVDanglingLinkMessage
                            : loadResult_ == kXEVLoadLinkLoop     ? kXEVLinkLoopMessage
                                                                  : 0;
    const bool namedReason = reason != 0;
    const auto failureText = [reason](uint32_t id) { return GetMessageString(reason != 0 ? reason : id); };
    if (loadResult_ != 0 && startFailureReport_) {
        loadResult_ = 0;
        startFailureReport_(failureText(pathUnopened ? kOpenFailedMessage : kLoadFailedMessage));
        return 1;
    }
    if (loadResult_ != 0) {
        if (GetCommonSettings().ModeOrvix == 0) {
            XEVShowFailureText(this, failureText(kLoadFailedMessage));
            // The window goes once the message is answered.
            failureBox_->AfterBoxes([this] { QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection); });
            return 1;
        }
        EnablePaneControls(false);
        loadResult_ = 0;
        // A path the user named says so, as File Open does; a missing disc stays silent.
        if (pathUnopened || namedReason) {
            XEVShowFailureText(this, failureText(kOpenFailedMessage));
        }
        return 0;
    }
    // The acceptance and the list's load each ask for the start, in either order; a second
    // start of the same entries would show the first study again, reading again what its
    // cells read and naming again what failed.
    if (startedEntries_ == list->EntriesGeneration()) {
        return 0;
    }
    startedEntries_ = list->EntriesGeneration();
    list->ShowEntries();
    list->StopReadAhead();
    // A disc with no patient leaves nothing for the tools, the report or cine to act on; one
    // with patients gives them back, whatever route opened it and whatever failed before.
    EnablePaneControls(!list->patients.empty());
    if (!SelectRecordedEntry()) {
        list->OpenFirstEntry();
    }
    // What the list leaves out is told once its entries show.
    const QString notice = list->TakeListingNotice();
    if (!notice.isEmpty()) {
        XEVShowFailureText(this, notice);
    }
    return 0;
}

namespace {

// Whether the image's decode has failed; its helper's reason goes to why.
bool LoadFailed(ImageInfo* image, QString& why)
{
    if (image == nullptr) {
        return false;
    }
    std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
    const XEVVEKHelper* helper = image->GetHelper();
    if (helper == nullptr || helper->statusCode == 0) {
        return false;
    }
    why = helper->statusText.isEmpty() ? GetMessageString(kImageUnreadableMessage) : helper->statusText.trimmed();
    return true;
}

}   // namespace

bool CMainFrame::FirstCellsLoaded(QString* failure) const
{
    CXEVImageFormView* image = GetImageFormView();
    if (startedEntries_ == 0 || image == nullptr) {
        return false;
    }
    // Every cell on screen that was given images counts, the slowest too: done once it shows
    // its first frame, or once its load failed.
    int32_t settled = 0;
    int32_t shownImages = 0;
    QString why;
    for (const auto& [id, cell] : image->ActiveCells()) {
        const QWidget* parent = cell->parentWidget();
        if (!cell->isVisible() || (parent != nullptr && !cell->geometry().intersects(parent->rect()))) {
            continue;
        }
        ImageInfo* shown = cell->CurrentImage();
        if (shown != nullptr && cell->HasFramePixels(cell->currentFrame)) {
            ++settled;
            ++shownImages;
            continue;
        }
        // A cell takes its first image only when that image reports in.
        if (shown == nullptr) {
            const std::map<int32_t, ImageInfo*> images = cell->GetImages();
            if (images.empty()) {
                continue;
            }
            shown = images.begin()->second;
        }
        QString reason;
        if (!LoadFailed(shown, reason)) {
            return false;
        }
        if (why.isEmpty()) {
            why = reason;
        }
        ++settled;
    }
    if (failure != nullptr) {
        *failure = shownImages == 0 ? why : QString();
    }
    return settled > 0;
}

bool CMainFrame::NothingToShow(QString* why) const
{
    const CXEVListFormView* list = GetStudyList();
    CXEVImageFormView* image = GetImageFormView();
    if (startedEntries_ == 0 || list == nullptr || image == nullptr || startedEntries_ != list->EntriesGeneration()) {
        return false;
    }
    QString reason;
    if (list->patients.empty()) {
        reason = QStringLiteral("the disc lists no patient");
    } else {
        // Only once the first selection has reached the cells: the list shows its study two
        // queued hops after the start.
        const StudyInfo* study = list->GetCurrentStudy();
        if (study == nullptr || image->shownStudy != study) {
            return false;
        }
        for (const auto& [id, cell] : image->ActiveCells()) {
            if (!cell->GetImages().empty()) {
                return false;
            }
        }
        reason = QStringLiteral("the study shown first holds no image");
    }
    if (why != nullptr) {
        *why = reason;
    }
    return true;
}

void CMainFrame::SetHelpOpener(HelpOpener opener)
{
    helpOpener = opener != nullptr ? opener : &OpenWithDesktop;
}

void CMainFrame::OnHelpRequest()
{
    const QString path = CKestroAppCore::GetHelpFilePath(GetModuleFolder());
    if (path.isEmpty() || !FileExists(path)) {
        failureBox_->ShowForWindow(this, GetMessageString(kHelpMissingMessage));
        return;
    }
    if (!helpOpener(path)) {
        failureBox_->ShowForWindow(this, QStringLiteral("The help file could not be opened:\n%1\n\n"
                                                        "Install a viewer for .chm files, such as xchm.")
                                             .arg(path));
    }
}

void CMainFrame::OnHelpCommand()
{
    if (!agreement_.isNull()) {
        return;
    }
    if (XEVReportDialogLink* report = GetReportDialog(false)) {
        if (report->IsShown()) {
            report->Close();
        }
    }
    ShowAgreement(1);
}

void CMainFrame::OnDeviceRemoveComplete()
{
    if (programOnCdRom_ == 0) {
        return;
    }
    QWidget* target = agreement_.isNull() ? static_cast<QWidget*>(this) : agreement_.data();
    QMetaObject::invokeMethod(target, &QWidget::close, Qt::QueuedConnection);
}

void CMainFrame::WatchProgramMount()
{
    if (programOnCdRom_ == 0 || mountNotifier_ != nullptr) {
        return;
    }
    // The mount table signals a change as an exceptional condition on its file.
    mountFd_ = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (mountFd_ < 0) {
        return;
    }
    mountNotifier_ = new QSocketNotifier(mountFd_, QSocketNotifier::Exception, this);
    QObject::connect(mountNotifier_, &QSocketNotifier::activated, this, [this] {
        char buffer[4096];
        ::lseek(mountFd_, 0, SEEK_SET);
        while (::read(mountFd_, buffer, sizeof buffer) > 0) {
        }
        QString folder = GetModuleFolder();
        if (PlatGetDriveType(XEVNativePath(folder)) != PlatDriveType::CdRom) {
            mountNotifier_->setEnabled(false);
            OnDeviceRemoveComplete();
        }
    });
}

void CMainFrame::OnLoadFailures()
{
    const CXEVListFormView* list = GetStudyList();
    for (const auto& [text, status] : GetLoadState().TakeLoadFailures()) {
        if (shutDown_) {
            return;
        }
        // A single file that lists nothing failed to open: where start-up reports its failure
        // instead of a box, this is that failure.
        if (startFailureReport_ && singleFileOpened != 0 && list != nullptr && list->loaded == 0) {
            startFailureReport_(text);
            return;
        }
        XEVShowLoadFailure(this, text, status);
    }
}

void CMainFrame::ShutDownLoaders()
{
    CXEVListFormView* list = GetStudyList();
    if (list != nullptr) {
        // Read-ahead, scan, loaders and the pre-load all stop here; none is waited for, and
        // what they read outlives them.
        list->StopThreads();
    }
    GetLoadState().HaltPreload();
    if (CXEVImageFormView* image = GetImageFormView()) {
        image->StopLoading();
        image->ClearAllViews();
    }
    if (list != nullptr) {
        list->DestroyEntries();
        list->currentStudy = nullptr;
        list->lastSeriesStudy = nullptr;
        list->Clear();
    }
}

void CMainFrame::ShutDownDescendants()
{
    // Each receiver acts on the first message only.
    // The panes carry no meta-object of their own, so they are told apart by their type.
    for (QWidget* child : findChildren<QWidget*>()) {
        if (auto* view = dynamic_cast<CXEVImageFormView*>(child)) {
            view->OnMessage(WM_XEV_THREADUI_DESTROY, 0, 0);
        }
    }
}

void CMainFrame::ShutDown()
{
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    // A box or the file dialog up goes with the window; what waited to be told is dropped.
    failureBox_->CloseAll();
    if (!fileDialog_.isNull()) {
        fileDialog_->close();
    }
    if (mediumWatch_) {
        XEVSetMediumWatch(nullptr);
    }
    StopClassification();
    DropReportRequest();
    SetFullScreen(false);
    hide();
    ShutDownLoaders();
    if (mountNotifier_ != nullptr) {
        mountNotifier_->setEnabled(false);
    }
    ShutDownDescendants();
    if (mountFd_ >= 0) {
        delete mountNotifier_;
        mountNotifier_ = nullptr;
        ::close(mountFd_);
        mountFd_ = -1;
    }
}

void CMainFrame::closeEvent(QCloseEvent* e)
{
    ShutDown();
    e->accept();
}
