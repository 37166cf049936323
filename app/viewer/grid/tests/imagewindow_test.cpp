// The grid on its own: cell ids, placing cells with remainders and scrolling, layout
// indexes, and memory relief that never frees a shown image.

#include "testsupport/gridtestsupport.h"

namespace {

// A grid whose next cell creation can be made to fail.
class FailingGrid : public XEVImageWindow {
public:
    explicit FailingGrid(QWidget* owner) { SetOwner(owner, nullptr); }
    int failNext = 0;

protected:
    XEVImageViewCtrl* MakeCell(QWidget* parent, int32_t id) override
    {
        if (failNext > 0) {
            --failNext;
            return nullptr;
        }
        return XEVImageWindow::MakeCell(parent, id);
    }
};

class ImageWindowGrid : public ::testing::Test {
protected:
    void SetUp() override { owner.resize(1003, 401); }
    QWidget owner;
};

TEST_F(ImageWindowGrid, IdsFollowTheCountOfEachModeWithoutGaps)
{
    FailingGrid grid(&owner);
    grid.studyLayout.SetRowCol(2, 3);
    grid.LayoutCells(&owner);
    ASSERT_EQ(grid.studyCells.size(), 6u);
    EXPECT_EQ(std::next(grid.studyCells.begin(), 4)->first, 9005);
    EXPECT_EQ(std::next(grid.studyCells.begin(), 4)->second->ControlId(), 9005);

    grid.activeMode = 1;
    grid.failNext = 1;
    EXPECT_EQ(grid.CreateCell(&owner, QRect(0, 0, 10, 10)), 0);
    EXPECT_EQ(grid.CreateCell(&owner, QRect(0, 0, 10, 10)), 9501);
    EXPECT_EQ(grid.CreateCell(&owner, QRect(0, 0, 10, 10)), 9502);
    EXPECT_EQ(grid.seriesCells.size(), 2u);
}

TEST_F(ImageWindowGrid, ArrangeGivesRemaindersToTheFirstColumnsAndRowsAndScrolls)
{
    FailingGrid grid(&owner);
    grid.studyLayout.SetRowCol(2, 4);
    grid.LayoutCells(&owner);
    grid.Arrange(QRect(0, 0, 1003, 401), 50);
    std::vector<QRect> rects;
    for (auto& [id, cell] : grid.studyCells) {
        rects.push_back(cell->geometry());
    }
    ASSERT_EQ(rects.size(), 8u);
    const int widths[4] = {251, 251, 251, 250};
    const int lefts[4] = {0, 251, 502, 753};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(rects[c].width(), widths[c]) << c;
        EXPECT_EQ(rects[c].left(), lefts[c]) << c;
        EXPECT_EQ(rects[c].top(), -50);
        EXPECT_EQ(rects[c].height(), 201);
        EXPECT_EQ(rects[4 + c].top(), 151);
        EXPECT_EQ(rects[4 + c].height(), 200);
    }
}

TEST_F(ImageWindowGrid, LayoutIndexOutsideTheTableLeavesTheLayout)
{
    FailingGrid grid(&owner);
    grid.SetLayout(&owner, 3);
    EXPECT_EQ(grid.studyLayout.rows, 2);
    EXPECT_EQ(grid.studyLayout.cols, 3);
    grid.SetLayout(&owner, -1);
    grid.SetLayout(&owner, 8);
    EXPECT_EQ(grid.studyLayout.rows, 2);
    EXPECT_EQ(grid.studyLayout.cols, 3);
    EXPECT_EQ(grid.layoutIndex, 3);
    EXPECT_EQ(grid.studyCells.size(), 6u);
}

}   // namespace

TEST_F(FormViewTest, FreeMemoryTakesAFarImageOfAnIdleCellFirst)
{
    StudyInfo& study = MakeStudy({{"CT", 10, true}, {"CT", 10, true}});
    view->ShowFitted(&study);
    // The first cell is activated once its first image is in; the loads go on after.
    ASSERT_TRUE(PumpUntil([&] { return view->activeCellId == 9001; }));
    ASSERT_TRUE(PumpUntilLoaded(*view));
    EXPECT_EQ(view->FreeMemory(9001), 1);
    const auto& first = study.series[0]->images;
    const auto& second = study.series[1]->images;
    for (int i = 0; i < 10; ++i) {
        EXPECT_NE(first[i]->GetHelper(), nullptr) << i;
        EXPECT_EQ(second[i]->GetHelper() == nullptr, i == 5) << i;
    }
}

TEST_F(FormViewTest, FreeMemoryNeverFreesAnImageAnotherCellShows)
{
    StudyInfo& study = MakeStudy({{"CT", 10, true}});
    view->ShowSeries(study.series[0]);
    // An image the worker is decoding is passed over: it must have done.
    ASSERT_TRUE(PumpUntilLoaded(*view));
    // The far image of the first cell (5) is shown by the sixth: only 9 may go.
    EXPECT_EQ(view->FreeMemory(-1), 1);
    const auto& images = study.series[0]->images;
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(images[i]->GetHelper() == nullptr, i == 9) << i;
    }
    EXPECT_EQ(view->FreeMemory(-1), 0);
}
