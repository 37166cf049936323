// Full screen from the status pane: the cells keep what they show through the larger area
// and back, and closing from full screen ends with empty cells and no loader.

#include "frametestsupport.h"

namespace {

// One cell's state that full screen must not touch.
struct CellState {
    int32_t image;
    int32_t frame;
    double centre;
    double width;
    int32_t zoomMode;
    double baseScale;
    double zoomIncrement;
    int32_t zoomed;
    QImage shot;
};

CellState StateOf(XEVImageViewCtrl& cell)
{
    return {cell.currentImage, cell.currentFrame,  cell.windowCenter, cell.windowWidth, cell.zoomMode,
            cell.baseScale,    cell.zoomIncrement, cell.zoomed,       Grab(cell)};
}

bool Black(const QImage& shot)
{
    for (int y = 4; y < shot.height() - 4; y += 4) {
        for (int x = 4; x < shot.width() - 4; x += 4) {
            if ((shot.pixel(x, y) & 0xFFFFFF) != 0) {
                return false;
            }
        }
    }
    return true;
}

}   // namespace

TEST_F(FrameTest, FullScreenKeepsEachCellsImageWindowAndZoom)
{
    MakeFrame();
    StudyInfo& study = MakeStudy({{"CT", 1, true, "square.dcm"}, {"CT", 1, true, "square.dcm"}});
    // The first cell's series: a square, then the quadrants it is stepped to.
    study.series[0]->images.push_back(new ImageInfo);
    study.series[0]->images.back()->SetFilePath(CellFixture("quad16.dcm"));
    ShowSelected(study);
    ASSERT_TRUE(PumpUntil([&] {
        return !Image().StudyStartPending() && Image().GetCell(kXEVFirstStudyCellId)->loadingUnderWay.load() == 0;
    }));
    Pump();
    const std::vector<int32_t> ids = {kXEVFirstStudyCellId, kXEVFirstStudyCellId + 1};
    XEVImageViewCtrl& first = *Image().GetCell(ids[0]);
    first.SetCurrentImage(0, 0);
    ASSERT_EQ(first.currentImage, 1);
    first.SetWindowAll(1200, 900);
    Image().GetCell(ids[1])->SetWindowAll(100, 60);
    Pump();
    std::vector<CellState> before;
    for (int32_t id : ids) {
        before.push_back(StateOf(*Image().GetCell(id)));
        EXPECT_FALSE(Black(before.back().shot)) << id;
    }

    Status().FullScreen().click();
    Pump();
    ASSERT_EQ(Status().FullScreen().state, 1);
    ASSERT_TRUE(frame->GetListView()->isHidden());
    for (size_t i = 0; i < ids.size(); ++i) {
        XEVImageViewCtrl& cell = *Image().GetCell(ids[i]);
        const CellState full = StateOf(cell);
        EXPECT_FALSE(Black(full.shot)) << ids[i];
        EXPECT_EQ(full.image, before[i].image) << ids[i];
        EXPECT_EQ(full.frame, before[i].frame) << ids[i];
        EXPECT_EQ(full.centre, before[i].centre) << ids[i];
        EXPECT_EQ(full.width, before[i].width) << ids[i];
        EXPECT_EQ(full.zoomMode, before[i].zoomMode) << ids[i];
        EXPECT_EQ(full.zoomed, before[i].zoomed) << ids[i];
        EXPECT_EQ(full.zoomIncrement, before[i].zoomIncrement) << ids[i];
    }

    Status().Stack().click();
    Pump();
    ASSERT_EQ(Status().FullScreen().state, 0);
    for (size_t i = 0; i < ids.size(); ++i) {
        const CellState after = StateOf(*Image().GetCell(ids[i]));
        EXPECT_EQ(after.image, before[i].image) << ids[i];
        EXPECT_EQ(after.centre, before[i].centre) << ids[i];
        EXPECT_EQ(after.width, before[i].width) << ids[i];
        EXPECT_EQ(after.baseScale, before[i].baseScale) << ids[i];
        EXPECT_TRUE(after.shot == before[i].shot) << ids[i];
    }

    // Closing from full screen: the reset before the clear leaves every cell empty and idle.
    Status().FullScreen().click();
    Pump();
    ASSERT_EQ(Status().FullScreen().state, 1);
    frame->close();
    Pump();
    for (int32_t id : ids) {
        XEVImageViewCtrl& cell = *Image().GetCell(id);
        EXPECT_TRUE(cell.GetImages().empty()) << id;
        EXPECT_EQ(cell.loadingUnderWay.load(), 0) << id;
        EXPECT_EQ(cell.loaderRunning.load(), 0) << id;
    }
}
