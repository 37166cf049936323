// A study of more series than the screen holds: the grid waits a bounded time for the first
// images of the cells on screen only, one cell loader holds a thread at a time while the
// others wait their turn without one, and cells out of sight stay hidden.

#include <algorithm>
#include <mutex>
#include <optional>
#include <vector>

#include "testsupport/discmeter.h"
#include "testsupport/gridtestsupport.h"

namespace {

// Stands in for the job host: records what the grid queues and how long it would wait, and
// decodes nothing, so the cells' own loaders do all the work.
class LoaderWindowRecorder : public XEVMessageReceiver {
public:
    LoaderWindowRecorder()
    {
        SetHandler(WM_XEV_LOADER_QUEUE, [this](XEVWParam, XEVLParam l) {
            queued.push_back(reinterpret_cast<ImageInfo*>(l));
            return XEVResult(0);
        });
        SetHandler(WM_XEV_LOADER_JOIN, [this](XEVWParam w, XEVLParam) {
            joins.push_back(w);
            return XEVResult(1);
        });
    }
    std::vector<ImageInfo*> queued;
    std::vector<XEVWParam> joins;
};

int CellsHoldingThreads(CXEVImageFormView& view)
{
    int n = 0;
    for (auto& [id, cell] : view.studyCells) {
        n += cell->loader.IsEmpty() ? 0 : 1;
    }
    return n;
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
    view->ShowFitted(&study);
    GetLoadState().SetLoaderWindow(view->JobHost().Window());

    // 6 x 6 on screen, 8 rows in all: cells for the rows shown and the one below.
    ASSERT_EQ(view->studyLayout.rows * view->studyLayout.cols, 36);
    ASSERT_EQ(view->studyCells.size(), 42u);
    constexpr int32_t kCells = 42;
    std::vector<ImageInfo*> onScreen;
    for (size_t k = 0; k < 36; ++k) {
        onScreen.push_back(study.series[k]->images[0]);
    }
    EXPECT_EQ(recorder.queued, onScreen);
    ASSERT_EQ(recorder.joins.size(), 1u);
    EXPECT_GT(recorder.joins[0], 0u);
    EXPECT_LE(recorder.joins[0], 1000u);

    EXPECT_EQ(CellsHoldingThreads(*view), 1);
    EXPECT_FALSE(Cell(kXEVFirstStudyCellId).IsLoaderQueued());
    for (int32_t id = kXEVFirstStudyCellId + 1; id < kXEVFirstStudyCellId + kCells; ++id) {
        EXPECT_TRUE(Cell(id).IsLoaderQueued()) << id;
        EXPECT_EQ(Cell(id).loadingUnderWay.load(), 1) << id;
        EXPECT_EQ(Cell(id).isHidden(), id >= kXEVFirstStudyCellId + 36) << id;
    }
    // Out of sight, a cell shows no progress: nothing was queued for it.
    EXPECT_EQ(Cell(kXEVFirstStudyCellId + 40).progressTotal.load(), 0);

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
    std::optional<std::lock_guard<PlatRecursiveLock>> holdFirst(std::in_place, study.series[0]->images[1]->GetLock());
    view->ShowFitted(&study);
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
    holdFirst.reset();
    ASSERT_TRUE(PumpUntil([&] { return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0; }, 30000));
    for (SeriesInfo* series : study.series) {
        for (ImageInfo* image : series->images) {
            EXPECT_NE(image->GetHelper(), nullptr);
        }
    }
}
