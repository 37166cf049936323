// A study of more series than the screen holds: the cells' loaders wait, without holding the
// window, for the worker to read the first images of the cells on screen only; one cell loader
// holds a thread at a time while the others wait their turn without one, and cells out of
// sight stay hidden.

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "testsupport/discmeter.h"
#include "testsupport/gridtestsupport.h"

namespace {

// Stands in for the job host: records what the grid queues and the notices it
// asks for, and decodes nothing, so the cells' own loaders do all the work. Answer posts the
// notices as the worker would once idle.
class LoaderWindowRecorder : public XEVMessageReceiver {
public:
    LoaderWindowRecorder()
    {
        SetHandler(WM_XEV_LOADER_QUEUE, [this](XEVWParam w, XEVLParam l) {
            if (w == 2) {
                // A frame a paint asked for: the window takes requests over.
                delete reinterpret_cast<XEVFrameRequest*>(l);
            } else {
                queued.push_back(reinterpret_cast<ImageInfo*>(l));
            }
            return XEVResult(0);
        });
        SetHandler(WM_XEV_LOADER_WHEN_IDLE, [this](XEVWParam, XEVLParam l) {
            notices.push_back(*std::unique_ptr<XEVIdleNotice>(reinterpret_cast<XEVIdleNotice*>(l)));
            return XEVResult(0);
        });
    }
    void Answer(size_t k) { XEVPostMessage(notices.at(k).notify, notices.at(k).id, notices.at(k).wParam); }
    std::vector<ImageInfo*> queued;
    std::vector<XEVIdleNotice> notices;
};

int CellsHoldingThreads(CXEVImageFormView& view)
{
    int n = 0;
    for (auto& [id, cell] : view.studyCells) {
        n += cell->loader.IsEmpty() ? 0 : 1;
    }
    return n;
}

// Runs the queue until what was posted to this thread before has been handled.
bool PumpPastPosted(QObject* context)
{
    bool reached = false;
    QMetaObject::invokeMethod(
        context, [&reached] { reached = true; }, Qt::QueuedConnection);
    return PumpUntil([&reached] { return reached; });
}

}   // namespace

TEST_F(FormViewTest, ManySeriesAwaitOnlyTheScreenAndHoldOneLoaderThread)
{
    constexpr size_t kSeries = 44;
    StudyInfo& study = MakeStudy(std::vector<SeriesRecipe>(kSeries, SeriesRecipe{"CT", 2, false}));
    LoaderWindowRecorder recorder;
    GetLoadState().SetLoaderWindow(recorder.Handle());
    HoldQtPoolThreads();
    const int idle = ProcessThreadCount();
    // Only the notice starts them here.
    view->firstImagesWaitMs = kNoCeilingWaitMs;
    view->ShowFitted(&study);

    // 6 x 6 on screen, 8 rows in all: cells for the rows shown and the one below.
    ASSERT_EQ(view->studyLayout.rows * view->studyLayout.cols, 36);
    ASSERT_EQ(view->studyCells.size(), 42u);
    constexpr int32_t kCells = 42;
    std::vector<ImageInfo*> onScreen;
    for (size_t k = 0; k < 36; ++k) {
        onScreen.push_back(study.series[k]->images[0]);
    }
    EXPECT_EQ(recorder.queued, onScreen);
    // The window was not held for the worker: the loaders start on its notice.
    ASSERT_TRUE(PumpUntil([&] { return recorder.notices.size() == 1; }));
    EXPECT_TRUE(view->StudyStartPending());
    EXPECT_EQ(CellsHoldingThreads(*view), 0);
    // The first cell's loader stops at its second image until the turns are looked at.
    std::unique_lock<PlatRecursiveLock> holdFirst(study.series[0]->images[1]->GetLock());
    recorder.Answer(0);
    GetLoadState().SetLoaderWindow(view->JobHost().Window());
    ASSERT_TRUE(PumpUntil([&] { return !view->StudyStartPending(); }));

    EXPECT_EQ(CellsHoldingThreads(*view), 1);
    EXPECT_FALSE(Cell(kXEVFirstStudyCellId).IsLoaderQueued());
    for (int32_t id = kXEVFirstStudyCellId + 1; id < kXEVFirstStudyCellId + kCells; ++id) {
        EXPECT_TRUE(Cell(id).IsLoaderQueued()) << id;
        EXPECT_EQ(Cell(id).loadingUnderWay.load(), 1) << id;
        EXPECT_EQ(Cell(id).isHidden(), id >= kXEVFirstStudyCellId + 36) << id;
    }
    // Out of sight, a cell shows no progress: nothing was queued for it.
    EXPECT_EQ(Cell(kXEVFirstStudyCellId + 40).progressTotal.load(), 0);
    holdFirst.unlock();

    int mostCells = 0;
    int mostThreads = 0;
    ASSERT_TRUE(PumpUntil(
        [&] {
            mostCells = std::max(mostCells, CellsHoldingThreads(*view));
            mostThreads = std::max(mostThreads, ProcessThreadCount());
            return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0;
        },
        30000));
    Pump();
    // The loader that ended is joined before the next one starts; besides it only the job
    // worker may run, decoding a frame a paint asked for.
    EXPECT_EQ(mostCells, 1);
    EXPECT_LE(mostThreads, idle + 2);
    EXPECT_EQ(CellsHoldingThreads(*view), 0);
    // The series of the last row have no cell yet, and nothing decoded them.
    for (size_t k = 0; k < kSeries; ++k) {
        for (ImageInfo* image : study.series[k]->images) {
            if (k < size_t(kCells)) {
                ASSERT_NE(image->GetHelper(), nullptr) << k;
                EXPECT_TRUE(image->GetHelper()->IsFrameLoaded(-1)) << k;
            } else {
                EXPECT_EQ(image->GetHelper(), nullptr) << k;
            }
        }
    }
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);

    // Scrolled to the last row: its cells come with their loaders, one at a time, and the
    // first row's cells go.
    view->ScrollTo(view->ScrollBar().maximum());
    EXPECT_EQ(view->FirstVisibleRow(), 2);
    EXPECT_EQ(view->GetCell(kXEVFirstStudyCellId), nullptr);
    EXPECT_EQ(view->studyCells.size(), 42u);
    mostCells = 0;
    ASSERT_TRUE(PumpUntil(
        [&] {
            mostCells = std::max(mostCells, CellsHoldingThreads(*view));
            return host.Posted(WM_XEV_PRELOAD_CONTROL) == 2;
        },
        30000));
    EXPECT_LE(mostCells, 1);
    for (size_t k = size_t(kCells); k < kSeries; ++k) {
        XEVImageViewCtrl& cell = Cell(kXEVFirstStudyCellId + int32_t(k));
        EXPECT_EQ(cell.GetImages().begin()->second, study.series[k]->images[0]) << k;
        for (ImageInfo* image : study.series[k]->images) {
            ASSERT_NE(image->GetHelper(), nullptr) << k;
            EXPECT_TRUE(image->GetHelper()->IsFrameLoaded(-1)) << k;
        }
    }
}

TEST_F(FormViewTest, ActivatingAWaitingCellStartsItsLoaderFirst)
{
    StudyInfo& study = MakeStudy({{"CT", 40, false}, {"CT", 40, false}, {"CT", 40, false}});
    // The first cell's loader stops at its second image until released, so the third cell is
    // still waiting its turn when it is activated, however fast the loads run.
    std::unique_lock<PlatRecursiveLock> holdFirst(study.series[0]->images[1]->GetLock());
    ShowStarted(study);
    XEVImageViewCtrl& third = Cell(kXEVFirstStudyCellId + 2);
    ASSERT_TRUE(third.IsLoaderQueued());
    // A cell is activated once it shows its first image, and the first cell's first image
    // activates that cell: both come before the user's choice.
    ASSERT_TRUE(PumpUntil([&] {
        return third.HasFramePixels(0) && Cell(kXEVFirstStudyCellId).HasFramePixels(0) &&
               view->activeCellId == kXEVFirstStudyCellId;
    }));
    Pump();
    ASSERT_TRUE(third.IsLoaderQueued());
    view->ActivateCell(third.ControlId());
    EXPECT_FALSE(third.IsLoaderQueued());
    EXPECT_FALSE(third.loader.IsEmpty());
    EXPECT_TRUE(XEVIsGateOpen(&third));
    for (int32_t id : {kXEVFirstStudyCellId, kXEVFirstStudyCellId + 1}) {
        EXPECT_FALSE(Cell(id).loadingUnderWay.load() != 0 && XEVIsGateOpen(&Cell(id))) << id;
    }
    // The third cell's loader runs alone while the first one stays held.
    ASSERT_TRUE(PumpUntil([&] { return third.loadingUnderWay.load() == 0; }, 30000));
    for (ImageInfo* image : study.series[2]->images) {
        ASSERT_NE(image->GetHelper(), nullptr);
        EXPECT_TRUE(image->GetHelper()->IsFrameLoaded(-1));
    }
    holdFirst.unlock();
    ASSERT_TRUE(PumpUntil([&] { return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0; }, 30000));
    for (SeriesInfo* series : study.series) {
        for (ImageInfo* image : series->images) {
            EXPECT_NE(image->GetHelper(), nullptr);
        }
    }
}

// The start that waits for the first images is no pointer into the grid: a scroll retires
// cells meanwhile, a newer study replaces it and a stop drops it; only the notice of the
// latest arrangement starts a loader.
TEST_F(FormViewTest, AStartWaitingForItsFirstImagesOutlivesAScrollAndGivesWayToNewerOnes)
{
    StudyInfo& many = MakeStudy(std::vector<SeriesRecipe>(44, SeriesRecipe{"CT", 2, false}));
    StudyInfo& one = MakeStudy({{"CT", 3, false}, {"CT", 3, false}});
    StudyInfo& two = MakeStudy({{"MR", 3, false}});
    const XEVWindowHandle jobHost = view->JobHost().Window();
    LoaderWindowRecorder recorder;
    GetLoadState().SetLoaderWindow(recorder.Handle());
    view->firstImagesWaitMs = kNoCeilingWaitMs;
    view->ShowFitted(&many);
    ASSERT_TRUE(PumpUntil([&] { return recorder.notices.size() == 1; }));
    // Scrolled to the end while waiting: the first row's cells go, the new ones wait too.
    view->ScrollTo(view->ScrollBar().maximum());
    ASSERT_TRUE(PumpUntil([&] { return !view->CellsComing(); }));
    EXPECT_EQ(view->GetCell(kXEVFirstStudyCellId), nullptr);
    EXPECT_TRUE(view->StudyStartPending());
    EXPECT_EQ(CellsHoldingThreads(*view), 0);
    GetLoadState().SetLoaderWindow(jobHost);
    recorder.Answer(0);
    ASSERT_TRUE(PumpUntilLoaded(*view));
    // The cells in place then read their series; the rows scrolled away read nothing.
    for (size_t k = 0; k < many.series.size(); ++k) {
        const bool placed = view->GetCell(kXEVFirstStudyCellId + int32_t(k)) != nullptr;
        for (ImageInfo* image : many.series[k]->images) {
            EXPECT_EQ(image->GetHelper() != nullptr, placed) << k;
        }
    }

    // A newer study: the older notice starts nothing, the newer one starts its loader.
    GetLoadState().SetLoaderWindow(recorder.Handle());
    view->ShowFitted(&one);
    view->ShowFitted(&two);
    ASSERT_TRUE(PumpUntil([&] { return recorder.notices.size() == 3; }));
    recorder.Answer(1);
    ASSERT_TRUE(PumpPastPosted(view.get()));
    EXPECT_TRUE(view->StudyStartPending());
    EXPECT_EQ(CellsHoldingThreads(*view), 0);
    GetLoadState().SetLoaderWindow(jobHost);
    recorder.Answer(2);
    ASSERT_TRUE(PumpUntilLoaded(*view));
    EXPECT_EQ(Cell(kXEVFirstStudyCellId).GetImages().begin()->second, two.series[0]->images[0]);
    for (ImageInfo* image : two.series[0]->images) {
        EXPECT_NE(image->GetHelper(), nullptr);
    }
    for (SeriesInfo* series : one.series) {
        for (ImageInfo* image : series->images) {
            EXPECT_EQ(image->GetHelper(), nullptr);
        }
    }

    // A stop drops the start: its notice starts no loader and no pre-load.
    GetLoadState().SetLoaderWindow(recorder.Handle());
    view->ShowFitted(&one);
    ASSERT_TRUE(PumpUntil([&] { return recorder.notices.size() == 4; }));
    const int preloads = host.Posted(WM_XEV_PRELOAD_CONTROL);
    view->StopLoading();
    EXPECT_FALSE(view->StudyStartPending());
    GetLoadState().SetLoaderWindow(jobHost);
    recorder.Answer(3);
    ASSERT_TRUE(PumpPastPosted(view.get()));
    EXPECT_EQ(CellsHoldingThreads(*view), 0);
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), preloads);
}

// The bound: a worker that never tells still lets the loaders start.
TEST_F(FormViewTest, LoadersStartWhenTheFirstImagesWaitRunsOut)
{
    StudyInfo& study = MakeStudy({{"CT", 3, false}, {"CT", 3, false}});
    LoaderWindowRecorder recorder;
    GetLoadState().SetLoaderWindow(recorder.Handle());
    view->firstImagesWaitMs = 1;
    view->ShowFitted(&study);
    ASSERT_TRUE(PumpUntil([&] { return !view->StudyStartPending(); }));
    GetLoadState().SetLoaderWindow(view->JobHost().Window());
    EXPECT_EQ(recorder.notices.size(), 1u);
    ASSERT_TRUE(PumpUntil([&] { return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0; }));
    for (SeriesInfo* series : study.series) {
        for (ImageInfo* image : series->images) {
            ASSERT_NE(image->GetHelper(), nullptr);
            EXPECT_TRUE(image->GetHelper()->IsFrameLoaded(-1));
        }
    }
}
