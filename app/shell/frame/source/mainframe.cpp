#include "shell/mainframe.h"

#include <QCoreApplication>
#include <QResizeEvent>

#include "platform/platfolder.h"
#include "shell/xev_utility.h"
#include "shell/xevcommonsettings.h"
#include "shell/xevslider.h"
#include "shell/xevstatusformview.h"
#include "shell/xevtitleformview.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "viewer/xevimageformview.h"
#include "viewer/xevimageviewctrl.h"

CMainFrame::CMainFrame(QWidget* parent)
    : QMainWindow(parent), receiver_(*this), failureBox_(std::make_unique<XEVFailureBox>(this))
{
    // Failures and questions of the panes and cells open over this window; a box installed
    // before (a test's) stays.
    XEVInstallMessageBox(failureBox_.get());
    GetLoadState().SetFailureWindow(receiver_.Handle());
    reportAnswers_.SetHandler(WM_XEV_REPORT_TEXT, [this](XEVWParam serial, XEVLParam) {
        OnReportRead(uint64_t(serial));
        return XEVResult(0);
    });
    openAnswers_.SetHandler(WM_XEV_OPEN_ANSWER, [this](XEVWParam serial, XEVLParam) {
        OnOpenAnswer(uint64_t(serial));
        return XEVResult(0);
    });
}

CMainFrame::~CMainFrame()
{
    // A frame destroyed without being closed still stops its threads before the panes they
    // read go.
    if (clientCreated_ != 0) {
        ShutDown();
    }
    XEVRemoveMessageBox(failureBox_.get());
    failureBox_->CloseAll();
    GetLoadState().SetFailureWindow(XEVWindowHandle());
    // The panes reach the frame while they go; take them down while it is whole.
    clientCreated_ = 0;
    QWidget* client = takeCentralWidget();
    outer_ = nullptr;
    inner_ = nullptr;
    delete client;
}

bool CMainFrame::OnCreateClient()
{
    const QSize client = size();
    outer_ = new CXEVSplitterWnd(Qt::Vertical);
    inner_ = new CXEVSplitterWnd(Qt::Horizontal);
    auto* title = new CXEVTitleFormView(nullptr, this);
    outer_->addWidget(title);
    outer_->addWidget(inner_);
    // The list column holds a plain pane until the study list arrives.
    auto* list = new QWidget;
    list->setAutoFillBackground(true);
    inner_->addWidget(list);
    auto* image = new CXEVImageFormView(nullptr, this);
    inner_->addWidget(image);
    auto* status = new CXEVStatusFormView(nullptr, this);
    outer_->addWidget(status);

    // Only the middle row and the image column take what a resize gives or takes.
    outer_->setStretchFactor(0, 0);
    outer_->setStretchFactor(1, 1);
    outer_->setStretchFactor(2, 0);
    inner_->setStretchFactor(0, 0);
    inner_->setStretchFactor(1, 1);
    outer_->setSizes({kXEVTitleRowHeight, std::max(client.height() - kXEVFixedRowsHeight, 0), kXEVStatusRowHeight});
    inner_->setSizes({kXEVListColumnWidth, std::max(client.width() - kXEVListColumnWidth, 0)});
    setCentralWidget(outer_);

    title->OnInitialUpdate();
    status->OnInitialUpdate();
    inner_->SetNotifyWindow(Handle());
    clientCreated_ = 1;
    return true;
}

void CMainFrame::SetListView(QWidget* pane, XEVStudyListAccess* access)
{
    if (inner_ == nullptr || pane == nullptr) {
        return;
    }
    const QList<int> sizes = inner_->sizes();
    QWidget* old = inner_->replaceWidget(0, pane);
    delete old;
    inner_->setStretchFactor(0, 0);
    inner_->setSizes(sizes);
    listAccess_ = access;
}

QWidget* CMainFrame::GetListView() const
{
    return inner_ != nullptr && inner_->count() >= 1 ? inner_->widget(0) : nullptr;
}

CXEVImageFormView* CMainFrame::GetImageFormView() const
{
    if (inner_ == nullptr || inner_->count() == 0) {
        return nullptr;
    }
    return dynamic_cast<CXEVImageFormView*>(inner_->widget(inner_->count() >= 2 ? 1 : 0));
}

CXEVStatusFormView* CMainFrame::GetStatusPane() const
{
    return outer_ != nullptr && outer_->count() > 2 ? dynamic_cast<CXEVStatusFormView*>(outer_->widget(2)) : nullptr;
}

CXEVTitleFormView* CMainFrame::GetTitlePane() const
{
    return outer_ != nullptr && outer_->count() > 0 ? dynamic_cast<CXEVTitleFormView*>(outer_->widget(0)) : nullptr;
}

XEVImageViewCtrl* CMainFrame::GetActiveImageView() const
{
    CXEVImageFormView* view = GetImageFormView();
    return view != nullptr ? view->GetFirstActiveView() : nullptr;
}

bool CMainFrame::IsProgramOnCdRom()
{
    QString folder = GetModuleFolder();
    if (!folder.endsWith(QLatin1Char('/'))) {
        folder += QLatin1Char('/');
    }
    return PlatGetDriveType(XEVNativePath(folder)) == PlatDriveType::CdRom;
}

void CMainFrame::SetUpPanes()
{
    programOnCdRom_ = IsProgramOnCdRom() ? 1 : 0;
    if (CXEVTitleFormView* title = GetTitlePane()) {
        title->ApplyFonts();
    }
    const int32_t index = GetCommonSettings().InitialLayoutIndex;
    ApplyLayout(index);
    if (CXEVStatusFormView* status = GetStatusPane()) {
        status->ApplyFonts();
        status->ShowLayout(index);
    }
    LayoutRows();
    SetUpMenuBar();
}

void CMainFrame::ApplyLayout(int32_t index)
{
    if (CXEVImageFormView* view = GetImageFormView()) {
        view->ApplyLayout(index);
    }
}

void CMainFrame::SetFullScreen(bool on)
{
    if (on) {
        savedShowState_ = isMaximized() ? 3 : isMinimized() ? 2 : 1;
        showMaximized();
    } else if (savedShowState_ == 3) {
        showMaximized();
    } else if (savedShowState_ == 2) {
        showMinimized();
    } else {
        showNormal();
    }
    if (CXEVImageFormView* view = GetImageFormView()) {
        view->ResetImageArea();
    }
    if (inner_ != nullptr) {
        if (on) {
            inner_->HideColumn();
        } else {
            inner_->ShowColumn();
        }
    }
}

void CMainFrame::FocusActiveView()
{
    if (XEVImageViewCtrl* cell = GetActiveImageView()) {
        cell->setFocus(Qt::OtherFocusReason);
    }
}

void CMainFrame::EnablePaneControls(bool enable)
{
    if (CXEVTitleFormView* title = GetTitlePane()) {
        title->EnableControls(enable);
    }
    if (CXEVStatusFormView* status = GetStatusPane()) {
        status->EnableControls(enable);
    }
    update();
}

void CMainFrame::LayoutRows()
{
    if (outer_ == nullptr || rect().isEmpty() || outer_->count() < 3) {
        return;
    }
    int32_t total = 0;
    for (int i = 0; i < 3; ++i) {
        total += outer_->widget(i)->height();
    }
    const int32_t middle = total - kXEVFixedRowsHeight;
    // Too small for the fixed rows: keep the rows as they are.
    if (middle <= 0) {
        return;
    }
    outer_->setSizes({kXEVTitleRowHeight, middle, kXEVStatusRowHeight});
}

QString CMainFrame::GetListViewKey() const
{
    return listAccess_ != nullptr ? listAccess_->GetCurrentKey() : QString();
}

StudyInfo* CMainFrame::FindInListView(const QString& key) const
{
    return listAccess_ != nullptr ? listAccess_->FindStudy(key) : nullptr;
}

void CMainFrame::ShowAllListEntries()
{
    if (listAccess_ != nullptr) {
        listAccess_->ShowEntries();
    }
}

void CMainFrame::OnPreloadControl()
{
    XEVLoadState& state = GetLoadState();
    if (state.IsPreloadRunning() != 0) {
        // The pre-load thread reads these; the load state's setters keep them whole.
        state.ResumePreload();
        state.painting.store(0);
        state.StampPaintEnd();
    } else if (!mediumGoneTold_ && listAccess_ != nullptr && listAccess_->GetPreloadView() != nullptr) {
        // A disc that went is not read ahead again: the views that end afterwards still ask.
        state.StartPreload(listAccess_->GetPreloadView());
    }
}

void CMainFrame::OnStepLayout(XEVWParam wParam)
{
    if (GetImageFormView() != nullptr && GetCommonSettings().OperationLock != 0) {
        return;
    }
    CXEVStatusFormView* status = GetStatusPane();
    if (status == nullptr) {
        return;
    }
    const int32_t p = status->Slider().value();
    const int32_t current = 8 - p;
    int32_t next = current;
    if (wParam == 0) {
        next = p > status->Slider().minimum() ? 9 - p : current;
    } else {
        next = p < status->Slider().maximum() ? 7 - p : current;
    }
    if (next != current) {
        ApplyLayout(next);
        status->ShowLayout(next);
    }
}

XEVResult CMainFrame::OnMessage(uint32_t id, XEVWParam wParam, XEVLParam)
{
    switch (id) {
    case WM_XEV_AGREEMENT_CLOSED: OnAgreementClosed(wParam); break;
    case WM_XEV_START_VIEWING: return OnStartViewing(wParam);
    case WM_XEV_SHOW_HELP: OnHelpRequest(); break;
    case WM_XEV_PRELOAD_CONTROL: OnPreloadControl(); break;
    case WM_XEV_SET_LAYOUT: ApplyLayout(8 - int32_t(wParam)); break;
    case WM_XEV_STEP_LAYOUT: OnStepLayout(wParam); break;
    case WM_XEV_LAYOUT_CHANGED:
        if (CXEVStatusFormView* status = GetStatusPane()) {
            status->ShowLayout(int32_t(wParam));
        }
        break;
    case WM_XEV_SHOW_REPORT: OnReportRequest(); break;
    case WM_XEV_LOAD_FAILURES: OnLoadFailures(); break;
    case WM_XEV_SPLITTER_DBLCLK:
        if (inner_ != nullptr && inner_->count() >= 2) {
            const QList<int> sizes = inner_->sizes();
            const int total = sizes[0] + sizes[1];
            inner_->setSizes({kXEVListColumnWidth, std::max(total - kXEVListColumnWidth, 0)});
        }
        break;
    default:
        // The other messages come with their own handlers; until then they are ignored.
        break;
    }
    return 0;
}

XEVResult CMainFrame::SendToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    return XEVSendMessage(Handle(), id, wParam, lParam);
}

void CMainFrame::PostToMainFrame(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    XEVPostMessage(Handle(), id, wParam, lParam);
}

void CMainFrame::UpdateToolButtons(int32_t tool)
{
    if (CXEVTitleFormView* title = GetTitlePane()) {
        title->UpdateToolButtons(tool);
    }
}

void CMainFrame::RefreshStudyList()
{
    if (QWidget* list = GetListView()) {
        list->repaint();
    }
}

bool CMainFrame::event(QEvent* e)
{
    // The cells post to their top-level window directly.
    const int type = int(e->type());
    if (type >= int(kXEVFirstMessageId) && type <= int(kXEVLastMessageId)) {
        if (auto* message = dynamic_cast<XEVMessageEvent*>(e)) {
            OnMessage(message->Id(), message->WParam(), message->LParam());
            return true;
        }
    }
    return QMainWindow::event(e);
}

void CMainFrame::resizeEvent(QResizeEvent* e)
{
    QMainWindow::resizeEvent(e);
    if (clientCreated_ != 0) {
        LayoutRows();
    }
}
