// The grid on a slow drive (one head, 100 ms a seek, then the bytes at a CD rate), through the
// real frame, its status pane's layout arrows, its cells and their loaders: after every change
// of view the images the cells in sight show are read before anything else, whatever was
// queued, taken back or read for the cells that went, and the keys stay with a cell in sight.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "shell/xevstatusformview.h"
#include "study/xevstagedread.h"
#include "testsupport/gridtestsupport.h"
#include "testsupport/slowdisc.h"
#include "testsupport/viewtestsupport.h"

namespace {

// The drive's reads can take a minute here; no ceiling under the sanitizers.
constexpr int kDriveWaitMs = kDiscTestSanitized ? kNoCeilingWaitMs : 120000;

// Whether each cell has painted its image since the watch was cleared: what a user sees,
// without the grab that would paint it anew. A paint that draws an image renders it anew for
// the cell's size and frame, so a new rendering is a paint of its image. (No event filter: the
// events posted to the cells from the loaders would be read here before their hand-over.)
class PaintWatch {
public:
    void Clear(const std::vector<const XEVImageViewCtrl*>& cells)
    {
        before_.clear();
        for (const XEVImageViewCtrl* cell : cells) {
            before_[cell] = cell->RenderedImage().cacheKey();
        }
    }
    bool DrewImage(const XEVImageViewCtrl* cell) const
    {
        const QImage& rendered = cell->RenderedImage();
        const auto found = before_.find(cell);
        return !rendered.isNull() && (found == before_.end() || found->second != rendered.cacheKey());
    }

private:
    std::map<const XEVImageViewCtrl*, qint64> before_;
};

class SlowDiscScreenTest : public DiscOpenTest {
protected:
    // A mark in the medium's log: what comes after it came after now.
    static long Mark()
    {
        SlowDiscReaderPriorityHook()(-1);
        long mark = -1;
        for (const SlowDiscEvent& event : SlowDiscLog()) {
            mark = event.gui && event.kind == SlowDiscEvent::TurnGiven ? std::max(mark, event.start) : mark;
        }
        return mark;
    }

    // The cells in sight, by place.
    std::vector<XEVImageViewCtrl*> InSight()
    {
        std::vector<XEVImageViewCtrl*> cells;
        const QRect area = Image().rect();
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (!cell->isHidden() && cell->geometry().intersects(area)) {
                cells.push_back(cell);
            }
        }
        return cells;
    }

    // Each cell of the grid as a failed wait left it: what the keys and the loaders saw.
    std::string CellStates()
    {
        std::string states;
        const QRect area = Image().rect();
        for (const auto& [id, cell] : Image().ActiveCells()) {
            ImageInfo* shown = cell->CurrentImage();
            states += "\n cell " + std::to_string(id) + (cell->isHidden() ? " hidden" : "") +
                      (cell->geometry().intersects(area) ? " in sight" : "") +
                      " inView=" + std::to_string(cell->inView.load()) + " active=" + std::to_string(cell->active) +
                      (cell == frame->focusWidget() ? " keys" : "") + " image=" + std::to_string(cell->currentImage) +
                      " pixels=" + std::to_string(cell->HasFramePixels(cell->currentFrame) ? 1 : 0) +
                      " decoded=" + std::to_string(shown != nullptr && Decoded(shown) ? 1 : 0) +
                      " loading=" + std::to_string(cell->loadingUnderWay.load()) + "/" +
                      std::to_string(cell->loaderRunning.load()) + "/" + std::to_string(cell->loadDonePending.load()) +
                      " stepAwaited=" + std::to_string(cell->StepAwaited()) +
                      " cine=" + std::to_string(cell->GetCineLength());
        }
        return states;
    }

    // The image each cell in sight shows, or will show first.
    static ImageInfo* Showing(XEVImageViewCtrl* cell)
    {
        if (ImageInfo* shown = cell->CurrentImage()) {
            return shown;
        }
        const auto images = cell->GetImages();
        return cell->tileMode == 0 && !images.empty() ? images.begin()->second : nullptr;
    }

    static bool Decoded(ImageInfo* image)
    {
        std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
        const XEVVEKHelper* helper = image->GetHelper();
        return helper != nullptr && helper->IsFrameLoaded(std::max(image->startFrame, 0));
    }

    // The files the cells in sight show and that are not decoded yet.
    std::set<std::string> Missing()
    {
        std::set<std::string> missing;
        for (XEVImageViewCtrl* cell : InSight()) {
            ImageInfo* image = Showing(cell);
            if (image != nullptr && !Decoded(image)) {
                missing.insert(image->filePath.toStdString());
            }
        }
        return missing;
    }

    // What each thread did at the medium between two times, a line an event, for a failure's message.
    static std::string Trace(const std::vector<SlowDiscEvent>& log, long from, long to)
    {
        static const char* const kinds[] = {"read",      "turn asked", "turn given",
                                            "head left", "head held",  "head waited"};
        std::string out;
        for (const SlowDiscEvent& event : log) {
            if (event.start < from || event.start > to) {
                continue;
            }
            const size_t slash = event.path.rfind('/', event.path.rfind('/') - 1);
            out += std::to_string(event.start - from) + "-" + std::to_string(event.end - from) + " thread " +
                   std::to_string(event.thread) + " priority " + std::to_string(event.priority) + " " +
                   kinds[event.kind] + " " + (slash == std::string::npos ? event.path : event.path.substr(slash + 1)) +
                   (event.kind == SlowDiscEvent::Read
                        ? " @" + std::to_string(event.offset) + "+" + std::to_string(event.length)
                        : std::string()) +
                   "\n";
        }
        return out;
    }

    // The files missing were taken between two marks, since and mark, while the readers went on:
    // each missing file was read; from the mark, no read of anything else began before the last
    // of them read from since, whichever thread asked it and whomever it served, but in a turn
    // asked before the mark (a reader let go still reads the block it began). A file read and
    // decoded while they were taken is not missing, and its read is none of anything else; one
    // read before since may still be in its decode, and no read after waits for it.
    // Judged by request, not by thread: threads are kept from one reader to the next, so most
    // readers after the mark run on threads that read before it. What went wrong, or "".
    static std::string NothingElseFirst(long since, long mark, const std::set<std::string>& missing)
    {
        std::vector<SlowDiscEvent> log = SlowDiscLog();
        std::stable_sort(log.begin(), log.end(),
                         [](const SlowDiscEvent& a, const SlowDiscEvent& b) { return a.start < b.start; });
        std::set<std::string> read;
        long lastMissing = -1;
        for (const SlowDiscEvent& event : log) {
            if (event.kind == SlowDiscEvent::Read && missing.count(event.path) != 0) {
                read.insert(event.path);
                // A missing file may be in its read at the first mark.
                lastMissing = event.end >= since ? std::max(lastMissing, event.start) : lastMissing;
            }
        }
        for (const std::string& path : missing) {
            if (read.count(path) == 0) {
                return path + " was not read";
            }
        }
        std::set<int> inOldTurn;
        // Readers for the screen waiting for the head, and the threads holding it that took or
        // kept it while none waited, by the medium's own decisions.
        std::set<int> screenWaiting;
        std::set<int> heldFairly;
        for (const SlowDiscEvent& event : log) {
            if (event.kind == SlowDiscEvent::TurnAsked && event.start < mark) {
                inOldTurn.insert(event.thread);
            } else if (event.kind == SlowDiscEvent::TurnGiven) {
                inOldTurn.erase(event.thread);
            }
            if (event.kind == SlowDiscEvent::HeadWaited && event.priority == 0) {
                screenWaiting.insert(event.thread);
            } else if (event.kind == SlowDiscEvent::HeadHeld) {
                screenWaiting.erase(event.thread);
                if (event.priority == 0 || screenWaiting.empty()) {
                    heldFairly.insert(event.thread);
                } else {
                    heldFairly.erase(event.thread);
                }
            } else if (event.kind == SlowDiscEvent::HeadLeft) {
                screenWaiting.erase(event.thread);
                heldFairly.erase(event.thread);
            }
            // The background keeps off the head between the worker's reads for the screen, and
            // for a grace after any other's, the time a cell's next read takes to come after its
            // decode; the sanitizers' decode outlasts that grace, so there a background read goes
            // wrong only where its reader took or kept the head while a read for the screen
            // waited for it, or read without holding it.
            const bool judged = !kDiscTestSanitized || event.priority == 0 || heldFairly.count(event.thread) == 0;
            if (event.kind == SlowDiscEvent::Read && missing.count(event.path) == 0 && event.start >= mark &&
                event.start < lastMissing && inOldTurn.count(event.thread) == 0 && judged) {
                return event.path + " was begun for " + (event.priority == 0 ? "the screen" : "the background") +
                       " before every missing image was read; the medium since the first mark:\n" +
                       Trace(log, since, event.start);
            }
        }
        return "";
    }

    // Runs the queue until every cell in sight shows its image.
    bool UntilEveryCellShows()
    {
        return PumpUntil([this] { return EveryCellShows(); }, kDriveWaitMs);
    }

    // Whether every cell in sight has painted its image since the watch was cleared.
    bool EveryCellShows()
    {
        for (XEVImageViewCtrl* cell : InSight()) {
            if (Showing(cell) != nullptr && !paints_.DrewImage(cell)) {
                return false;
            }
        }
        return true;
    }

    // A user's click on the status pane's layout arrow: fewer cells with the right one.
    void ClickLayoutArrow(bool fewer)
    {
        CXEVStatusFormView* status = frame->GetStatusPane();
        ASSERT_NE(status, nullptr);
        const QRect slider = status->Slider().geometry();
        const QPoint at =
            fewer ? QPoint(slider.right() + 1 + 20, slider.y() + 12) : QPoint(slider.x() - 24, slider.y() + 12);
        ASSERT_NE(status->HitTestArrows(at), 0);
        Mouse(*status, QEvent::MouseButtonPress, at, Qt::LeftButton, Qt::LeftButton);
        Mouse(*status, QEvent::MouseButtonRelease, at, Qt::LeftButton, Qt::NoButton);
    }

    int32_t Cells() { return Image().ActiveLayout().rows * Image().ActiveLayout().cols; }

    // The paints that count are those from the last step on.
    void Steps(int count, bool fewer)
    {
        for (int k = 0; k < count; ++k) {
            std::vector<const XEVImageViewCtrl*> cells;
            for (const auto* map : {&Image().studyCells, &Image().seriesCells}) {
                for (const auto& [id, cell] : *map) {
                    cells.push_back(cell);
                }
            }
            paints_.Clear(cells);
            ClickLayoutArrow(fewer);
            Wait(300);
        }
        // A busy window applies the last click's step later: what follows looks at its grid.
        ASSERT_TRUE(PumpUntil([this] { return Image().layoutIndex == 8 - frame->GetStatusPane()->Slider().value(); }));
    }

    PaintWatch paints_;

    // From now on: every image the cells in sight were missing is read before anything else,
    // and every cell in sight then paints its own.
    void ExpectTheScreenReadFirstAndPainted(size_t cells)
    {
        // The readers go on while the cells are looked at.
        const long since = Mark();
        const std::set<std::string> missing = Missing();
        const long mark = Mark();
        // The steps come faster than the drive reads (the sanitizers slow the window alone).
        if (!kDiscTestSanitized) {
            ASSERT_FALSE(missing.empty()) << "nothing left to read: the order would hold by construction";
        }
        ASSERT_TRUE(UntilEveryCellShows());
        const std::string order = NothingElseFirst(since, mark, missing);
        EXPECT_TRUE(order.empty()) << order;
        ASSERT_EQ(InSight().size(), cells);
        ExpectEveryCellPainted();
    }

    // Every cell in sight paints its pixels (the images are ramps, bright at one end).
    void ExpectEveryCellPainted()
    {
        for (XEVImageViewCtrl* cell : InSight()) {
            if (Showing(cell) == nullptr) {
                continue;
            }
            ASSERT_NE(cell->CurrentImage(), nullptr) << cell->ControlId();
            EXPECT_TRUE(cell->HasFramePixels(cell->currentFrame)) << cell->ControlId();
            EXPECT_GT(BrightPixels(cell), 0) << cell->ControlId();
        }
    }
};

}   // namespace

// A 20-series study stepped by 11 clicks on the layout arrows 0.3 s apart, 5 x 5 to 1 x 1 to
// 4 x 4, from before its first images are read, at 1.2 MB/s: the first images of the 16 cells
// in sight that were not read yet (those of the cells retired on the way among them) are read
// before any reader begins anything else, and each cell paints its own.
TEST_F(SlowDiscScreenTest, LayoutStepsWhileTheStudyLoadsReadEveryCellInSightFirst)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {20, 8, 512}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe(
        {SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook(), SlowDiscMediumTurnHook()});
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return Cells() == 25; }, kDriveWaitMs));
    Steps(6, true);
    EXPECT_EQ(Cells(), 1);
    Steps(5, false);
    ASSERT_EQ(Cells(), 16);
    Pump();
    ExpectTheScreenReadFirstAndPainted(16);
    if (HasFatalFailure()) {
        return;
    }
    // Each cell shows the first image of the series of its place.
    const std::vector<SeriesInfo*>& series = List().patients.at(0)->studies.at(0)->series;
    for (XEVImageViewCtrl* cell : InSight()) {
        const size_t place = size_t(cell->ControlId() - kXEVFirstStudyCellId);
        ASSERT_LT(place, series.size());
        EXPECT_EQ(cell->CurrentImage(), series[place]->images.front()) << place;
    }
    EXPECT_EQ(SlowDiscGuiReads(), 0) << SlowDiscFirstGuiRead();
    XEVSetMediumProbe({});
}

// A series enlarged from the study and stepped 1 x 1 to 4 x 4 by the layout arrows while it
// loads at 1.2 MB/s: the tiles' images not read yet are read before anything behind the page,
// and every tile paints its own without the pointer passing over it.
TEST_F(SlowDiscScreenTest, AnEnlargedSeriesSteppedToMoreTilesPaintsEveryTile)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {2, 40, 256}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe(
        {SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook(), SlowDiscMediumTurnHook()});
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }, kDriveWaitMs));
    XEVMessageEvent enlarge(WM_XEV_CELL_DBLCLK, XEVWParam(kXEVFirstStudyCellId + 1), 0);
    QCoreApplication::sendEvent(&Image(), &enlarge);
    ASSERT_EQ(Image().activeMode, 1);
    ASSERT_EQ(Cells(), 1);
    Steps(5, false);
    ASSERT_EQ(Cells(), 16);
    Pump();
    ExpectTheScreenReadFirstAndPainted(16);
    if (HasFatalFailure()) {
        return;
    }
    // The tiles show the series' first 16 images, in order.
    const std::vector<ImageInfo*>& images = List().patients.at(0)->studies.at(0)->series.at(1)->images;
    int k = 0;
    for (XEVImageViewCtrl* cell : InSight()) {
        EXPECT_EQ(cell->CurrentImage(), images.at(size_t(k))) << k;
        ++k;
    }
    XEVSetMediumProbe({});
}

// A series in 3 x 3 tiles on a drive at 1.2 MB/s, its pane squeezed to nothing by the splitter
// and paged to its end out of sight: once the pane is back, the tiles' images not read yet are
// read before anything behind them, and every tile paints its own.
TEST_F(SlowDiscScreenTest, TilesBackInSightReadTheirPageFirst)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {1, 100, 256}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe(
        {SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook(), SlowDiscMediumTurnHook()});
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }, kDriveWaitMs));
    Image().ShowSeries(List().patients.at(0)->studies.at(0)->series.at(0));
    ASSERT_EQ(Image().activeMode, 1);
    ASSERT_TRUE(PumpUntil([this] { return InSight().size() == 9 && Missing().empty(); }, kDriveWaitMs));
    CXEVSplitterWnd& splitter = *frame->InnerSplitter();
    const QList<int> widths = splitter.sizes();
    splitter.setSizes({widths[0] + widths[1], 0});
    ASSERT_TRUE(PumpUntil([this] { return InSight().empty(); }));
    // The last page, which the worker reads last.
    Image().OnMessage(WM_XEV_LINKED_HOME_END, 0, -1);
    ASSERT_EQ(Image().pageOffset, 91);
    const long since = Mark();
    std::set<std::string> missing;
    std::vector<const XEVImageViewCtrl*> tiles;
    for (const auto& [id, cell] : Image().ActiveCells()) {
        tiles.push_back(cell);
        if (Showing(cell) != nullptr && !Decoded(Showing(cell))) {
            missing.insert(Showing(cell)->filePath.toStdString());
        }
    }
    if (!kDiscTestSanitized) {
        ASSERT_FALSE(missing.empty()) << "nothing left to read: the order would hold by construction";
    }
    paints_.Clear(tiles);
    const long mark = Mark();
    splitter.setSizes(widths);
    ASSERT_TRUE(PumpUntil([this] { return InSight().size() == 9; }));
    ASSERT_TRUE(UntilEveryCellShows());
    const std::string order = NothingElseFirst(since, mark, missing);
    EXPECT_TRUE(order.empty()) << order;
    ExpectEveryCellPainted();
    std::printf("[ measured ] tiles of the last page not read when the pane came back: %zu of 9\n", missing.size());
    XEVSetMediumProbe({});
}

// The decoded images' budget spent, so that a page lets the images of the rows it leaves go:
// paged back, the first cell in sight takes the keys before its image is there again, and
// becomes the active one once it paints it, so that an arrow steps it.
TEST_F(SlowDiscScreenTest, KeysGivenToACellWhoseImageWentMakeItActiveWhenItComesBack)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {12, 3, 64}));
        RunTestOnSlowDisc({temp_ / "disc", 6e6, 100, 0});
        return;
    }
    const auto settled = [this] {
        return PumpUntil([this] { return !Image().CellsComing() && frame->FirstCellsLoaded(); }, kDriveWaitMs);
    };
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }, kDriveWaitMs));
    Image().ApplyLayout(2);
    ASSERT_TRUE(settled());
    XEVImageViewCtrl* first = InSight().front();
    Image().ActivateCell(first->ControlId());
    first->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(PumpUntil([&] { return CellLoadsFinished(*first); }, kDriveWaitMs));
    XEVSetDecodedBudget(1);
    for (const int key : {Qt::Key_PageDown, Qt::Key_PageUp}) {
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(frame->focusWidget(), &event);
        if (key == Qt::Key_PageDown) {
            ASSERT_TRUE(settled());
        }
    }
    ASSERT_EQ(Image().FirstVisibleRow(), 0);
    const std::vector<XEVImageViewCtrl*> cells = InSight();
    const auto found = std::find(cells.begin(), cells.end(), frame->focusWidget());
    ASSERT_NE(found, cells.end()) << frame->focusWidget();
    XEVImageViewCtrl* keys = *found;
    std::printf("[ measured ] the cell with the keys showed its image as they came: %d\n",
                keys->HasFramePixels(keys->currentFrame) ? 1 : 0);
    EXPECT_TRUE(PumpUntil([&] { return keys->HasFramePixels(keys->currentFrame); }, kDriveWaitMs));
    EXPECT_TRUE(PumpUntil([&] { return keys->active == 1 && Image().GetFirstActiveView() == keys; }));
    XEVSetDecodedBudget(0);
}

// The study's grid paged by PageDown and PageUp: opened with nothing focused, the keys are with a
// cell in sight; from a cell that the page scrolls away, each key pages, the keys stay with a
// cell in sight that is the active one, and an arrow steps it.
TEST_F(SlowDiscScreenTest, PagingKeysKeepACellInSightThatTakesTheNextKey)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {12, 3, 64}));
        RunTestOnSlowDisc({temp_ / "disc", 6e6, 100, 0});
        return;
    }
    const auto press = [this](int key) {
        QWidget* keys = frame->focusWidget();
        ASSERT_NE(keys, nullptr);
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(keys, &event);
        ASSERT_TRUE(PumpUntil([this] { return !Image().CellsComing() && frame->FirstCellsLoaded(); }, kDriveWaitMs));
    };
    const auto keysInSight = [this]() -> XEVImageViewCtrl* {
        const std::vector<XEVImageViewCtrl*> cells = InSight();
        const auto found = std::find(cells.begin(), cells.end(), frame->focusWidget());
        return found == cells.end() ? nullptr : *found;
    };
    // Opened before any click, with nothing in the window focused: the grid gives the keys to
    // a cell in sight, and the first PageDown pages.
    if (QWidget* focused = frame->focusWidget()) {
        focused->clearFocus();
    }
    ASSERT_EQ(frame->focusWidget(), nullptr);
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }, kDriveWaitMs));
    ASSERT_NE(keysInSight(), nullptr);
    // 2 x 2: three pages of rows.
    Image().ApplyLayout(2);
    ASSERT_TRUE(PumpUntil([this] { return !Image().CellsComing() && frame->FirstCellsLoaded(); }, kDriveWaitMs));
    ASSERT_NE(keysInSight(), nullptr);
    press(Qt::Key_PageDown);
    EXPECT_EQ(Image().FirstVisibleRow(), 2);
    press(Qt::Key_PageUp);
    ASSERT_EQ(Image().FirstVisibleRow(), 0);
    XEVImageViewCtrl* first = InSight().front();
    Image().ActivateCell(first->ControlId());
    first->setFocus(Qt::MouseFocusReason);
    ASSERT_EQ(frame->focusWidget(), first);
    for (const auto& [key, row] : std::vector<std::pair<int, int>>{
             {Qt::Key_PageDown, 2}, {Qt::Key_PageDown, 4}, {Qt::Key_PageUp, 2}, {Qt::Key_PageUp, 0}}) {
        press(key);
        EXPECT_EQ(Image().FirstVisibleRow(), row);
        XEVImageViewCtrl* keys = keysInSight();
        ASSERT_NE(keys, nullptr) << row;
        // A cell made by the page becomes the active one once its first image has come.
        EXPECT_TRUE(PumpUntil([&] { return keys->active == 1 && Image().GetFirstActiveView() == keys; }))
            << row << CellStates();
        EXPECT_EQ(keysInSight(), keys) << row;
    }
    // The arrow keys step the cell that has them, through what its loader read.
    XEVImageViewCtrl* keys = keysInSight();
    ASSERT_NE(keys, nullptr);
    // An activation that leaves no active cell in sight (one of a row paged away) goes back to
    // the cell with the keys.
    XEVImageViewCtrl* away = nullptr;
    for (const auto& [id, cell] : Image().ActiveCells()) {
        away = away == nullptr && cell->isHidden() ? cell : away;
    }
    ASSERT_NE(away, nullptr);
    Image().ActivateCell(away->ControlId());
    EXPECT_TRUE(PumpUntil([&] { return keys->active == 1 && Image().GetFirstActiveView() == keys; })) << CellStates();
    ASSERT_TRUE(PumpUntil([&] { return CellLoadsFinished(*keys); }, kDriveWaitMs));
    const int32_t before = keys->currentImage;
    press(Qt::Key_Down);
    EXPECT_TRUE(PumpUntil([&] { return keys->currentImage == before + 1; }, kDriveWaitMs))
        << keys->currentImage << CellStates();
    // The study list's column hidden while the list has the focus: the keys go to a cell in
    // sight, not to the grid around the cells, and PageDown pages.
    List().setFocus(Qt::MouseFocusReason);
    frame->SetFullScreen(true);
    ASSERT_TRUE(PumpUntil([&] { return keysInSight() != nullptr; })) << frame->focusWidget();
    press(Qt::Key_PageDown);
    EXPECT_GT(Image().FirstVisibleRow(), 0);
}
