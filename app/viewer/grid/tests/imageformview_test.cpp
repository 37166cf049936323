// The form view: choosing the grid for a series or a study, loading the cells one at a
// time, paging, scrolling, tools, the memory re-check, enlarging and shutdown.

#include <QElapsedTimer>

#include "testsupport/gridtestsupport.h"

namespace {

int OpenGates(CXEVImageFormView& view)
{
    int open = 0;
    for (auto& [id, cell] : view.studyCells) {
        open += !cell->GetImages().empty() && XEVIsGateOpen(cell) ? 1 : 0;
    }
    return open;
}

int LoadingWithGateOpen(CXEVImageFormView& view)
{
    int n = 0;
    for (auto& [id, cell] : view.studyCells) {
        n += cell->loadingUnderWay.load() != 0 && XEVIsGateOpen(cell) ? 1 : 0;
    }
    return n;
}

}   // namespace

TEST_F(FormViewTest, SeriesGridIsOneByOneForCrAndThreeByThreeOtherwise)
{
    StudyInfo& study = MakeStudy({{"CR", 2, true}, {"MR", 2, true}});
    view->ShowSeries(study.series[0]);
    EXPECT_EQ(view->activeMode, 1);
    EXPECT_EQ(view->seriesLayout.rows * view->seriesLayout.cols, 1);
    EXPECT_EQ(host.LastLayout(), 0);
    view->ShowSeries(study.series[1]);
    EXPECT_EQ(view->seriesLayout.rows, 3);
    EXPECT_EQ(view->seriesLayout.cols, 3);
    EXPECT_EQ(host.LastLayout(), 4);
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 2);
}

TEST_F(FormViewTest, FittedStudySkipsReportsAndTellsTheMainFrame)
{
    StudyInfo& study = MakeStudy(
        {{"CT", 1, true}, {"SR", 1, false}, {"CT", 1, true}, {"CT", 1, true}, {"CT", 1, true}, {"CT", 1, true}});
    view->ShowFitted(&study);
    EXPECT_EQ(view->studyLayout.rows, 2);
    EXPECT_EQ(view->studyLayout.cols, 3);
    ASSERT_FALSE(host.sent.empty());
    EXPECT_EQ(host.sent.back().id, WM_XEV_LAYOUT_CHANGED);
    EXPECT_EQ(host.sent.back().wParam, 3u);
    // Every cell was loaded already: the pre-load goes on and the first cell gets WM_XEV_FIRST_IMAGE.
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
    Pump();
    EXPECT_EQ(view->activeCellId, 9001);
    EXPECT_EQ(Cell(9001).selected, 1);
    EXPECT_EQ(host.studyListRefreshes, 1);
    EXPECT_EQ(Cell(9005).GetImages().begin()->second, study.series[5]->images[0]);
}

TEST_F(FormViewTest, ReportOnlyStudyStartsNoLoaderButStillStartsThePreload)
{
    StudyInfo& study = MakeStudy({{"SR", 1, false}, {"SR", 1, false}});
    view->ShowFitted(&study);
    for (auto& [id, cell] : view->studyCells) {
        EXPECT_TRUE(cell->GetImages().empty());
        EXPECT_TRUE(cell->loader.IsEmpty());
        EXPECT_EQ(cell->loadingUnderWay.load(), 0);
    }
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
}

TEST_F(FormViewTest, CellsLoadOneAtATimeAndThePreloadFollowsOnce)
{
    StudyInfo& study = MakeStudy({{"CT", 6, false}, {"CT", 6, false}, {"CT", 6, false}});
    ShowStarted(study);
    EXPECT_EQ(OpenGates(*view), 1);
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9001)));
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 0);
    int most = 0;
    ASSERT_TRUE(PumpUntil([&] {
        most = std::max(most, LoadingWithGateOpen(*view));
        return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0;
    }));
    Pump();
    EXPECT_LE(most, 1);
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
    for (SeriesInfo* series : study.series) {
        for (ImageInfo* image : series->images) {
            EXPECT_NE(image->GetHelper(), nullptr);
        }
    }
}

TEST_F(FormViewTest, DoneOpensTheNextWaitingCellInIdOrder)
{
    StudyInfo& study = MakeStudy({{"CT", 6, false}, {"CT", 6, false}, {"CT", 6, false}});
    ShowStarted(study);
    // Each cell is ended here by hand, so only the form view's own steps open gates.
    const auto finish = [&](int32_t id) {
        Cell(id).StopLoader();
        Cell(id).loadingUnderWay = 0;
        view->OnMessage(WM_XEV_VIEW_LOAD_DONE, XEVWParam(id), 0);
    };
    finish(9001);
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9002)));
    EXPECT_FALSE(XEVIsGateOpen(&Cell(9003)));
    finish(9002);
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9003)));
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 0);
    finish(9003);
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
}

// A failure leaves the waiting cells their turn. A loader that ended short of memory hands
// the turn on only once the memory re-check finds room again.
TEST_F(FormViewTest, FailureLeavesTheWaitingCellsTheirTurnAndRechecksMemory)
{
    StudyInfo& study = MakeStudy({{"CT", 6, false}, {"CT", 6, false}, {"CT", 6, false}});
    ShowStarted(study);
    GetLoadState().memoryShort = 1;
    XEVSetMemoryTest(&NeverEnoughMemory);
    view->OnMessage(WM_XEV_VIEW_LOAD_FAILED, 9001, XEVLParam(-2));
    for (int32_t id : {9002, 9003}) {
        EXPECT_EQ(Cell(id).loadingUnderWay.load(), 1) << id;
        EXPECT_FALSE(XEVIsGateOpen(&Cell(id))) << id;
    }
    // The re-check found memory still short and armed its timer.
    EXPECT_TRUE(view->RecheckTimer().isActive());
    EXPECT_EQ(view->RecheckTimer().interval(), kXEVRecheckPeriodMs);
    Cell(9001).StopLoader();
    Cell(9001).loadingUnderWay = 0;
    view->OnMessage(WM_XEV_VIEW_LOAD_DONE, 9001, kXEVLoadEndedShortOfMemory);
    EXPECT_FALSE(XEVIsGateOpen(&Cell(9002)));
    XEVSetMemoryTest(&AlwaysEnoughMemory);
    view->OnMessage(WM_XEV_MEMORY_RECHECK, XEVWParam(intptr_t(-1)), 0);
    EXPECT_EQ(GetLoadState().memoryShort.load(), 0);
    EXPECT_FALSE(view->RecheckTimer().isActive());
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9002)));
    EXPECT_FALSE(XEVIsGateOpen(&Cell(9003)));
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 0);
    // With memory to spare, a loader's end for memory hands the turn on at once.
    Cell(9002).StopLoader();
    Cell(9002).loadingUnderWay = 0;
    view->OnMessage(WM_XEV_VIEW_LOAD_DONE, 9002, kXEVLoadEndedShortOfMemory);
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9003)));
}

// The second cell's first file is missing while the first cell's loader is held: the failing
// cell still loads the rest of its series and shows it.
TEST_F(FormViewTest, MissingFirstFileOfAWaitingCellStillLoadsTheRestOfItsSeries)
{
    StudyInfo& study = MakeStudy({{"CT", 4, false}, {"CT", 4, false}});
    study.series[1]->images[0]->SetFilePath(CellFixture("no_such_file.dcm"));
    ShowStarted(study);
    // The first cell's loader is held, as the user's work in another cell would hold it, and
    // goes on once the user is back in that cell.
    Cell(9001).PauseLoader();
    view->ActivateCell(9001);
    XEVImageViewCtrl& cell = Cell(9002);
    ASSERT_TRUE(PumpUntil([&] { return cell.loadingUnderWay.load() == 0 && cell.loadDonePending.load() == 0; }));
    Pump();
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].contains(CellFixture("no_such_file.dcm")));
    for (size_t k = 1; k < 4; ++k) {
        ImageInfo* image = study.series[1]->images[k];
        ASSERT_NE(image->GetHelper(), nullptr) << k;
        EXPECT_TRUE(image->GetHelper()->IsFrameLoaded(0)) << k;
    }
    EXPECT_EQ(cell.currentImage, 1);
    EXPECT_EQ(cell.progressShown.load(), 0);
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
}

TEST_F(FormViewTest, TimerRecheckRetriesUntilMemoryComesBack)
{
    int fired = 0;
    QObject::connect(&view->RecheckTimer(), &QTimer::timeout, [&] { ++fired; });
    GetLoadState().memoryShort = 1;
    XEVSetMemoryTest(&NeverEnoughMemory);
    // Nothing to release, and the test still runs.
    view->OnMessage(WM_XEV_MEMORY_RECHECK, XEVWParam(intptr_t(-1)), 0);
    EXPECT_TRUE(view->RecheckTimer().isActive());
    EXPECT_EQ(GetLoadState().memoryShort.load(), 1);
    // The timer's own re-check keeps it armed while the test fails.
    ASSERT_TRUE(PumpUntil([&] { return fired == 1; }));
    Pump();
    EXPECT_TRUE(view->RecheckTimer().isActive());
    EXPECT_EQ(GetLoadState().memoryShort.load(), 1);
    XEVSetMemoryTest(&AlwaysEnoughMemory);
    ASSERT_TRUE(PumpUntil([&] { return GetLoadState().memoryShort.load() == 0; }));
    Pump();
    EXPECT_EQ(fired, 2);
    EXPECT_FALSE(view->RecheckTimer().isActive());
}

TEST_F(FormViewTest, PagingByRowPageAndToTheEnd)
{
    StudyInfo& study = MakeStudy({{"CT", 20, true}});
    view->ShowSeries(study.series[0]);
    Pump();
    EXPECT_EQ(view->PageStep(0, 0), 1);
    EXPECT_EQ(view->pageOffset, 3);
    EXPECT_EQ(view->PageStep(1, 0), 1);
    EXPECT_EQ(view->pageOffset, 0);
    EXPECT_EQ(view->PageStep(1, 0), 0);
    EXPECT_EQ(view->PageStep(0, 1), 1);
    EXPECT_EQ(view->pageOffset, 9);
    EXPECT_EQ(view->PageStep(0, 1), 1);
    EXPECT_EQ(view->pageOffset, 18);
    EXPECT_EQ(Cell(9501).currentImage, 18);
    EXPECT_EQ(Cell(9502).currentImage, 19);
    EXPECT_TRUE(Cell(9503).GetImages().empty());
    EXPECT_EQ(view->PageStep(0, 1), 0);
    EXPECT_EQ(view->pageOffset, 18);

    view->PageHomeEnd(0);
    EXPECT_EQ(view->pageOffset, 0);
    EXPECT_EQ(Cell(9503).currentImage, 2);
    view->OnMessage(WM_XEV_LINKED_HOME_END, 0, XEVLParam(-1));
    EXPECT_EQ(view->pageOffset, 11);
    EXPECT_EQ(Cell(9501).currentImage, 11);
    EXPECT_EQ(Cell(9509).currentImage, 19);
    // Wheel down pages forward one row, page up one page back.
    view->PageHomeEnd(0);
    view->OnMessage(WM_XEV_LINKED_STEP, 0, XEVLParam(-120));
    EXPECT_EQ(view->pageOffset, 3);
    view->OnMessage(WM_XEV_LINKED_PAGE, 0, 1);
    EXPECT_EQ(view->pageOffset, 0);
    // A cell that stepped on its own takes the page with it and keeps its image.
    Cell(9505).GoToImage(10);
    view->OnMessage(WM_XEV_LINKED_MOVED, 9505, 0);
    EXPECT_EQ(view->pageOffset, 6);
    EXPECT_EQ(Cell(9501).currentImage, 6);
    EXPECT_EQ(Cell(9505).currentImage, 10);
}

TEST_F(FormViewTest, EnlargedSelectedCellStepsInsteadOfPaging)
{
    StudyInfo& study = MakeStudy({{"CT", 20, true}});
    view->ShowSeries(study.series[0]);
    Pump();
    view->ActivateCell(9502);
    view->SelectCell(9502);
    view->EnlargeSelected(true);
    EXPECT_EQ(view->PageStep(0, 1), 1);
    EXPECT_EQ(view->pageOffset, 0);
    EXPECT_EQ(Cell(9502).currentImage, 2);
    view->EnlargeSelected(false);
    EXPECT_EQ(view->selectedEnlarged, 0);
}

// A page answers before its frames are read: an image that cannot be loaded leaves only its own
// cell without pixels, wherever it stands on the page, and the rest of the page fills.
TEST_F(FormViewTest, UnloadablePageImageLeavesOnlyItsCellEmpty)
{
    StudyInfo& study = MakeStudy({{"CT", 20, true}, {"CT", 20, true}});
    // Image 9 opens the second page of the first series; image 12 lies inside it in the
    // second.
    const auto spoil = [](ImageInfo* image) {
        image->FreeHelper();
        image->SetFilePath(CellFixture("not_dicom.dcm"));
    };
    spoil(study.series[0]->images[9]);
    spoil(study.series[1]->images[12]);
    const auto filled = [&](int spoilt) {
        for (int k = 0; k < 9; ++k) {
            XEVImageViewCtrl& cell = Cell(9501 + k);
            if (k != spoilt && !cell.HasFramePixels(cell.currentFrame)) {
                return false;
            }
        }
        return true;
    };
    for (int s = 0; s < 2; ++s) {
        view->ShowSeries(study.series[size_t(s)]);
        Pump();
        EXPECT_EQ(view->PageStep(0, 1), 1);
        EXPECT_EQ(view->pageOffset, 9);
        const int spoilt = s == 0 ? 0 : 3;
        EXPECT_TRUE(PumpUntil([&] { return filled(spoilt); })) << s;
        for (int k = 0; k < 9; ++k) {
            EXPECT_EQ(Cell(9501 + k).currentImage, 9 + k) << s << " " << k;
        }
        EXPECT_FALSE(Cell(9501 + spoilt).HasFramePixels(Cell(9501 + spoilt).currentFrame)) << s;
    }
}

TEST_F(FormViewTest, ScrollRangeOnlyWhenRowsDoNotFit)
{
    StudyInfo& small = MakeStudy({{"CT", 1, true}, {"CT", 1, true}, {"CT", 1, true}, {"CT", 1, true}});
    view->ShowFitted(&small);
    EXPECT_EQ(view->ScrollHeight(), 0);
    EXPECT_TRUE(view->ScrollBar().isHidden());

    std::vector<SeriesRecipe> many(50, SeriesRecipe{"CT", 1, true});
    StudyInfo& large = MakeStudy(many);
    view->ShowFitted(&large);
    EXPECT_EQ(view->studyLayout.rows, 6);
    EXPECT_EQ(view->studyLayout.GetRowsNeeded(), 9);
    const int rowHeight = view->height() / 6;
    EXPECT_EQ(view->ScrollHeight(), 3 * rowHeight + view->height());
    EXPECT_FALSE(view->ScrollBar().isHidden());
    // Cells for the rows shown and one below, not for all nine.
    EXPECT_EQ(view->studyCells.size(), 42u);

    view->ScrollTo(2 * rowHeight + 5);
    EXPECT_EQ(view->FirstVisibleRow(), 2);
    EXPECT_EQ(Cell(9013).geometry().top(), 0);
    EXPECT_LT(Cell(9007).geometry().bottom(), 0);
    // The row above that goes; the last row comes, and gets its series once the scroll rests.
    EXPECT_EQ(view->GetCell(9001), nullptr);
    EXPECT_EQ(view->studyCells.size(), 48u);
    EXPECT_TRUE(Cell(9050).GetImages().empty());
    ASSERT_TRUE(PumpUntil([&] { return !Cell(9050).GetImages().empty(); }));
    EXPECT_EQ(Cell(9050).GetImages().begin()->second, large.series[49]->images[0]);
    // A new layout starts at the top again.
    view->ApplyLayout(7);
    EXPECT_EQ(view->FirstVisibleRow(), 0);
    EXPECT_EQ(Cell(9001).geometry().top(), 0);
}

TEST_F(FormViewTest, ToolsToggleAndCineDropsTheAnnotationTools)
{
    view->OnMessage(WM_XEV_TOOL_TEXT, 0, 0);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 16);
    view->OnMessage(WM_XEV_TOOL_TEXT, 0, 0);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
    view->OnMessage(WM_XEV_TOOL_ZOOM, 0, 0);
    view->SetCinePlaying(1);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 2);
    for (uint32_t id = WM_XEV_TOOL_MEASURE; id <= WM_XEV_TOOL_PIXELVALUE; ++id) {
        view->OnMessage(id, 0, 0);
        EXPECT_EQ(GetLoadState().mouseTool.load(), 2) << id;
    }
    view->SetCinePlaying(0);
    view->OnMessage(WM_XEV_TOOL_MEASURE, 0, 0);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 8);
    view->SetCinePlaying(1);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
    EXPECT_EQ(host.toolButtons, (std::vector<int32_t>{16, 0, 2, 8, 0}));
    // Right button in a cell drops the tool too.
    view->OnMessage(WM_XEV_TOOL_PAN, 0, 0);
    view->OnMessage(WM_XEV_CELL_RBUTTON, 9001, 0);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
}

TEST_F(FormViewTest, DoubleClickEnlargesTheCellsSeriesAndGoesBack)
{
    StudyInfo& study = MakeStudy({{"CT", 10, true}, {"CT", 1, true}, {"CT", 1, true}});
    view->ShowFitted(&study);
    Pump();
    ASSERT_EQ(view->studyLayout.tableIndex, 2);
    // An empty cell is ignored.
    const size_t told = host.sent.size();
    view->OnMessage(WM_XEV_CELL_DBLCLK, 9004, 0);
    EXPECT_EQ(view->activeMode, 0);
    EXPECT_EQ(host.sent.size(), told);

    Cell(9001).GoToImage(4);
    view->OnMessage(WM_XEV_CELL_DBLCLK, 9001, 0);
    EXPECT_EQ(view->activeMode, 1);
    EXPECT_EQ(view->seriesLayout.rows * view->seriesLayout.cols, 1);
    EXPECT_EQ(host.LastLayout(), 0);
    EXPECT_EQ(Cell(9501).currentImage, 4);
    EXPECT_FALSE(Cell(9501).isHidden());

    view->OnMessage(WM_XEV_CELL_DBLCLK, 9501, 0);
    EXPECT_EQ(view->activeMode, 0);
    EXPECT_EQ(view->studyLayout.rows, 2);
    EXPECT_EQ(view->studyLayout.cols, 2);
    EXPECT_EQ(host.LastLayout(), 2);
    // The cell keeps the image the tile showed and is the active one.
    EXPECT_EQ(Cell(9001).currentImage, 4);
    EXPECT_EQ(view->GetFirstActiveView(), &Cell(9001));
    EXPECT_TRUE(view->seriesCells.at(9501)->isHidden());
}

TEST_F(FormViewTest, ThreadUiDestroyEndsTheJobHostOnce)
{
    ASSERT_TRUE(GetLoadState().GetLoaderWindow().IsAlive());
    view->OnMessage(WM_XEV_THREADUI_DESTROY, 0, 0);
    EXPECT_TRUE(view->JobHost().isFinished());
    EXPECT_FALSE(GetLoadState().GetLoaderWindow().IsAlive());
    QElapsedTimer timer;
    timer.start();
    view->OnMessage(WM_XEV_THREADUI_DESTROY, 0, 0);
    if (kHangCeilings) {
        EXPECT_LT(timer.elapsed(), kQuickStepCeilingMs);
    }
    // Showing a study without the host neither blocks nor crashes.
    StudyInfo& study = MakeStudy({{"CT", 2, true}});
    view->ShowFitted(&study);
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
}

TEST_F(FormViewTest, ActivatedCellLoadsFirstAndTheOthersWait)
{
    StudyInfo& study =
        MakeStudy({{"CT", 40, false, "quad16.dcm"}, {"CT", 40, false, "quad16.dcm"}, {"CT", 40, false, "quad16.dcm"}});
    view->ShowFitted(&study);
    // The first images arrive; the first cell becomes the active one.
    ASSERT_TRUE(PumpUntil([&] { return Cell(9003).currentImage == 0 && view->activeCellId == 9001; }));
    view->ActivateCell(9003);
    EXPECT_EQ(view->activeCellId, 9003);
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9003)));
    // Every other cell still loading now was held at its gate.
    for (int32_t id : {9001, 9002}) {
        if (Cell(id).loadingUnderWay.load() != 0) {
            EXPECT_FALSE(XEVIsGateOpen(&Cell(id))) << id;
        }
    }
    // Everything still loads in the end, and the pre-load is started once.
    ASSERT_TRUE(PumpUntil([&] {
        for (int32_t id : {9001, 9002, 9003}) {
            if (Cell(id).loadingUnderWay.load() != 0 || Cell(id).NeedsLoading()) {
                return false;
            }
        }
        return host.Posted(WM_XEV_PRELOAD_CONTROL) != 0;
    }));
    Pump();
    EXPECT_EQ(host.Posted(WM_XEV_PRELOAD_CONTROL), 1);
}

// A smaller layout retires the cell whose loader has just ended, its end still on its way:
// the turn goes to a cell that stays, once, whether or not that end comes after all.
TEST_F(FormViewTest, ACellRetiredWithItsEndOnTheWayHandsTheTurnOn)
{
    StudyInfo& study = MakeStudy(std::vector<SeriesRecipe>(12, SeriesRecipe{"CT", 6, false}));
    ShowStarted(study);
    ASSERT_TRUE(PumpUntil([&] { return view->activeCellId == 9001; }));
    Pump();
    // The loaders are held by hand: the first two cells wait for their turn, the last has
    // just ended.
    for (auto& [id, cell] : view->studyCells) {
        cell->StopLoader();
        cell->loadingUnderWay = 0;
        cell->loadDonePending = 0;
    }
    Cell(9001).QueueLoader();
    Cell(9002).QueueLoader();
    Cell(9012).loadDonePending = 1;
    view->ApplyLayout(0);
    ASSERT_EQ(view->GetCell(9012), nullptr);
    // A gate stays open once its loader has ended, which the one let go may do at once.
    EXPECT_TRUE(XEVIsGateOpen(&Cell(9001))) << "the cell in sight goes first";
    EXPECT_FALSE(XEVIsGateOpen(&Cell(9002)));
    // The retired cell's end comes after all: no second turn.
    view->OnMessage(WM_XEV_VIEW_LOAD_DONE, XEVWParam(9012), 0);
    EXPECT_FALSE(XEVIsGateOpen(&Cell(9002)));
}

TEST_F(FormViewTest, LargerSeriesLayoutContinuesFromTheFirstCell)
{
    StudyInfo& study = MakeStudy({{"CT", 12, true}});
    view->ShowSeries(study.series[0]);
    Pump();
    view->ApplyLayout(5);
    EXPECT_EQ(view->seriesCells.size(), 16u);
    EXPECT_EQ(host.LastLayout(), 4);
    for (int k = 0; k < 16; ++k) {
        XEVImageViewCtrl& cell = Cell(9501 + k);
        if (k < 12) {
            EXPECT_EQ(cell.currentImage, k) << k;
            EXPECT_EQ(cell.tileMode, 1) << k;
        } else {
            EXPECT_TRUE(cell.GetImages().empty()) << k;
        }
        EXPECT_EQ(cell.geometry().width(), (900 / 4) + (k % 4 < 900 % 4 ? 1 : 0)) << k;
    }
}

TEST_F(FormViewTest, GrabShowsEachSeriesInItsCellOnBlack)
{
    StudyInfo& study = MakeStudy({{"CT", 1, true, "square.dcm"}, {"CT", 1, true, "square.dcm"}});
    view->resize(901, 600);
    view->ShowFitted(&study);
    Pump();
    ASSERT_EQ(view->studyLayout.cols, 2);
    const QImage shot = Grab(*view);
    // Both cells show the bright square at their middle; the odd pixel goes to the first column.
    EXPECT_EQ(Cell(9001).geometry(), QRect(0, 0, 451, 600));
    EXPECT_EQ(Cell(9002).geometry(), QRect(451, 0, 450, 600));
    EXPECT_GT(Gray(shot, 225, 300), 128);
    EXPECT_GT(Gray(shot, 676, 300), 128);
    EXPECT_TRUE(IsColour(shot, 5, 5, 0, 0, 0));
}
