// The image area's form view: creation with the job host, showing a series or a study,
// the loading chain of the cells with its memory re-check, tools, scrolling and enlarging.

#include "viewer/xevimageformview.h"

#include <QCoreApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPalette>
#include <QResizeEvent>

#include <algorithm>
#include <utility>

#include "shell/xevcommonsettings.h"
#include "study/xevloadstate.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageviewctrl.h"

namespace {

constexpr int32_t kAnnotationTools = 8 | 16 | 32 | 64;

int32_t CellId(XEVWParam wParam)
{
    return static_cast<int32_t>(static_cast<intptr_t>(wParam));
}

int16_t LowWord(XEVLParam lParam)
{
    return static_cast<int16_t>(static_cast<uint16_t>(lParam & 0xFFFF));
}

}   // namespace

CXEVImageFormView::CXEVImageFormView(QWidget* parent, XEVImageAreaHost* host) : QWidget(parent)
{
    XEVRegisterMessageIds();
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    // The cells cover most of the area: only what they leave free is painted black here.
    setAttribute(Qt::WA_OpaquePaintEvent);
    scrollBar_ = new QScrollBar(Qt::Vertical, this);
    scrollBar_->hide();
    QObject::connect(scrollBar_, &QScrollBar::valueChanged, this, [this](int value) { RowUpdate(value, true); });
    recheckTimer_.setSingleShot(true);
    recheckTimer_.setInterval(kXEVRecheckPeriodMs);
    // The timer names no cell: its re-check releases from every cell.
    QObject::connect(&recheckTimer_, &QTimer::timeout, this,
                     [this] { PostToSelf(WM_XEV_MEMORY_RECHECK, XEVWParam(intptr_t(-1)), 0); });

    settleTimer_.setSingleShot(true);
    settleTimer_.setInterval(kXEVScrollSettleMs);
    QObject::connect(&settleTimer_, &QTimer::timeout, this, [this] { AssignSettledCells(); });

    SetOwner(this, host);
    activeMode = 1;
    SetUpCells();
    activeMode = 0;
    SetUpCells();
    InitState();
    (void)jobHost_.Start();
}

CXEVImageFormView::~CXEVImageFormView()
{
    recheckTimer_.stop();
    settleTimer_.stop();
    StopLoading();
    for (auto& [id, cell] : seriesCells) {
        cell->StopLoader();
    }
    jobHost_.Shutdown();
}

void CXEVImageFormView::StudyCellsComing()
{
    // Each step of a scroll starts the wait again.
    settleTimer_.start();
}

QRect CXEVImageFormView::GridClientRect() const
{
    const int32_t bar = scrollBar_ != nullptr && !scrollBar_->isHidden() ? scrollBar_->sizeHint().width() : 0;
    return QRect(0, 0, std::max(width() - bar, 0), height());
}

void CXEVImageFormView::PostToSelf(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    QCoreApplication::postEvent(this, new XEVMessageEvent(id, wParam, lParam));
}

bool CXEVImageFormView::event(QEvent* e)
{
    const int type = int(e->type());
    if (type >= int(kXEVFirstMessageId) && type <= int(kXEVLastMessageId)) {
        if (auto* message = dynamic_cast<XEVMessageEvent*>(e)) {
            OnMessage(message->Id(), message->WParam(), message->LParam());
            return true;
        }
    }
    return QWidget::event(e);
}

void CXEVImageFormView::paintEvent(QPaintEvent* e)
{
    QRegion free = e->region();
    for (const QObject* child : children()) {
        const auto* widget = qobject_cast<const QWidget*>(child);
        if (widget != nullptr && !widget->isHidden()) {
            free -= widget->geometry();
        }
    }
    QPainter painter(this);
    for (const QRect& rect : free) {
        painter.fillRect(rect, Qt::black);
    }
}

void CXEVImageFormView::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    // Full screen, the window's size, the splitter or a pane shown or hidden: the cells follow
    // the size the area has now, in either mode. The study grid keeps its first row, which the
    // scroll position, taken with the old row height, no longer names.
    if (scrollUpdating_ != 0) {
        return;
    }
    UpdateScrollSizes();
    PlaceCells();
}

void CXEVImageFormView::SendLayoutChanged(int32_t index)
{
    if (host_ != nullptr) {
        host_->SendToMainFrame(WM_XEV_LAYOUT_CHANGED, XEVWParam(index), 0);
    }
}

void CXEVImageFormView::ShowSeries(SeriesInfo* series)
{
    ResetTool();
    enlargedFrom_ = 0;
    int32_t index = 4;   // 3 x 3
    if (series != nullptr && series->modality == QStringLiteral("CR")) {
        index = 0;
    }
    pageOffset = 0;
    ShowSeriesTiled(index, series);
    SendLayoutChanged(index);
    UpdateScrollSizes();
    PlaceCells();
}

void CXEVImageFormView::ShowFitted(StudyInfo* study)
{
    ResetTool();
    enlargedFrom_ = 0;
    FitLayout(study);
    pageOffset = 0;
    const int32_t index = studyLayout.tableIndex;
    ShowStudy(index, study, this);
    SendLayoutChanged(index);
    UpdateScrollSizes();
    PlaceCells();
    update();
}

void CXEVImageFormView::ApplyLayout(int32_t index)
{
    // The series page keeps where it starts: SetLayout shows it from there.
    if (activeMode == 0) {
        firstVisibleRow_ = 0;
    }
    SetLayout(this, index);
    UpdateScrollSizes();
    PlaceCells();
    update();
}

void CXEVImageFormView::ResetImageArea()
{
    CloseEdits();
    // Only the area's size changes (full screen on or off): each cell keeps its images,
    // frame, window, zoom and pan, and its loader goes on. Emptying the cells here would
    // leave them black with nothing to load them again.
    UpdateScrollSizes();
    PlaceCells();
    for (auto& [id, cell] : ActiveCells()) {
        cell->fullRepaint = 1;
        cell->update();
    }
    update();
}

void CXEVImageFormView::SetCinePlaying(int32_t playing)
{
    cinePlaying = playing;
    if (playing == 0) {
        PostToSelf(WM_XEV_CINE_STOPPED);
        return;
    }
    if ((GetLoadState().mouseTool.load() & kAnnotationTools) != 0) {
        CloseEdits();
        GetLoadState().mouseTool = 0;
        if (host_ != nullptr && host_->HasTitlePane()) {
            host_->UpdateToolButtons(0);
        }
    }
}

void CXEVImageFormView::ResetTool()
{
    if (GetCommonSettings().OperationLock != 0) {
        return;
    }
    GetLoadState().mouseTool = 0;
    if (host_ != nullptr && host_->HasTitlePane()) {
        host_->UpdateToolButtons(0);
    }
}

void CXEVImageFormView::SetTool(int32_t bit)
{
    CloseEdits();
    XEVLoadState& state = GetLoadState();
    const int32_t tool = state.mouseTool.load() == bit ? 0 : bit;
    state.mouseTool = tool;
    if (host_ != nullptr && host_->HasTitlePane()) {
        host_->UpdateToolButtons(tool);
    }
}

int32_t CXEVImageFormView::RowHeight() const
{
    const int32_t rows = std::max(studyLayout.rows, 1);
    return GridClientRect().height() / rows;
}

void CXEVImageFormView::UpdateScrollSizes()
{
    if (activeMode != 0) {
        // The series grid never scrolls; the study grid's row is kept for its return.
        scrollHeight_ = 0;
        scrollBar_->hide();
        return;
    }
    const int32_t needed = studyLayout.GetRowsNeeded();
    const int32_t rows = studyLayout.rows;
    scrollUpdating_ = 1;
    if (needed > rows) {
        const int32_t rowHeight = RowHeight();
        const int32_t clientHeight = height();
        scrollHeight_ = (needed - rows) * rowHeight + clientHeight;
        // A grid that shrank cannot start below its last full page.
        firstVisibleRow_ = std::clamp(firstVisibleRow_, 0, needed - rows);
        scrollBar_->setRange(0, scrollHeight_ - clientHeight);
        // A page is the rows shown: paging lands on a row, up as down.
        scrollBar_->setPageStep(std::max(rows * rowHeight, 1));
        scrollBar_->setSingleStep(std::max(rowHeight, 1));
        scrollBar_->setValue(firstVisibleRow_ * rowHeight);
        scrollBar_->setGeometry(width() - scrollBar_->sizeHint().width(), 0, scrollBar_->sizeHint().width(),
                                clientHeight);
        scrollBar_->show();
    } else {
        scrollHeight_ = 0;
        firstVisibleRow_ = 0;
        scrollBar_->setRange(0, 0);
        scrollBar_->hide();
    }
    scrollUpdating_ = 0;
}

void CXEVImageFormView::PlaceCells()
{
    const QRect client = GridClientRect();
    int32_t scroll = 0;
    if (activeMode == 0 && firstVisibleRow_ > 0) {
        // The rows above take the remainder pixels first, as the grid places them.
        const int32_t rows = std::max(studyLayout.rows, 1);
        const int32_t base = client.height() / rows;
        const int32_t extra = client.height() % rows;
        scroll = firstVisibleRow_ * base + std::min(firstVisibleRow_, extra);
    }
    Arrange(client, scroll);
}

void CXEVImageFormView::ScrollTo(int32_t position)
{
    scrollBar_->setValue(position);
    RowUpdate(scrollBar_->value(), true);
}

void CXEVImageFormView::RowUpdate(int32_t position, bool redraw)
{
    if (scrollUpdating_ != 0 || activeMode != 0) {
        return;
    }
    const int32_t at = position < 0 ? scrollBar_->value() : position;
    const int32_t rowHeight = RowHeight();
    const int32_t row = rowHeight > 0 ? at / rowHeight : 0;
    if (position >= 0 && row == firstVisibleRow_) {
        return;
    }
    firstVisibleRow_ = row;
    UpdateScrollSizes();
    if (redraw) {
        update();
    }
    PlaceCells();
}

XEVResult CXEVImageFormView::OnMessage(uint32_t id, XEVWParam wParam, XEVLParam lParam)
{
    const int32_t cellId = CellId(wParam);
    switch (id) {
    case WM_XEV_THREADUI_DESTROY: OnThreadUiDestroy(); break;
    case WM_XEV_VIEW_LOAD_DONE: OnLoadDone(cellId, lParam); break;
    case WM_XEV_VIEW_LOAD_FAILED: OnLoadFailed(cellId); break;
    case WM_XEV_MEMORY_RECHECK:
        if (lParam == kXEVDecodedBudgetRecheck) {
            KeepWithinBudget(cellId);
        } else {
            OnMemoryRecheck(cellId);
        }
        break;
    case WM_XEV_CELL_RBUTTON: ResetTool(); break;
    case WM_XEV_CELL_DBLCLK: OnEnlarge(cellId); break;
    case WM_XEV_CELL_ACTIVATE: ActivateCell(cellId); break;
    case WM_XEV_CELL_SELECT:
        StepSelectedCine();
        SelectCell(cellId);
        break;
    case WM_XEV_LINKED_STEP:
        StepSelectedCine();
        PageStep(LowWord(lParam) < 0 ? 0 : 1, 0);
        break;
    case WM_XEV_LINKED_MOVED: PageToCell(cellId); break;
    case WM_XEV_LINKED_PAGE: PageStep(LowWord(lParam) == 0 ? 0 : 1, 1); break;
    case WM_XEV_LINKED_HOME_END: PageHomeEnd(static_cast<int32_t>(lParam)); break;
    case WM_XEV_FIRST_IMAGE: OnFirstImage(cellId, lParam != 0); break;
    case WM_XEV_DISPLAY_STATE:
        if (activeMode == 1) {
            ShowPageAgain(cellId);
        }
        break;
    case WM_XEV_IMAGE_CHANGED:
        if (activeMode == 0) {
            SyncAll(cellId);
        }
        break;
    case WM_XEV_CINE_STOPPED:
        if (activeMode == 1) {
            if (XEVImageViewCtrl* view = GetSelectedView()) {
                PageToCell(view->ControlId());
            }
        }
        break;
    case WM_XEV_LINKED_WINDOW: ApplyWindowToAll(wParam != 0, static_cast<int32_t>(lParam)); break;
    case WM_XEV_INVERT: OnInvert(cellId); break;
    case WM_XEV_TOOL_WINDOWLEVEL: SetTool(1); break;
    case WM_XEV_TOOL_ZOOM: SetTool(2); break;
    case WM_XEV_TOOL_PAN: SetTool(4); break;
    case WM_XEV_TOOL_MEASURE:
    case WM_XEV_TOOL_TEXT:
    case WM_XEV_TOOL_ARROW:
    case WM_XEV_TOOL_PIXELVALUE:
        if (cinePlaying == 0) {
            SetTool(8 << (id - WM_XEV_TOOL_MEASURE));
        }
        break;
    default: break;
    }
    return 0;
}

void CXEVImageFormView::StepSelectedCine()
{
    if (cinePlaying != 0 && activeMode == 1) {
        if (XEVImageViewCtrl* view = GetSelectedView()) {
            PageToCell(view->ControlId());
        }
    }
}

void CXEVImageFormView::OnThreadUiDestroy()
{
    // Ends the host thread and waits for it; a host that has ended already is left alone.
    jobHost_.Shutdown();
}

void CXEVImageFormView::OnLoadDone(int32_t id, XEVLParam how)
{
    if (const auto done = studyCells.find(id); done != studyCells.end()) {
        done->second->loadDonePending = 0;
    } else if (seriesCells.count(id) == 0 && TurnTaken()) {
        // A cell retired with its end on the way handed the turn on as it went.
        return;
    }
    // A loader that ended short of memory leaves the turn to the memory re-check.
    if (how == kXEVLoadEndedShortOfMemory && GetLoadState().memoryShort.load() == 1) {
        return;
    }
    HandOnTurn(id);
}

bool CXEVImageFormView::TurnTaken() const
{
    for (const auto& [cellId, cell] : studyCells) {
        if (cell->loadDonePending.load() != 0 || (cell->loadingUnderWay.load() != 0 && XEVIsGateOpen(cell))) {
            return true;
        }
    }
    return false;
}

void CXEVImageFormView::HandOnTurn(int32_t id)
{
    // The study's own start, after its first images, decides who goes first.
    if (StudyStartPending()) {
        return;
    }
    // A cell in sight goes before the rows kept each side.
    for (auto& [cellId, cell] : studyCells) {
        if (cell->inView.load() != 0 && cell->loadingUnderWay.load() != 0 && !XEVIsGateOpen(cell) &&
            cell->ResumeLoader()) {
            return;
        }
    }
    // From the cell that finished, in id order and round: the next cell still waiting.
    bool stillLoading = false;
    const auto startsNext = [&stillLoading](XEVImageViewCtrl* cell) {
        if (cell->loadingUnderWay.load() == 0) {
            // Its own end, still on its way, decides: the pre-load starts once.
            stillLoading = stillLoading || cell->loadDonePending.load() != 0;
            return false;
        }
        if (!XEVIsGateOpen(cell)) {
            // A cell refused a thread keeps what it has; the one after it goes on.
            return cell->ResumeLoader();
        }
        stillLoading = true;
        return false;
    };
    for (auto it = studyCells.lower_bound(id); it != studyCells.end(); ++it) {
        if (startsNext(it->second)) {
            return;
        }
    }
    for (auto it = studyCells.begin(); it != studyCells.end() && it->first < id; ++it) {
        if (startsNext(it->second)) {
            return;
        }
    }
    // A cell the user activated may still be loading: its own end starts the pre-load, once.
    if (!stillLoading) {
        PostToMainFrame(WM_XEV_PRELOAD_CONTROL);
    }
}

void CXEVImageFormView::OnLoadFailed(int32_t id)
{
    // A file that fails costs its own cell only: the other cells' loaders go on, each in its
    // turn, and the failing cell's loader goes on past the file.
    if (GetLoadState().memoryShort.load() == 1) {
        OnMessage(WM_XEV_MEMORY_RECHECK, XEVWParam(intptr_t(id)), 0);
    }
}

void CXEVImageFormView::OnMemoryRecheck(int32_t id)
{
    // The test runs whether or not something was freed: other memory may have come back,
    // and a flag left set would keep images skipped for memory from ever loading.
    (void)FreeMemory(id == 0 ? -1 : id);
    if (XEVRunMemoryTest()) {
        GetLoadState().memoryShort = 0;
        recheckTimer_.stop();
        // A loader that ended short of memory left the turn here: the next cell goes on.
        if (activeMode == 0 && !studyCells.empty() && !TurnTaken() && AnyCellWaiting()) {
            HandOnTurn(studyCells.begin()->first);
        }
    } else {
        recheckTimer_.start();
    }
}

bool CXEVImageFormView::AnyCellWaiting() const
{
    for (const auto& [cellId, cell] : studyCells) {
        if (cell->loadingUnderWay.load() != 0 && !XEVIsGateOpen(cell)) {
            return true;
        }
    }
    return false;
}

void CXEVImageFormView::OnFirstImage(int32_t id, bool requested)
{
    const QRect client = GridClientRect();
    XEVImageViewCtrl* firstVisible = nullptr;
    for (auto& [cellId, cell] : ActiveCells()) {
        if (!cell->isHidden() && cell->geometry().intersects(client)) {
            firstVisible = cell;
            break;
        }
    }
    // A cell the user made active, such as one enlarged and back, stays the active one while in
    // sight; one a page scrolled away leaves the keys with the first in sight, which its first
    // image makes the active one.
    const XEVImageViewCtrl* active = GetFirstActiveView();
    if (active != nullptr && (active->isHidden() || active->inView.load() == 0) && firstVisible != nullptr &&
        window()->focusWidget() == firstVisible) {
        active = nullptr;
    }
    // A frame that came by a request only names an active cell where there is none.
    const bool fromFirst = firstVisible != nullptr && firstVisible->ControlId() == id &&
                           (active == nullptr || (active == firstVisible && !requested));
    // Another cell's first image while none is active, the first in sight showing its own
    // already (read before its cell asked, so told to none): the first in sight takes the keys.
    const bool firstShows = firstVisible != nullptr && active == nullptr && firstVisible->CurrentImage() != nullptr &&
                            firstVisible->HasFramePixels(firstVisible->currentFrame);
    if (fromFirst || firstShows) {
        ActivateCell(firstVisible->ControlId());
        SelectCell(firstVisible->ControlId());
        if (host_ != nullptr) {
            host_->RefreshStudyList();
        }
    } else if (activeMode == 0) {
        // Its image came after the active cell's, whose activation found it empty: it draws the
        // reference lines now, whichever image the drive gave first.
        FollowTheLinked(id);
    }
    // A tiled series whose file turned out to hold frames: the page is laid out again around
    // this cell, whichever cell it is, so the frames and the entries after them find their cells.
    XEVImageViewCtrl* cell = GetCell(id);
    if (!requested && activeMode == 1 && cell != nullptr && cell->IsMultiFrameCurrent()) {
        PageToCell(id);
    }
}

void CXEVImageFormView::OnEnlarge(int32_t id)
{
    XEVImageViewCtrl* cell = GetCell(id);
    if (cell == nullptr || cell->GetCineLength() == 0) {
        return;
    }
    if (host_ != nullptr && host_->CanSwitchSeriesDisplay() && !host_->IsSwitchLocked()) {
        host_->RequestSeriesSwitch(*cell);
    }
    const int32_t cellsShown = studyLayout.rows * studyLayout.cols;
    if (activeMode == 0 && cell->GetImages().size() < 2 && cellsShown < 2) {
        return;
    }
    if (activeMode == 0) {
        // The cell's series, found by the images it holds.
        const auto images = cell->GetImages();
        SeriesInfo* series = nullptr;
        if (shownStudy != nullptr && !images.empty()) {
            for (SeriesInfo* s : shownStudy->series) {
                if (std::find(s->images.begin(), s->images.end(), images.begin()->second) != s->images.end()) {
                    series = s;
                    break;
                }
            }
        }
        if (series == nullptr) {
            return;
        }
        const int32_t image = ShownEntry(*cell);
        const int32_t frame = cell->currentFrame;
        ShowSeriesTiled(0, series);
        // The single tile goes on with the image, or the frame, the cell showed.
        XEVImageViewCtrl* tile = seriesCells.begin()->second;
        pageOffset = std::max(tile->TilePositionOf(image, frame), 0);
        if (ShowPage(0) == 0) {
            pageOffset = 0;
        }
        enlargedFrom_ = id;
        TakeKeys(tile);
    } else {
        if (shownStudy == nullptr) {
            return;
        }
        XEVImageViewCtrl* tile = cell;
        ImageInfo* shown = tile->CurrentImage();
        const int32_t frame = tile->currentFrame;
        ShowStudyAgain(previousLayoutIndex, shownStudy);
        // The cell that was enlarged shows the frame the tile came to, and is the active one.
        if (XEVImageViewCtrl* back = GetCell(std::exchange(enlargedFrom_, 0)); back != nullptr && shown != nullptr) {
            back->ShowEntry(shown, frame);
            TakeKeys(back);
        }
    }
    UpdateScrollSizes();
    PlaceCells();
    update();
    SendLayoutChanged(layoutIndex);
}

int32_t CXEVImageFormView::ShownEntry(const XEVImageViewCtrl& cell)
{
    const int32_t key = std::max(cell.currentImage, 0);
    const auto images = cell.GetImages();
    const auto found = images.find(key);
    if (found == images.end() || cell.currentFrame <= 0 || found->second->startFrame == cell.currentFrame) {
        return key;
    }
    // A file split into one entry per frame, stepped by its frames: the entry of the frame shown.
    for (const auto& [other, entry] : images) {
        if (entry->filePath == found->second->filePath && entry->startFrame == cell.currentFrame) {
            return other;
        }
    }
    return key;
}

void CXEVImageFormView::TakeKeys(XEVImageViewCtrl* cell)
{
    ActivateCell(cell->ControlId());
    SelectCell(cell->ControlId());
    cell->setFocus(Qt::OtherFocusReason);
}

void CXEVImageFormView::OnInvert(int32_t id)
{
    XEVImageViewCtrl* sender = GetCell(id);
    const auto images = sender != nullptr ? sender->GetImages() : std::map<int32_t, ImageInfo*>();
    for (auto& [cellId, cell] : ActiveCells()) {
        if ((sender != nullptr && cell->GetImages() == images) || cell->invertPending != 0) {
            cell->update();
        }
    }
}
