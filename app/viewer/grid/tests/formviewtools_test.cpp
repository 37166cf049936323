// The cells' mouse, wheel and menu commands as the form view receives them.

#include <QMouseEvent>
#include <QWheelEvent>

#include "gridtestsupport.h"
#include "shell/xevcommonsettings.h"

namespace {

void Press(QWidget& w, Qt::MouseButton button, QPoint p)
{
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(p), QPointF(w.mapToGlobal(p)), button, button,
                      Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(p), QPointF(w.mapToGlobal(p)), button, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &release);
}

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
    Press(cell, Qt::RightButton, QPoint(20, 20));
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
    QWheelEvent wheel(QPointF(10, 10), QPointF(cell.mapToGlobal(QPoint(10, 10))), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(&cell, &wheel);
    Pump();
    EXPECT_NE(Cell(9501).CurrentImage(), before);
}

}  // namespace
