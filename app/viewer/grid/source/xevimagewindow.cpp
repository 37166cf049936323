// The grid of image cells: making and placing cells, study and series modes, the one
// loader at a time of study mode, paging and memory relief.

#include "viewer/xevimagewindow.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <mutex>
#include <set>

#include "shell/xev_utility.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimageviewctrl.h"

namespace {

bool IsReport(const ImageInfo* image)
{
    return image->sopInstanceUid == QStringLiteral("SR");
}

// A file that failed for a reason other than memory is not read again on its own; stepping or
// paging to it does.
bool Failed(const XEVVEKHelper* helper)
{
    return helper != nullptr && helper->statusCode != 0 && helper->statusCode != XEVVEKHelper::kStatusOutOfMemory;
}

bool FailedBefore(ImageInfo* image)
{
    std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
    return Failed(image->GetHelper());
}

// How often a cell given the keys before its image showed looks again.
constexpr int kKeysRecheckMs = 50;

void QueueFirstLoad(ImageInfo* image, XEVImageViewCtrl* cell)
{
    {
        std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
        image->notifyWindow = cell->Handle();
        image->forced = 1;
    }
    XEVSendMessage(GetLoadState().GetLoaderWindow(), WM_XEV_LOADER_QUEUE, 0, XEVLParam(image));
}

void ClearLoaderFields(XEVImageViewCtrl* cell)
{
    cell->loadingUnderWay = 0;
    cell->loaderRunning = 0;
    cell->progressShown = 0;
    cell->progressTotal = 0;
}

// The study's series a cell each, in order: report series are left out.
std::vector<SeriesInfo*> StudySeries(const StudyInfo* study)
{
    std::vector<SeriesInfo*> series;
    if (study != nullptr) {
        for (SeriesInfo* s : study->series) {
            if (s->modality != QStringLiteral("SR")) {
                series.push_back(s);
            }
        }
    }
    return series;
}

bool MemoryShortNow()
{
    return !XEVRunMemoryTest();
}

}   // namespace

bool XEVIsGateOpen(XEVImageViewCtrl* cell)
{
    return cell->loader.WaitGate(0);
}

XEVImageWindow::XEVImageWindow() = default;

XEVImageWindow::~XEVImageWindow()
{
    notices_.reset();
    ReapRetiredCells(true);
    // The active mode first: its cells may still have loaders running.
    auto& first = ActiveCells();
    auto& second = activeMode == 0 ? seriesCells : studyCells;
    for (auto* map : {&first, &second}) {
        for (auto& [id, cell] : *map) {
            cell->ClearView(false);
            delete cell;
        }
        map->clear();
    }
}

void XEVImageWindow::SetOwner(QWidget* owner, XEVImageAreaHost* host)
{
    owner_ = owner;
    host_ = host;
}

void XEVImageWindow::SetUpCells()
{
    LayoutCells(owner_);
}

void XEVImageWindow::InitState()
{
    activeCellOnly = 0;
    followSelected = 0;
    activeMode = 0;
    studyLayout.SetRowCol(1, 1);
    seriesLayout.SetRowCol(1, 1);
    activeCellId = 0;
    pageOffset = 0;
    selectedEnlarged = 0;
    displayKind = 0;
    shownStudy = nullptr;
}

XEVImageViewCtrl* XEVImageWindow::MakeCell(QWidget* parent, int32_t id)
{
    return new XEVImageViewCtrl(parent, id);
}

QRect XEVImageWindow::GridClientRect() const
{
    return owner_ != nullptr ? owner_->rect() : QRect();
}

void XEVImageWindow::PostToMainFrame(uint32_t id)
{
    if (host_ != nullptr) {
        host_->PostToMainFrame(id, 0, 0);
    }
}

int32_t XEVImageWindow::CreateCell(QWidget* parent, const QRect& rect, int32_t id)
{
    auto& cells = ActiveCells();
    // Ids come from the count, so a cell that could not be made leaves no gap; a study cell
    // made as its row comes into view takes the id of its place in the grid.
    if (id == 0) {
        id = kXEVFirstStudyCellId + static_cast<int32_t>(cells.size()) + (activeMode == 1 ? 500 : 0);
    }
    XEVImageViewCtrl* cell = MakeCell(parent, id);
    if (cell == nullptr) {
        return 0;
    }
    cells[id] = cell;
    cell->setGeometry(rect);
    cell->show();
    return id;
}

void XEVImageWindow::StudySlots(int32_t& first, int32_t& last) const
{
    // The rows shown and one each side: a study of twenty thousand series made a cell, and in
    // time a decode, for every one of them.
    const int32_t cols = std::max(studyLayout.cols, 1);
    const int32_t rows = std::max(studyLayout.rows, 1);
    const int32_t needed = studyLayout.GetRowsNeeded();
    const int32_t top = std::clamp(FirstShownRow(), 0, std::max(needed - rows, 0));
    first = std::max(top - 1, 0) * cols;
    last = (std::min(top + rows, std::max(needed, 1) - 1) + 1) * cols - 1;
}

std::vector<XEVImageViewCtrl*> XEVImageWindow::PlaceStudyCells(QWidget* parent)
{
    const QRect client = GridClientRect();
    const int32_t cols = std::max(studyLayout.cols, 1);
    const int32_t rows = std::max(studyLayout.rows, 1);
    const int32_t w = std::max(client.width() / cols, 0);
    const int32_t h = std::max(client.height() / rows, 0);
    int32_t first = 0;
    int32_t last = 0;
    StudySlots(first, last);
    bool runningDropped = false;
    std::vector<XEVImageViewCtrl*> retired;
    for (auto it = studyCells.begin(); it != studyCells.end();) {
        const int32_t slot = it->first - kXEVFirstStudyCellId;
        if (slot >= first && slot <= last) {
            ++it;
            continue;
        }
        XEVImageViewCtrl* cell = it->second;
        // The turn goes with a loader under way, and with one whose end is still on its way to
        // a cell that may be gone before it comes.
        runningDropped = runningDropped || (cell->loadingUnderWay.load() != 0 && XEVIsGateOpen(cell)) ||
                         (cell->loadDonePending.load() != 0 && GetLoadState().memoryShort.load() == 0);
        if (activeCellId == it->first) {
            activeCellId = 0;
        }
        it = studyCells.erase(it);
        retired.push_back(cell);
    }
    TakeBackJobs(retired);
    for (XEVImageViewCtrl* cell : retired) {
        RetireCell(cell);
    }
    ReapRetiredCells(false);
    std::vector<XEVImageViewCtrl*> made;
    for (int32_t slot = first; slot <= last; ++slot) {
        const QRect rect((slot % cols) * w, (slot / cols) * h, w, h);
        const int32_t id = kXEVFirstStudyCellId + slot;
        if (auto found = studyCells.find(id); found != studyCells.end()) {
            found->second->setGeometry(rect);
            found->second->update();
        } else if (CreateCell(parent, rect, id) != 0) {
            made.push_back(studyCells[id]);
        }
    }
    for (auto& [id, cell] : studyCells) {
        cell->cellsPerPage = studyLayout.rows * studyLayout.cols;
    }
    if (runningDropped) {
        ResumeNextStudyLoader();
    }
    return made;
}

void XEVImageWindow::RetireCell(XEVImageViewCtrl* cell)
{
    firstAsked_.erase(cell);
    NoteKeysLeaving(cell);
    cell->hide();
    cell->inView = 0;
    std::erase(coming_, cell);
    // A loader in the middle of a read is not waited for here: it leaves after its block,
    // and the cell goes once it has.
    cell->StopLoader();
    retiring_.push_back(cell);
}

void XEVImageWindow::TakeBackJobs(const std::vector<XEVImageViewCtrl*>& cells)
{
    const XEVWindowHandle loaderWindow = GetLoadState().GetLoaderWindow();
    if (cells.empty() || loaderWindow.IsNull()) {
        return;
    }
    std::vector<XEVWindowHandle> owners;
    owners.reserve(cells.size());
    for (XEVImageViewCtrl* cell : cells) {
        owners.push_back(cell->Handle());
        firstAsked_.erase(cell);
    }
    // Sent: the worker is never waited for, only the queues' lock, which no read holds.
    if (XEVSendMessage(loaderWindow, WM_XEV_LOADER_STOP, 1, XEVLParam(&owners)) == 0) {
        return;
    }
    for (XEVImageViewCtrl* cell : cells) {
        // A first image taken back shows no progress: the loader shows its own when it runs.
        if (cell->loadedCount == 0 && cell->loader.Running() == 0) {
            cell->progressTotal = 0;
            cell->progressShown = 0;
        }
    }
}

void XEVImageWindow::ReapRetiredCells(bool all)
{
    for (auto it = retiring_.begin(); it != retiring_.end();) {
        XEVImageViewCtrl* cell = *it;
        if (!all && cell->loader.Running() != 0) {
            ++it;
            continue;
        }
        // Joins its loader, which has ended (or, for all, is about to).
        cell->ClearView(false);
        delete cell;
        it = retiring_.erase(it);
    }
}

void XEVImageWindow::ResumeNextStudyLoader()
{
    // The study's own start comes after its first images.
    if (StudyStartPending()) {
        return;
    }
    // A cell in sight goes before the rows kept each side.
    XEVImageViewCtrl* waiting = nullptr;
    XEVImageViewCtrl* open = nullptr;
    for (auto& [id, cell] : studyCells) {
        if (cell->loadingUnderWay.load() == 0) {
            continue;
        }
        if (XEVIsGateOpen(cell)) {
            open = cell;
            continue;
        }
        if (waiting == nullptr || (waiting->inView.load() == 0 && cell->inView.load() != 0)) {
            waiting = cell;
        }
    }
    if (open != nullptr) {
        if (waiting == nullptr || open->inView.load() != 0 || waiting->inView.load() == 0) {
            return;
        }
        // Scrolled out of sight: it waits at its gate, after its block, for its turn again.
        open->PauseLoader();
    }
    if (waiting != nullptr) {
        (void)waiting->ResumeLoader();
    }
}

void XEVImageWindow::FollowStudyRows()
{
    if (activeMode != 0) {
        return;
    }
    const std::vector<XEVImageViewCtrl*> made = PlaceStudyCells(owner_);
    if (!made.empty()) {
        coming_.insert(coming_.end(), made.begin(), made.end());
        StudyCellsComing();
    }
}

void XEVImageWindow::AssignSettledCells()
{
    AssignComingCells(std::exchange(coming_, {}));
    // Inside an arrangement, its own end asks, with the cells' places known.
    if (!arranging_) {
        AskForTheScreen();
    }
}

void XEVImageWindow::AskForTheScreen()
{
    const XEVWindowHandle loaderWindow = GetLoadState().GetLoaderWindow();
    if (loaderWindow.IsNull() || displayKind == 0) {
        return;
    }
    // By place: the cells' map is in the order of the grid.
    std::vector<ImageInfo*> firsts;
    for (auto& [id, cell] : ActiveCells()) {
        const auto images = cell->GetImages();
        if (cell->isHidden() || cell->inView.load() == 0 || images.empty()) {
            continue;
        }
        // A loader reading the cell's set now reads what it shows first.
        if (activeMode == 0 && cell->loadingUnderWay.load() != 0 && XEVIsGateOpen(cell)) {
            continue;
        }
        if (ImageInfo* shown = cell->CurrentImage()) {
            // The worker tells the cell itself, before its queued jobs, whoever read the frame;
            // a tile whose series was just laid out hears from the job queued for it. Only for
            // the image that job reads: a tile paged out of sight since shows another.
            bool jobQueued = cell->tileMode != 0 && cell->progressTotal.load() != 0 && cell->loadedCount == 0;
            if (jobQueued) {
                std::lock_guard<PlatRecursiveLock> guard(shown->GetLock());
                jobQueued = shown->notifyWindow == cell->Handle();
            }
            if (!jobQueued && !cell->HasFramePixels(cell->currentFrame) && !FailedBefore(shown)) {
                (void)cell->LoadCurrentImage();
            }
            continue;
        }
        // A tile past the series' end shows nothing; a study cell shows its first image once read.
        if (activeMode != 0 || cell->tileMode != 0 || cell->currentImage != -1 || cell->loadedCount != 0) {
            continue;
        }
        ImageInfo* first = images.begin()->second;
        if (IsReport(first) || FailedBefore(first) || firstAsked_[cell] == first) {
            continue;
        }
        firstAsked_[cell] = first;
        bool decoded = false;
        {
            std::lock_guard<PlatRecursiveLock> guard(first->GetLock());
            const XEVVEKHelper* helper = first->GetHelper();
            decoded = helper != nullptr && helper->IsFrameLoaded(first->startFrame);
            // Whoever it was read for, its notice goes to the cell that shows it now.
            first->notifyWindow = cell->Handle();
            first->forced = decoded ? 0 : 1;
        }
        if (decoded) {
            // Read for a cell that has gone, or before this one asked: told to this one.
            XEVPostMessage(cell->Handle(), WM_XEV_IMAGE_LOADED, reinterpret_cast<XEVWParam>(first), 0);
            continue;
        }
        firsts.push_back(first);
        cell->progressTotal = 1;
        cell->progressShown = 1;
    }
    if (!firsts.empty() && XEVSendMessage(loaderWindow, WM_XEV_LOADER_QUEUE, 3, XEVLParam(&firsts)) != 0) {
        XEVPostMessage(loaderWindow, WM_XEV_LOADER_START);
    }
}

void XEVImageWindow::KeepKeys()
{
    if (owner_ == nullptr) {
        return;
    }
    // Keys that no widget able to take them holds are lost as well: a grid laid out while
    // nothing in the window has the focus (as it opens, before any click), or the grid or a
    // pane around it does (a column hidden hands its focus on), gives them to a cell in sight.
    const QWidget* focused = owner_->window()->focusWidget();
    if (!keysLost_ && focused != nullptr && focused != owner_ && !focused->isAncestorOf(owner_)) {
        return;
    }
    // The active cell in sight keeps them; else the first in sight, made the active one when
    // it shows an image (else its first image makes it so). Not whichever cell happened to be
    // read first: the user's place in the grid does not depend on the drive.
    XEVImageViewCtrl* keys = ActiveCellInSight();
    for (auto& [id, cell] : ActiveCells()) {
        if (keys == nullptr && !cell->isHidden() && cell->inView.load() != 0) {
            keys = cell;
        }
    }
    if (keys == nullptr) {
        return;
    }
    keysLost_ = false;
    keys->setFocus(Qt::OtherFocusReason);
    ActivateTheKeysCellOnceItShows();
}

void XEVImageWindow::ActivateTheKeysCellOnceItShows()
{
    if (keysRecheckPending_) {
        return;   // one look at a time, however many layouts ask
    }
    QWidget* focused = owner_->window()->focusWidget();
    XEVImageViewCtrl* keys = nullptr;
    for (auto& [id, cell] : ActiveCells()) {
        if (cell == focused && !cell->isHidden() && cell->inView.load() != 0) {
            keys = cell;
            break;
        }
    }
    if (keys == nullptr || keys->active != 0 || ActiveCellInSight() != nullptr) {
        return;
    }
    // Its image may still come, or be under a decode's lock now: asked again until it shows,
    // for as long as the cell holds the keys in sight with no active cell beside it.
    ImageInfo* image = keys->CurrentImage();
    if (image != nullptr && keys->HasFramePixels(keys->currentFrame)) {
        ActivateCell(keys->ControlId());
        return;
    }
    if (keys->GetImages().empty()) {
        return;
    }
    if (image != nullptr) {
        // An image that failed shows no frame: the looks end (one short of memory is read again).
        // Never waited for: a decode holds it.
        std::unique_lock<PlatRecursiveLock> decoding(image->GetLock(), std::try_to_lock);
        if (decoding.owns_lock() && Failed(image->GetHelper())) {
            return;
        }
    }
    LookAtTheKeysCellLater();
}

void XEVImageWindow::LookAtTheKeysCellLater()
{
    if (keysRecheckPending_ || owner_ == nullptr) {
        return;
    }
    keysRecheckPending_ = true;
    QTimer::singleShot(kKeysRecheckMs, owner_, [this] {
        keysRecheckPending_ = false;
        ActivateTheKeysCellOnceItShows();
    });
}

void XEVImageWindow::NoteKeysLeaving(XEVImageViewCtrl* cell)
{
    keysLost_ = keysLost_ || cell->hasFocus();
}

void XEVImageWindow::AssignComingCells(const std::vector<XEVImageViewCtrl*>& made)
{
    if (made.empty() || displayKind != 2) {
        return;
    }
    const std::vector<SeriesInfo*> series = StudySeries(shownStudy);
    for (XEVImageViewCtrl* cell : made) {
        cell->tileMode = activeMode;
        const size_t slot = size_t(cell->ControlId() - kXEVFirstStudyCellId);
        if (slot >= series.size()) {
            continue;
        }
        SeriesInfo* s = series[slot];
        cell->SetImages(s->images);
        if (!cell->NeedsLoading()) {
            cell->SetupFirstImage();
            cell->update();
            continue;
        }
        // Its first image is asked for with the screen's (the arrangement that placed it asks);
        // the rest come with its loader's turn, as does the first image of a row kept out of
        // sight.
        cell->QueueLoader();
    }
    ResumeNextStudyLoader();
}

void XEVImageWindow::PlaceGrid(QWidget* parent)
{
    if (activeMode == 0) {
        const std::vector<XEVImageViewCtrl*> made = PlaceStudyCells(parent);
        // While a study is entered its own assignment follows.
        if (!enteringStudy_) {
            AssignComingCells(made);
        }
        return;
    }
    LayoutInfo& layout = ActiveLayout();
    const QRect client = GridClientRect();
    const int32_t cols = std::max(layout.cols, 1);
    const int32_t rows = std::max(layout.rows, 1);
    const int32_t w = client.width() / cols;
    const int32_t h = client.height() / rows;
    const int32_t needed = layout.GetRowsNeeded();
    auto& cells = ActiveCells();
    auto it = cells.begin();
    for (int32_t r = 0; r < needed; ++r) {
        for (int32_t c = 0; c < cols; ++c) {
            const QRect rect(c * w, r * h, std::max(w, 0), std::max(h, 0));
            if (it != cells.end()) {
                it->second->setGeometry(rect);
                it->second->update();
                ++it;
            } else if (CreateCell(parent, rect) != 0) {
                it = cells.end();
            }
        }
    }
    int32_t place = 0;
    for (auto& [id, cell] : cells) {
        cell->cellsPerPage = layout.rows * layout.cols;
        cell->pagePlace = place++;
    }
}

void XEVImageWindow::LayoutCells(QWidget* parent)
{
    for (auto& [id, cell] : ActiveCells()) {
        cell->ClearView(true);
    }
    PlaceGrid(parent);
}

void XEVImageWindow::Arrange(const QRect& rect, int32_t scroll)
{
    auto& inactive = activeMode == 0 ? seriesCells : studyCells;
    for (auto& [id, cell] : inactive) {
        cell->hide();
    }
    auto& cells = ActiveCells();
    XEVImageViewCtrl* alone = nullptr;
    if (selectedEnlarged != 0) {
        alone = GetSelectedView();
    } else if (activeCellOnly != 0) {
        alone = GetFirstActiveView();
    }
    if (alone != nullptr) {
        for (auto& [id, cell] : cells) {
            if (cell != alone) {
                cell->hide();
            }
        }
        alone->setGeometry(rect);
        alone->show();
        alone->update();
        AskForTheScreen();
        return;
    }
    arranging_ = true;
    FollowStudyRows();
    arranging_ = false;
    const LayoutInfo& layout = ActiveLayout();
    const int32_t cols = std::max(layout.cols, 1);
    const int32_t rows = std::max(layout.rows, 1);
    const int32_t baseWidth = rect.width() / cols;
    const int32_t extraWidth = rect.width() % cols;
    const int32_t baseHeight = rect.height() / rows;
    const int32_t extraHeight = rect.height() % rows;
    const int32_t placed = layout.GetRowsNeeded() * cols;
    const int32_t firstId = activeMode == 0 ? kXEVFirstStudyCellId : kXEVFirstSeriesCellId;
    std::vector<XEVImageViewCtrl*> left;
    for (auto& [id, cell] : cells) {
        // Study cells exist only around the rows shown: each is placed by its place in the grid.
        const int32_t k = id - firstId;
        if (k >= placed) {
            // Cells of an earlier, larger grid stay out of sight.
            NoteKeysLeaving(cell);
            cell->hide();
            continue;
        }
        const int32_t r = k / cols;
        const int32_t c = k % cols;
        const int32_t x = rect.left() + c * baseWidth + std::min(c, extraWidth);
        const int32_t y = rect.top() - scroll + r * baseHeight + std::min(r, extraHeight);
        const int32_t w = baseWidth + (c < extraWidth ? 1 : 0);
        const int32_t h = baseHeight + (r < extraHeight ? 1 : 0);
        cell->setGeometry(x, y, w, h);
        // Out of sight a cell stays hidden: every paint of the area walks the shown ones.
        const bool inSight = rect.intersects(cell->geometry());
        if (!inSight) {
            NoteKeysLeaving(cell);
        }
        cell->setVisible(inSight);
        if (!inSight && cell->inView.exchange(0) != 0) {
            left.push_back(cell);
        }
        cell->inView = inSight ? 1 : 0;
        if (inSight) {
            cell->update();
        }
    }
    // What the worker was to read for the rows scrolled away, and the turn of a loader reading
    // one of them, go to the rows in sight.
    if (activeMode == 0 && !left.empty()) {
        TakeBackJobs(left);
        if (std::any_of(left.begin(), left.end(), [](XEVImageViewCtrl* cell) {
                return cell->loadingUnderWay.load() != 0 && XEVIsGateOpen(cell);
            })) {
            ResumeNextStudyLoader();
        }
    }
    // Every change of view ends here: what the cells in sight show is read before anything
    // else, whatever was asked, taken back or read for the cells that went. Rows a scroll
    // brought get theirs once it has rested.
    if (coming_.empty()) {
        AskForTheScreen();
    }
    KeepKeys();
}

void XEVImageWindow::SetModeLayout(LayoutInfo& layout, int32_t index)
{
    layout.SetRowCol(LayoutTable[index].rows, LayoutTable[index].cols);
    previousLayoutIndex = layoutIndex;
    layoutIndex = index;
}

void XEVImageWindow::SetLayout(QWidget* parent, int32_t index)
{
    LayoutInfo& layout = ActiveLayout();
    if (index >= 0 && index < kLayoutTableSize) {
        SetModeLayout(layout, index);
    }
    PlaceGrid(parent);
    if (activeMode != 1 || displayKind == 0 || seriesCells.empty() ||
        seriesCells.begin()->second->GetImages().empty()) {
        return;
    }
    // The page stays where it starts; the cells it has now show it from there.
    SettlePageOffset();
    ShowPage(seriesCells.begin()->first);
}

void XEVImageWindow::FitLayout(StudyInfo* study)
{
    if (study == nullptr) {
        return;
    }
    if (study->modalities == QStringLiteral("CR")) {
        studyLayout.SetRowCol(1, 1);
    } else {
        studyLayout.FitCount(study->CountNonReportSeries());
    }
}

void XEVImageWindow::ShowStudy(int32_t index, StudyInfo* study, QWidget* formView)
{
    EnterStudyMode(index, study);
    AssignStudy(study, formView, false);
    ShowCells(0, true);
}

void XEVImageWindow::ShowStudyAgain(int32_t index, StudyInfo* study)
{
    EnterStudyMode(index, study);
    AssignStudy(study, nullptr, true);
    ShowCells(0, true);
}

void XEVImageWindow::EnterStudyMode(int32_t index, StudyInfo* study)
{
    ShowCells(1, false);
    ResetAll();
    shownStudy = study;
    activeMode = 0;
    displayKind = 2;
    ResetAll();
    if (study != nullptr) {
        study->ResetImageViews();
    }
    pageOffset = 0;
    if (index >= 0 && index < kLayoutTableSize) {
        SetModeLayout(studyLayout, index);
    }
    studyLayout.itemCount = study != nullptr ? study->CountNonReportSeries() : 0;
    coming_.clear();
    firstAsked_.clear();
    enteringStudy_ = true;
    LayoutCells(owner_);
    enteringStudy_ = false;
}

void XEVImageWindow::AssignStudy(StudyInfo* study, QWidget* formView, bool again)
{
    StudyStart start;
    start.formView = formView;
    start.again = again;
    // 1. Hold the loader that runs now; it goes on after the first images are decoded.
    for (auto& [id, cell] : studyCells) {
        if (cell->loaderRunning.load() != 0 && XEVIsGateOpen(cell)) {
            cell->PauseLoader();
            start.paused.push_back(id);
        }
    }
    XEVLoadState& state = GetLoadState();
    if (!start.paused.empty() && state.IsPreloadRunning() != 0) {
        state.PausePreload();
    }
    // A newer arrangement replaces one still waiting.
    ++arrangement_;
    pendingStart_.reset();
    if (QueueFirstImages(study) == 0) {
        StartStudyLoaders(start);
        return;
    }
    // The cells' loaders start once the worker has read the first images, or has read none of
    // them for a while (a member being extracted paints when its load's notice comes). The
    // window is not held meanwhile.
    pendingStart_ = std::move(start);
    if (!notices_) {
        notices_ = std::make_unique<XEVMessageReceiver>();
        notices_->SetHandler(WM_XEV_FIRST_IMAGES_READ, [this](XEVWParam token, XEVLParam) {
            FirstImagesRead(uint64_t(token));
            return XEVResult(0);
        });
    }
    const uint64_t token = arrangement_;
    XEVNotifyWhenIdle(state.GetLoaderWindow(), {notices_->Handle(), WM_XEV_FIRST_IMAGES_READ, XEVWParam(token)});
    pendingStart_->outstanding = OutstandingFirstImages();
    ArmFirstImagesWait(token);
}

int32_t XEVImageWindow::OutstandingFirstImages() const
{
    // A queued first image shows progress until its notice, good or bad, comes.
    int32_t outstanding = 0;
    for (const auto& [id, cell] : studyCells) {
        outstanding += cell->progressTotal.load() != 0 ? 1 : 0;
    }
    return outstanding;
}

void XEVImageWindow::ArmFirstImagesWait(uint64_t token)
{
    QTimer::singleShot(firstImagesWaitMs, notices_.get(), [this, token] {
        if (token != arrangement_ || !pendingStart_) {
            return;
        }
        // Still reading the page's first images, one more since: they go on first. A worker
        // stuck on one (a member being extracted) lets the loaders go.
        const int32_t outstanding = OutstandingFirstImages();
        if (outstanding > 0 && outstanding < pendingStart_->outstanding) {
            pendingStart_->outstanding = outstanding;
            ArmFirstImagesWait(token);
            return;
        }
        FirstImagesRead(token);
    });
}

int32_t XEVImageWindow::QueueFirstImages(StudyInfo* study)
{
    // 2, 3. One series per cell; the first image of each is decoded by the loader window.
    const std::vector<SeriesInfo*> series = StudySeries(study);
    // Only the cells on screen are waited for; the others get their first image from their
    // own loader when their turn comes.
    const int32_t cols = std::max(studyLayout.cols, 1);
    const int32_t rows = std::max(studyLayout.rows, 1);
    const int32_t firstShown = std::clamp(FirstShownRow(), 0, std::max(studyLayout.GetRowsNeeded() - rows, 0)) * cols;
    int32_t queued = 0;
    for (auto& [id, cell] : studyCells) {
        cell->tileMode = activeMode;
        // The cell's place in the grid is its series' place in the study.
        const int32_t k = id - kXEVFirstStudyCellId;
        if (k < 0 || size_t(k) >= series.size()) {
            continue;
        }
        const bool onScreen = k >= firstShown && k < firstShown + rows * cols;
        SeriesInfo* s = series[size_t(k)];
        cell->SetImages(s->images);
        if (!cell->NeedsLoading()) {
            continue;
        }
        int32_t total = 0;
        if (onScreen && !s->images.empty() && !IsReport(s->images.front()) && !FailedBefore(s->images.front())) {
            QueueFirstLoad(s->images.front(), cell);
            firstAsked_[cell] = s->images.front();
            total = 1;
        }
        queued += total;
        cell->progressTotal = total;
        cell->progressShown = total != 0 ? 1 : 0;
    }
    if (queued > 0) {
        XEVSendMessage(GetLoadState().GetLoaderWindow(), WM_XEV_LOADER_START);
    }
    return queued;
}

void XEVImageWindow::FirstImagesRead(uint64_t token)
{
    // The notice and the timer both come; the first runs the start, an older arrangement's none.
    if (token != arrangement_ || !pendingStart_) {
        return;
    }
    const StudyStart start = std::move(*pendingStart_);
    pendingStart_.reset();
    StartStudyLoaders(start);
}

void XEVImageWindow::DropPendingStart()
{
    ++arrangement_;
    pendingStart_.reset();
}

void XEVImageWindow::StartStudyLoaders(const StudyStart& start)
{
    // 5. One loader at a time: the first starts, the rest wait their turn without a thread,
    // and the form view starts the next. Cells are found anew: a scroll may have retired some.
    bool opened = false;
    XEVImageViewCtrl* firstLoaded = nullptr;
    for (auto& [id, cell] : studyCells) {
        const bool paused = std::find(start.paused.begin(), start.paused.end(), id) != start.paused.end();
        if (paused && cell->loadingUnderWay.load() != 0 && !XEVIsGateOpen(cell)) {
            if (!opened) {
                opened = cell->ResumeLoader();
            }
            continue;
        }
        if (cell->GetImages().empty()) {
            continue;
        }
        if (cell->NeedsLoading()) {
            cell->StopLoader();
            ClearLoaderFields(cell);
            if (opened) {
                cell->QueueLoader();
            } else {
                cell->loader.SetGate();
                opened = cell->StartLoader();
            }
        } else {
            // Shown again too: a loaded cell would otherwise stay blank with no image chosen.
            cell->SetupFirstImage();
            cell->repaint();
            if (firstLoaded == nullptr) {
                firstLoaded = cell;
            }
        }
    }
    if (start.again || opened) {
        return;
    }
    // 6. Nothing to wait for: the first image and the pre-load go on at once.
    if (firstLoaded != nullptr && start.formView != nullptr) {
        QCoreApplication::postEvent(start.formView,
                                    new XEVMessageEvent(WM_XEV_FIRST_IMAGE, XEVWParam(firstLoaded->ControlId()), 0));
    }
    PostToMainFrame(WM_XEV_PRELOAD_CONTROL);
}

void XEVImageWindow::ShowSeriesTiled(int32_t index, SeriesInfo* series)
{
    DropPendingStart();
    ShowCells(0, false);
    ResetAll();
    activeMode = 1;
    displayKind = 3;
    ResetAll();
    if (series != nullptr) {
        series->ResetImageViews();
    }
    pageOffset = 0;
    if (index >= 0 && index < kLayoutTableSize) {
        SetModeLayout(seriesLayout, index);
    }
    LayoutCells(owner_);

    std::map<int32_t, ImageInfo*> shared;
    if (series != nullptr) {
        for (ImageInfo* image : series->images) {
            if (image != nullptr && !IsReport(image)) {
                shared.emplace(static_cast<int32_t>(shared.size()), image);
            }
        }
    }
    const int32_t n = static_cast<int32_t>(shared.size());
    const XEVWindowHandle loaderWindow = GetLoadState().GetLoaderWindow();
    // Cell k shows position k: an entry, or one frame of a file whose frames are known.
    int32_t k = 0;
    int32_t lastShown = -1;
    std::set<const ImageInfo*> queued;
    for (auto& [id, cell] : seriesCells) {
        cell->tileMode = 1;
        if (n == 0) {
            continue;
        }
        cell->CopyImages(shared);
        cell->GoToImage(k++);
        ImageInfo* image = cell->CurrentImage();
        if (image == nullptr) {
            cell->CopyImages({});
            continue;
        }
        lastShown = cell->currentImage;
        // One job per file: the cell it reports to lays the frames over the page once the
        // file's frames are known.
        if (!queued.insert(image).second || FailedBefore(image)) {
            continue;
        }
        {
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            image->notifyWindow = cell->Handle();
            image->forced = 1;
        }
        cell->progressTotal = 1;
        cell->progressShown = 1;
        XEVPostMessage(loaderWindow, WM_XEV_LOADER_QUEUE, 0, XEVLParam(image));
    }
    XEVPostMessage(loaderWindow, WM_XEV_LOADER_START);
    // The rest of the series decodes in the background through the single worker.
    for (int32_t p = lastShown + 1; p < n; ++p) {
        ImageInfo* image = shared[p];
        if (FailedBefore(image)) {
            continue;
        }
        {
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            image->notifyWindow = XEVWindowHandle();
        }
        XEVPostMessage(loaderWindow, WM_XEV_LOADER_QUEUE, 0, XEVLParam(image));
    }
    if (lastShown + 1 < n) {
        XEVPostMessage(loaderWindow, WM_XEV_LOADER_START);
    }
    for (auto& [id, cell] : seriesCells) {
        cell->cellsPerPage = seriesLayout.rows * seriesLayout.cols;
    }
    ShowCells(1, true);
    PostToMainFrame(WM_XEV_PRELOAD_CONTROL);
}

void XEVImageWindow::ActivateCell(int32_t id)
{
    activeCellId = 0;
    auto& cells = ActiveCells();
    for (auto& [cellId, cell] : cells) {
        if (cellId == id) {
            if (cell->SetActive(true)) {
                activeCellId = id;
            }
        } else {
            cell->SetActive(false);
        }
    }
    // A cell that could not take it (its frame not come) leaves none active in sight: the cell
    // with the keys takes it once it shows.
    if (ActiveCellInSight() == nullptr) {
        LookAtTheKeysCellLater();
    }
    XEVImageViewCtrl* activeCell = GetCell(activeCellId);
    const bool activeLoading = activeCell != nullptr && activeCell->loadingUnderWay.load() != 0;
    XEVLoadState& state = GetLoadState();
    // The loader of the cell the user works in goes first.
    for (auto& [cellId, cell] : cells) {
        if (cell->loadingUnderWay.load() == 0) {
            continue;
        }
        if (cell == activeCell) {
            cell->ResumeLoader();
        } else if (activeLoading) {
            if (state.IsPreloadRunning() != 0) {
                state.PausePreload();
            }
            cell->PauseLoader();
        }
    }
    if (followSelected != 0) {
        XEVImageViewCtrl* selectedView = GetSelectedView();
        SyncAll(selectedView != nullptr ? selectedView->ControlId() : 0);
    } else {
        SyncAll(activeCellId);
    }
}

void XEVImageWindow::SelectCell(int32_t id)
{
    for (auto& [cellId, cell] : ActiveCells()) {
        cell->selected = cellId == id && cell->HasFramePixels(cell->currentFrame) ? 1 : 0;
        cell->update();
    }
}

void XEVImageWindow::SyncAll(int32_t id)
{
    XEVImageViewCtrl* other = GetCell(id);
    for (auto& [cellId, cell] : ActiveCells()) {
        cell->SyncToView(other);
    }
}

void XEVImageWindow::FollowTheLinked(int32_t id)
{
    const XEVImageViewCtrl* selected = followSelected != 0 ? GetSelectedView() : nullptr;
    const int32_t linked = followSelected != 0 ? (selected != nullptr ? selected->ControlId() : 0) : activeCellId;
    XEVImageViewCtrl* cell = GetCell(id);
    if (cell == nullptr || linked == 0) {
        return;
    }
    if (id == linked) {
        SyncAll(linked);
    } else {
        cell->SyncToView(GetCell(linked));
    }
}

XEVImageViewCtrl* XEVImageWindow::ActiveCellInSight()
{
    for (auto& [id, cell] : ActiveCells()) {
        if (cell->active != 0 && !cell->isHidden() && cell->inView.load() != 0) {
            return cell;
        }
    }
    return nullptr;
}

XEVImageViewCtrl* XEVImageWindow::GetFirstActiveView() const
{
    for (const auto& [id, cell] : ActiveCells()) {
        if (cell->active != 0) {
            return cell;
        }
    }
    return nullptr;
}

XEVImageViewCtrl* XEVImageWindow::GetSelectedView() const
{
    for (const auto& [id, cell] : ActiveCells()) {
        if (cell->selected != 0) {
            return cell;
        }
    }
    return nullptr;
}

XEVImageViewCtrl* XEVImageWindow::GetCell(int32_t id) const
{
    const auto& cells = ActiveCells();
    const auto found = cells.find(id);
    return found == cells.end() ? nullptr : found->second;
}

void XEVImageWindow::ClearAllViews()
{
    for (auto* map : {&studyCells, &seriesCells}) {
        for (auto& [id, cell] : *map) {
            cell->ClearView(true);
        }
    }
    // Every reader is stopped and none waited for: the records they read may go next, and
    // they hold them until they end.
    StopLoading();
}

void XEVImageWindow::ResetAll()
{
    for (auto& [id, cell] : ActiveCells()) {
        cell->ClearView(true);
    }
}

void XEVImageWindow::CloseEdits()
{
    for (auto& [id, cell] : ActiveCells()) {
        cell->CloseAnnotationEdit();
    }
}

void XEVImageWindow::StopLoading()
{
    // Every reader hears its stop and none is waited for: each ends after its block, on its
    // own. Cells scrolled away go once their loaders have.
    DropPendingStart();
    firstAsked_.clear();
    XEVSendMessage(GetLoadState().GetLoaderWindow(), WM_XEV_LOADER_STOP);
    for (auto& [id, cell] : studyCells) {
        cell->StopLoader();
        ClearLoaderFields(cell);
    }
    ReapRetiredCells(false);
}

void XEVImageWindow::ApplyWindowToAll(bool apply, int32_t id)
{
    XEVImageViewCtrl* source = GetCell(id);
    for (auto& [cellId, cell] : ActiveCells()) {
        if (apply && source != nullptr && cell != source) {
            cell->SetWindowAll(source->windowCenter, source->windowWidth);
        }
        cell->update();
    }
}

void XEVImageWindow::EnlargeSelected(bool enlarge)
{
    XEVImageViewCtrl* view = GetSelectedView();
    if (view != nullptr) {
        if (enlarge) {
            savedBaseScale = view->baseScale;
            savedZoomMode = view->zoomMode;
            savedZoomed = view->zoomed;
            savedSource[0] = view->sourceLeft;
            savedSource[1] = view->sourceTop;
            savedSource[2] = view->sourceRight;
            savedSource[3] = view->sourceBottom;
            view->cellsPerPage = 1;
            view->zoomMode = XEVImageViewCtrl::kFit;
            view->zoomed = 0;
            view->update();
        } else {
            view->baseScale = savedBaseScale;
            view->zoomMode = savedZoomMode;
            view->zoomed = savedZoomed;
            view->sourceLeft = savedSource[0];
            view->sourceTop = savedSource[1];
            view->sourceRight = savedSource[2];
            view->sourceBottom = savedSource[3];
            view->cellsPerPage = ActiveLayout().rows * ActiveLayout().cols;
            if (activeMode == 1) {
                ShowPage(view->ControlId());
            }
        }
    }
    selectedEnlarged = enlarge ? 1 : 0;
}

int32_t XEVImageWindow::ShowPage(int32_t modelId)
{
    auto& cells = ActiveCells();
    if (cells.empty()) {
        return 1;
    }
    XEVImageViewCtrl* first = cells.begin()->second;
    XEVImageViewCtrl* model = GetCell(modelId);
    const auto images = first->GetImages();
    const LayoutInfo& layout = ActiveLayout();
    int32_t position = pageOffset - 1;
    for (auto& [id, cell] : cells) {
        ++position;
        // Counted for every cell: a load on this page may have found a file's frames.
        if (position > first->GetCineLength() - 1) {
            cell->ClearView(true);
            continue;
        }
        if (cell != first && cell->GetImages() != images) {
            cell->CopyImages(images);
        }
        cell->tileMode = first->tileMode;
        if (selectedEnlarged == 0) {
            cell->cellsPerPage = layout.rows * layout.cols;
        }
        cell->GoToImage(position);
        bool requested = false;
        if (!cell->HasFramePixels(cell->currentFrame) && cell->isVisible()) {
            // Far images go first, so that the page in view decodes.
            KeepWithinBudget(id);
            if (MemoryShortNow()) {
                FreeMemory(id);
            }
            // The page answers at once: the worker decodes the frame and the cell paints it
            // when it comes.
            requested = cell->LoadCurrentImage();
            if (!requested) {
                cell->ClearView(true);
                continue;
            }
        }
        if (!requested && !cell->HasFramePixels(cell->currentFrame)) {
            cell->selected = 0;
            cell->active = 0;
        }
        if (model != nullptr && model != cell) {
            cell->CopyDisplayState(*model);
        }
        cell->update();
    }
    return 1;
}

int32_t XEVImageWindow::PageStep(int32_t direction, int32_t byPage)
{
    if (selectedEnlarged != 0) {
        if (XEVImageViewCtrl* view = GetFirstActiveView()) {
            view->SetCurrentImage(direction == 0 ? XEVImageViewCtrl::kNext : XEVImageViewCtrl::kPrevious, 0);
        }
        return 1;
    }
    if (activeMode == 0 || seriesCells.empty()) {
        return 0;
    }
    XEVImageViewCtrl* first = seriesCells.begin()->second;
    SettlePageOffset();
    const int32_t n = first->GetCineLength();
    const int32_t per = seriesLayout.rows * seriesLayout.cols;
    const int32_t step = byPage != 0 ? per : seriesLayout.cols;
    const int32_t old = pageOffset;
    if (direction == 0) {
        if (pageOffset + per > n - 1) {
            return 0;
        }
        pageOffset += step;
    } else {
        if (pageOffset <= 0) {
            return 0;
        }
        pageOffset = std::max(pageOffset - step, 0);
    }
    if (ShowPage(seriesCells.begin()->first) == 0) {
        pageOffset = old;
    }
    return 1;
}

void XEVImageWindow::SettlePageOffset()
{
    if (activeMode != 1 || seriesCells.empty()) {
        return;
    }
    // The page starts where its first cell stands: frames found since the page was laid out
    // move the positions after them.
    const XEVImageViewCtrl* first = seriesCells.begin()->second;
    if (first->tileMode != 0 && first->CurrentImage() != nullptr) {
        pageOffset = first->GetPosition() - 1;
    }
}

void XEVImageWindow::ShowPageAgain(int32_t modelId)
{
    SettlePageOffset();
    ShowPage(modelId);
}

void XEVImageWindow::PageHomeEnd(int32_t which)
{
    SettlePageOffset();
    const int32_t old = pageOffset;
    if (which == 0) {
        // Laid out again even when it starts there: a tile may stand elsewhere.
        pageOffset = 0;
    } else {
        XEVImageViewCtrl* view = GetFirstActiveView();
        if (view == nullptr && !ActiveCells().empty()) {
            view = ActiveCells().begin()->second;
        }
        if (view == nullptr) {
            return;
        }
        const int32_t n = view->GetCineLength();
        const LayoutInfo& layout = ActiveLayout();
        const int32_t per = layout.rows * layout.cols;
        if (n < per || n - per <= old) {
            return;
        }
        pageOffset = n - per;
    }
    if (ShowPage(0) == 0) {
        pageOffset = old;
    }
}

void XEVImageWindow::PageToCell(int32_t id)
{
    XEVImageViewCtrl* cell = GetCell(id);
    auto& cells = ActiveCells();
    if (cell == nullptr || cell->GetImages().empty() || cell->currentImage < 0) {
        return;
    }
    const int32_t old = pageOffset;
    // The cell keeps its image or frame: the page starts that many cells before it.
    const int32_t at = cell->tileMode != 0 ? cell->GetPosition() - 1 : cell->currentImage;
    pageOffset = std::max(at - (id - cells.begin()->first), 0);
    if (ShowPage(id) == 0) {
        pageOffset = old;
    }
}

bool XEVImageWindow::ReleaseFar(XEVImageViewCtrl* cell, bool skipBusy)
{
    const int32_t n = cell->GetCineLength();
    if (skipBusy && (cell->selected != 0 || cell->active != 0 || n < 2)) {
        return false;
    }
    const auto images = cell->GetImages();
    const int32_t count = static_cast<int32_t>(images.size());
    if (cell->CurrentImage() == nullptr || count == 0 || n <= 0) {
        return false;
    }
    // Every image a cell of either mode shows, or cine waits on to show next, stays.
    std::set<const ImageInfo*> shown;
    for (auto* map : {&studyCells, &seriesCells}) {
        for (auto& [id, other] : *map) {
            if (ImageInfo* image = other->CurrentImage()) {
                shown.insert(image);
            }
            shown.insert(other->CineAwaited());
        }
    }
    int32_t start = (cell->currentImage + n / 2) % n % count;
    for (int32_t i = 0; i < count; ++i) {
        const auto found = images.find((start + i) % count);
        if (found == images.end() || shown.count(found->second) != 0) {
            continue;
        }
        ImageInfo* image = found->second;
        // An image being decoded is passed over.
        std::unique_lock<PlatRecursiveLock> lock(image->GetLock(), std::try_to_lock);
        // One that holds no frame frees nothing, and keeps what failed from being read again.
        if (!lock.owns_lock() || image->GetHelper() == nullptr || image->GetHelper()->frames.empty()) {
            continue;
        }
        image->FreeHelper();
        return true;
    }
    return false;
}

int32_t XEVImageWindow::FreeMemory(int32_t id)
{
    // Far images of the other, idle study cells first; then any cell of the active mode.
    for (auto& [cellId, cell] : studyCells) {
        if (cellId != id && ReleaseFar(cell, true)) {
            return 1;
        }
    }
    for (auto& [cellId, cell] : ActiveCells()) {
        if (ReleaseFar(cell, false)) {
            return 1;
        }
    }
    return 0;
}

int32_t XEVImageWindow::KeepWithinBudget(int32_t id)
{
    int32_t freed = 0;
    while (XEVDecodedOverBudget() && FreeMemory(id) != 0) {
        ++freed;
    }
    return freed;
}

void XEVImageWindow::ShowCells(int32_t mode, bool show)
{
    const LayoutInfo& layout = mode == 0 ? studyLayout : seriesLayout;
    auto& cells = mode == 0 ? studyCells : seriesCells;
    int32_t k = 0;
    const int32_t count = layout.rows * layout.cols;
    for (auto& [id, cell] : cells) {
        if (k++ >= count) {
            break;
        }
        cell->setVisible(show);
    }
}
