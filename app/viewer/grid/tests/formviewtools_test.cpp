// The cells' mouse, wheel and menu commands as the form view receives them.

#include "shell/xevcommonsettings.h"
#include "testsupport/gridtestsupport.h"

namespace {

class NoMenu : public XEVMenuPresenter {
public:
    int32_t Show(CXEVRMenu&, uint16_t, QPoint) override { return 0; }
};

TEST_F(FormViewTest, MenuToolCommandsSetTheToolAndARightPressDropsIt)
{
    GetCommonSettings().OperationLock = 0;
    NoMenu menus;
    XEVSetMenuPresenter(&menus);
    StudyInfo& study = MakeStudy({{"CT", 3, true}});
    view->ShowFitted(&study);
    Pump();
    XEVImageViewCtrl& cell = Cell(9001);
    ASSERT_EQ(cell.active, 1);
    cell.OnCommand(ID_XEV_MEASURE);
    EXPECT_EQ(GetLoadState().mouseTool.load(), kXEVToolMeasure);
    ASSERT_FALSE(host.toolButtons.empty());
    EXPECT_EQ(host.toolButtons.back(), kXEVToolMeasure);
    Drag(cell, {{20, 20}}, Qt::RightButton);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
    EXPECT_EQ(host.toolButtons.back(), 0);
    XEVSetMenuPresenter(nullptr);
}

TEST_F(FormViewTest, WheelOnASeriesGridCellPagesTheGrid)
{
    StudyInfo& study = MakeStudy({{"CT", 30, true}});
    view->ShowSeries(study.series[0]);
    Pump();
    XEVImageViewCtrl& cell = Cell(9501);
    ASSERT_EQ(cell.tileMode, 1);
    ImageInfo* before = cell.CurrentImage();
    Wheel(cell, -120);
    Pump();
    EXPECT_NE(Cell(9501).CurrentImage(), before);
}

}   // namespace
