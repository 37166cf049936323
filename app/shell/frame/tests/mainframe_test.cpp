
#include <atomic>
#include <chrono>
#include <thread>

#include "frametestsupport.h"

namespace {

int RowHeight(CMainFrame& frame, int row)
{
    return frame.OuterSplitter()->widget(row)->height();
}

class PreloadList : public XEVStudyListAccess, public XEVPreloadView {
public:
    QString GetCurrentKey() const override { return QStringLiteral("key"); }
    StudyInfo* FindStudy(const QString&) override { return nullptr; }
    void ShowEntries() override { ++shown; }
    XEVPreloadView* GetPreloadView() override { return this; }
    const std::vector<PatientInfo*>& GetPreloadPatients() const override { return patients; }
    // The study shown and one beside it, of a file the pre-load would read.
    PreloadList()
    {
        patients.push_back(new PatientInfo);
        for (int k = 0; k < 2; ++k) {
            auto* study = new StudyInfo;
            auto* series = new SeriesInfo;
            auto* image = new ImageInfo;
            image->filePath = QStringLiteral("/nonexistent/preload/%1").arg(k);
            series->images.push_back(image);
            study->series.push_back(series);
            patients[0]->studies.push_back(study);
        }
    }
    ~PreloadList() override
    {
        StopPreloadOf(this);
        for (PatientInfo* patient : patients) {
            delete patient;
        }
    }
    // Asked once for each pre-load started.
    StudyInfo* GetCurrentStudy() const override
    {
        ++walked;
        return patients[0]->studies[0];
    }
    StudyInfo* GetLastSeriesStudy() const override { return nullptr; }

    std::vector<PatientInfo*> patients;
    mutable int walked = 0;
    int shown = 0;
};

}   // namespace

TEST_F(FrameTest, PanesTakeTheFixedRowsAndTheListColumn)
{
    MakeFrame();
    ASSERT_EQ(frame->centralWidget(), frame->OuterSplitter());
    // The build tree is not on an optical disc.
    EXPECT_EQ(frame->ProgramOnCdRom(), 0);
    EXPECT_EQ(RowHeight(*frame, 0), 93);
    EXPECT_EQ(RowHeight(*frame, 2), 43);
    EXPECT_EQ(frame->GetListView()->width(), 332);
    // The middle row takes the rest, less the two one-pixel handles.
    EXPECT_EQ(RowHeight(*frame, 1), 1024 - 136 - 2);
    EXPECT_EQ(frame->GetListView()->width() + frame->InnerSplitter()->handleWidth() + Image().width(), 1280);

    // Growing and shrinking the window keeps the fixed rows and the column.
    frame->resize(1100, 800);
    Pump();
    EXPECT_EQ(RowHeight(*frame, 0), 93);
    EXPECT_EQ(RowHeight(*frame, 2), 43);
    EXPECT_EQ(frame->GetListView()->width(), 332);

    // Too small for the fixed rows: the rows stay as they are.
    frame->resize(400, 120);
    Pump();
    frame->OuterSplitter()->setSizes({70, 10, 36});
    const QList<int> small = frame->OuterSplitter()->sizes();
    ASSERT_LE(small[0] + small[1] + small[2], 136);
    frame->LayoutRows();
    EXPECT_EQ(frame->OuterSplitter()->sizes(), small);
}

TEST_F(FrameTest, DoubleClickOnTheColumnHandleRestoresTheListWidth)
{
    MakeFrame();
    frame->InnerSplitter()->setSizes({150, 1129});
    Pump();
    ASSERT_EQ(frame->GetListView()->width(), 150);
    // The splitter notifies the frame by posting.
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(0, 5), QPointF(0, 5), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    frame->InnerSplitter()->OnHandleDoubleClick(1, &click);
    Pump();
    EXPECT_EQ(frame->GetListView()->width(), 332);
}

TEST_F(FrameTest, FullScreenHidesTheListAndRestoresShowStateAndWidth)
{
    MakeFrame();
    frame->InnerSplitter()->setSizes({300, 979});
    Pump();
    frame->SetFullScreen(true);
    Pump();
    EXPECT_TRUE(frame->isMaximized());
    EXPECT_EQ(frame->SavedShowState(), 1);
    EXPECT_TRUE(frame->GetListView()->isHidden());
    frame->SetFullScreen(false);
    Pump();
    EXPECT_FALSE(frame->isMaximized());
    EXPECT_FALSE(frame->GetListView()->isHidden());
    EXPECT_EQ(frame->GetListView()->width(), 300);
}

TEST_F(FrameTest, SliderPositionsChooseTheLayoutAndTheImageAreaMovesTheSlider)
{
    MakeFrame();
    // The start-up layout reaches both panes.
    EXPECT_EQ(Image().layoutIndex, 2);
    EXPECT_EQ(Status().Position(), 6);

    Status().Slider().setValue(3);
    Pump();
    EXPECT_EQ(Image().layoutIndex, 5);
    const XEVLayoutEntry& entry = LayoutTable[5];
    EXPECT_EQ(int(Image().ActiveCells().size()), entry.rows * entry.cols);

    // The image area changing the layout itself moves the slider.
    StudyInfo& study = MakeStudy({{"CT", 12, true}});
    Image().ShowSeries(study.series[0]);
    Pump();
    ASSERT_EQ(Image().layoutIndex, 4);
    EXPECT_EQ(Status().Slider().value(), 4);
    EXPECT_EQ(Status().Position(), 4);
}

TEST_F(FrameTest, WheelStepsStopAtTheSliderEndsAndWhileLocked)
{
    MakeFrame();
    frame->OnMessage(WM_XEV_STEP_LAYOUT, 0, 0);
    EXPECT_EQ(Status().Position(), 5);
    EXPECT_EQ(Image().layoutIndex, 3);
    frame->OnMessage(WM_XEV_STEP_LAYOUT, 1, 0);
    EXPECT_EQ(Status().Position(), 6);
    EXPECT_EQ(Image().layoutIndex, 2);

    Status().ShowLayout(7);
    Image().ApplyLayout(7);
    frame->OnMessage(WM_XEV_STEP_LAYOUT, 0, 0);
    EXPECT_EQ(Status().Position(), 1);
    EXPECT_EQ(Image().layoutIndex, 7);

    Status().ShowLayout(0);
    Image().ApplyLayout(0);
    frame->OnMessage(WM_XEV_STEP_LAYOUT, 1, 0);
    EXPECT_EQ(Status().Position(), 8);
    EXPECT_EQ(Image().layoutIndex, 0);

    GetCommonSettings().OperationLock = 1;
    frame->OnMessage(WM_XEV_STEP_LAYOUT, 0, 0);
    EXPECT_EQ(Status().Position(), 8);
    EXPECT_EQ(Image().layoutIndex, 0);
}

TEST_F(FrameTest, AWheelOverACellStepsTheLayoutThroughTheFrame)
{
    MakeFrame();
    StudyInfo& study = MakeStudy({{"CT", 1, true}, {"CT", 1, true}});
    ShowSelected(study);
    const int before = Status().Position();
    XEVImageViewCtrl* cell = frame->GetActiveImageView();
    ASSERT_NE(cell, nullptr);
    QWheelEvent wheel(QPointF(10, 10), QPointF(cell->mapToGlobal(QPoint(10, 10))), QPoint(), QPoint(0, 120),
                      Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(cell, &wheel);
    Pump();
    // Wheel up with Control: one step toward the sparser grids.
    ASSERT_LT(before, 8);
    EXPECT_EQ(Status().Position(), before + 1);
    EXPECT_EQ(Image().layoutIndex, 8 - (before + 1));
}

TEST_F(FrameTest, PreloadControlStartsAPreloadOverTheListView)
{
    MakeFrame();
    PreloadList list;
    auto* pane = new QWidget;
    frame->SetListView(pane, &list);
    EXPECT_EQ(frame->GetListView(), pane);
    EXPECT_EQ(frame->GetListViewKey(), QStringLiteral("key"));
    frame->ShowAllListEntries();
    EXPECT_EQ(list.shown, 1);

    // Held by the painting mark, the pre-load keeps running with nothing read.
    XEVLoadState& state = GetLoadState();
    state.painting = 1;
    frame->PostToMainFrame(WM_XEV_PRELOAD_CONTROL, 0, 0);
    EXPECT_TRUE(PumpUntil([&] { return list.walked > 0; }));

    // A running pre-load is resumed, not started again: the painting mark is cleared and the
    // resume time taken.
    ASSERT_EQ(state.IsPreloadRunning(), 1);
    state.lastPaintEndMs = 0;
    const int64_t before = XEVSteadyMilliseconds();
    frame->OnMessage(WM_XEV_PRELOAD_CONTROL, 0, 0);
    EXPECT_EQ(state.painting.load(), 0);
    EXPECT_GE(state.GetLastPaintEnd(), before);
    EXPECT_EQ(list.walked, 1);
    state.HaltPreload();
    state.preloadThread.WaitAll();
}

TEST_F(FrameTest, PaneControlsDisableTogetherButHelpExitAndPatientViewStay)
{
    MakeFrame();
    frame->EnablePaneControls(false);
    EXPECT_FALSE(Title().ButtonAt(CXEVTitleFormView::kZoom).isEnabled());
    EXPECT_FALSE(Title().ButtonAt(CXEVTitleFormView::kPause).isEnabled());
    EXPECT_FALSE(Title().SpeedSlider().isEnabled());
    EXPECT_TRUE(Title().ButtonAt(CXEVTitleFormView::kHelp).isEnabled());
    EXPECT_TRUE(Title().ButtonAt(CXEVTitleFormView::kExit).isEnabled());
    EXPECT_TRUE(Title().PatientView().isEnabled());
    EXPECT_FALSE(Status().Slider().isEnabled());
    EXPECT_FALSE(Status().Stack().isEnabled());
    frame->EnablePaneControls(true);
    EXPECT_TRUE(Title().SpeedSlider().isEnabled());
    EXPECT_TRUE(Status().FullScreen().isEnabled());
    // The thumbnail toggle comes back enabled, still hidden.
    EXPECT_TRUE(Status().Thumbnail().isHidden());
}

TEST_F(FrameTest, PaneBackgroundsShowInTheirColours)
{
    MakeFrame();
    const QImage title = Title().grab().toImage();
    const QImage status = Status().grab().toImage();
    // Beyond the background bitmaps' sizes only the panes' own colour shows.
    frame->resize(1600, 1024);
    Pump();
    const QImage wide = Title().grab().toImage();
    EXPECT_EQ(QColor(wide.pixel(1590, 5)), QColor(15, 128, 15));
    const QImage wideStatus = Status().grab().toImage();
    EXPECT_EQ(QColor(wideStatus.pixel(1300, 38)), QColor(0, 255, 255));
    // Within the bitmaps too, in rows no control covers: no block of another colour ends where
    // a bitmap ends.
    for (const int x : {600, 1146, 1160}) {
        EXPECT_EQ(QColor(wideStatus.pixel(x, 2)), QColor(0, 255, 255)) << x;
    }
    EXPECT_EQ(QColor(wideStatus.pixel(600, wideStatus.height() - 1)), QColor(0, 255, 255));
    for (const int x : {800, 1261, 1400}) {
        EXPECT_EQ(QColor(wide.pixel(x, 10)), QColor(15, 128, 15)) << x;
    }
    EXPECT_FALSE(title.isNull());
    EXPECT_FALSE(status.isNull());
}
