// The cell's mouse tools, keys, wheel and right-button menus, driven by synthesized events
// and read back from the cell's state, its messages and grabs.

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QScrollBar>

#include <optional>

#include "shell/xevcommonsettings.h"
#include "shell/xevmessageids.h"
#include "shell/xevrmenu.h"
#include "study/xevloadstate.h"
#include "testsupport/viewtestsupport.h"
#include "viewer/xevoverlaymanager.h"
#include "viewer/xevoverlaytext.h"

namespace {

// Records each menu instead of running it, and answers a chosen command.
class MenuRecorder : public XEVMenuPresenter {
public:
    int32_t Show(CXEVRMenu& popup, uint16_t menuId, QPoint global) override
    {
        ids.push_back(menuId);
        where = global;
        for (int32_t command : {ID_XEV_LOCK, ID_XEV_ZOOM, ID_XEV_SERIES_SYNC, ID_XEV_INVERT}) {
            if (QAction* action = popup.FindCommand(command)) {
                checked[command] = action->isChecked();
                enabled[command] = action->isEnabled();
            }
        }
        hasReport = popup.FindCommand(ID_XEV_SHOW_REPORT) != nullptr;
        if (QAction* play = popup.FindCommand(ID_XEV_PLAY)) {
            playLabel = play->text();
        }
        return answer;
    }
    std::vector<uint16_t> ids;
    QPoint where;
    std::map<int32_t, bool> checked;
    std::map<int32_t, bool> enabled;
    bool hasReport = false;
    QString playLabel;
    int32_t answer = 0;
};

class PaintCounter : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int count = 0;
};

bool Key(QWidget& w, int key)
{
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    e.setAccepted(false);
    QCoreApplication::sendEvent(&w, &e);
    return e.isAccepted();
}

class ImageViewTools : public ::testing::Test {
protected:
    void SetUp() override
    {
        XEVCommonSettings& settings = GetCommonSettings();
        settings.OperationLock = 0;
        settings.SeriesAutoLink = 1;
        settings.ModeSupportSR = 0;
        settings.BuildMenuLabels();
        GetLoadState().mouseTool = 0;
        XEVSetTitlePane(&pane);
        XEVSetMenuPresenter(&menus);
    }
    void TearDown() override
    {
        XEVSetTitlePane(nullptr);
        XEVSetMenuPresenter(nullptr);
        GetLoadState().mouseTool = 0;
        GetCommonSettings().OperationLock = 0;
    }
    // A cell of that size over the images, active and painted once.
    XEVImageViewCtrl& Show(const std::vector<const char*>& names, int w, int h)
    {
        set = std::make_unique<ImageSet>(names, true);
        parent.resize(w + 20, h + 20);
        view.emplace(&parent, 9001);
        view->setGeometry(0, 0, w, h);
        view->SetImages(set->Pointers());
        view->SetupFirstImage();
        EXPECT_TRUE(view->SetActive(true));
        (void)Grab(*view);
        return *view;
    }
    FrameImageInfo* Frame(ImageInfo* image, int index = 0) { return image->GetHelper()->GetFrame(index); }

    TitlePane pane;
    MenuRecorder menus;
    MessageLog parent;
    // The images outlive the cell, which closes its edits on them when it goes.
    std::unique_ptr<ImageSet> set;
    std::optional<XEVImageViewCtrl> view;
};

TEST_F(ImageViewTools, WindowLevelDragPreviewsAndSetsEveryFrame)
{
    XEVImageViewCtrl& cell = Show({"quad16.dcm", "quad16.dcm"}, 256, 256);
    cell.seriesLinked = 1;
    for (ImageInfo* image : set->Pointers()) {
        Frame(image)->windowCenterStep = 1.0;
        Frame(image)->windowWidthStep = 1.0;
    }
    GetLoadState().mouseTool = kXEVToolWindowLevel;
    Mouse(cell, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseMove, {105, 110}, Qt::NoButton, Qt::LeftButton);
    // The preview: half the drag so far.
    EXPECT_EQ(Gray(Grab(cell), 192, 64), Windowed(1000, 1510, 1995));
    Mouse(cell, QEvent::MouseMove, {110, 120}, Qt::NoButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseButtonRelease, {110, 120}, Qt::LeftButton, Qt::NoButton);
    for (ImageInfo* image : set->Pointers()) {
        EXPECT_DOUBLE_EQ(Frame(image)->windowCenter, 1520.0);
        EXPECT_DOUBLE_EQ(Frame(image)->windowWidth, 1990.0);
    }
    EXPECT_EQ(Gray(Grab(cell), 192, 64), Windowed(1000, 1520, 1990));
    ASSERT_EQ(parent.Count(WM_XEV_LINKED_WINDOW), 1);
    EXPECT_EQ(parent.messages.back().wParam, 1u);
    EXPECT_EQ(parent.messages.back().lParam, 9001);
    Pump();
    ASSERT_EQ(parent.Count(WM_XEV_DISPLAY_STATE), 1);
    EXPECT_EQ(parent.messages.back().lParam, kXEVToolWindowLevel);
    // One drag, then the tool is gone.
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
}

TEST_F(ImageViewTools, ZoomDragScalesWithinLimitsAndSlidesToTheAnchor)
{
    XEVImageViewCtrl& cell = Show({"square.dcm"}, 80, 80);
    ASSERT_DOUBLE_EQ(cell.baseScale, 1.25);
    GetCommonSettings().OperationLock = 1;
    GetLoadState().mouseTool = kXEVToolZoom;
    // 12 up at 80 displayed pixels: + 5 x 12 / 80.
    Mouse(cell, QEvent::MouseButtonPress, {40, 40}, Qt::LeftButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseMove, {40, 28}, Qt::NoButton, Qt::LeftButton);
    EXPECT_DOUBLE_EQ(cell.baseScale + cell.zoomIncrement, 2.0);
    const QImage zoomed = Grab(cell);
    int bright = 0;
    for (int x = 0; x < 80; ++x) {
        bright += Gray(zoomed, x, 40) > 128 ? 1 : 0;
    }
    EXPECT_NEAR(bright, 32, 1);
    Mouse(cell, QEvent::MouseButtonRelease, {40, 28}, Qt::LeftButton, Qt::NoButton);
    EXPECT_DOUBLE_EQ(cell.baseScale, 2.0);
    EXPECT_EQ(cell.zoomMode, XEVImageViewCtrl::kZoomed);
    (void)Grab(cell);

    // Enlarging again with the pointer right of the centre moves the shown part right.
    const int leftBefore = cell.sourceLeft;
    Drag(cell, {{60, 40}, {60, 32}});
    (void)Grab(cell);
    EXPECT_GT(cell.sourceLeft, leftBefore);

    // However far the drag goes, the scale stays between the fit and 10.
    Drag(cell, {{40, 40}, {40, 10040}});
    EXPECT_DOUBLE_EQ(cell.baseScale, 1.25);
    Drag(cell, {{40, 40}, {40, -9960}});
    EXPECT_DOUBLE_EQ(cell.baseScale, 10.0);
    EXPECT_EQ(GetLoadState().mouseTool.load(), kXEVToolZoom);
}

TEST_F(ImageViewTools, ZoomOfAnEmptyCellStaysFinite)
{
    XEVImageViewCtrl& cell = Show({"small.dcm"}, 64, 64);
    GetCommonSettings().OperationLock = 1;
    GetLoadState().mouseTool = kXEVToolZoom;
    Mouse(cell, QEvent::MouseButtonPress, {32, 32}, Qt::LeftButton, Qt::LeftButton);
    cell.resize(0, 0);
    Mouse(cell, QEvent::MouseMove, {32, 20}, Qt::NoButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseButtonRelease, {32, 20}, Qt::LeftButton, Qt::NoButton);
    EXPECT_TRUE(std::isfinite(cell.baseScale));
    EXPECT_GE(cell.baseScale, 0.01);
}

TEST_F(ImageViewTools, ImageReleasedDuringADragEndsItQuietly)
{
    XEVImageViewCtrl& cell = Show({"quad16.dcm"}, 128, 128);
    GetLoadState().mouseTool = kXEVToolWindowLevel;
    Mouse(cell, QEvent::MouseButtonPress, {60, 60}, Qt::LeftButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseMove, {70, 60}, Qt::NoButton, Qt::LeftButton);
    (*set)[0]->FreeHelper();
    Mouse(cell, QEvent::MouseMove, {80, 60}, Qt::NoButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseButtonRelease, {80, 60}, Qt::LeftButton, Qt::NoButton);
    Pump();
    EXPECT_EQ(parent.Count(WM_XEV_DISPLAY_STATE), 0);
    EXPECT_EQ(cell.dragInProgress, 0);
    EXPECT_EQ(cell.dragTool, 0);
    // The tool stays for the next press, as nothing was done with it.
    EXPECT_EQ(GetLoadState().mouseTool.load(), kXEVToolWindowLevel);
    (void)Grab(cell);
}

TEST_F(ImageViewTools, PanMovesTheContentAndStopsAtTheEdges)
{
    XEVImageViewCtrl& cell = Show({"quad16.dcm"}, 128, 128);
    cell.zoomMode = XEVImageViewCtrl::kZoomed;
    cell.zoomed = 1;
    cell.baseScale = 2.0;
    cell.sourceLeft = 96;
    cell.sourceTop = 96;
    cell.sourceRight = 160;
    cell.sourceBottom = 160;
    QImage image = Grab(cell);
    // The dark top-left quadrant meets the next at client x 64.
    EXPECT_EQ(Gray(image, 60, 10), 0);
    EXPECT_EQ(Gray(image, 68, 10), Windowed(1000, 1500, 2000));

    GetLoadState().mouseTool = kXEVToolPan;
    Mouse(cell, QEvent::MouseButtonPress, {40, 40}, Qt::LeftButton, Qt::LeftButton);
    Mouse(cell, QEvent::MouseMove, {70, 40}, Qt::NoButton, Qt::LeftButton);
    image = Grab(cell);
    EXPECT_EQ(Gray(image, 90, 10), 0);
    EXPECT_EQ(Gray(image, 98, 10), Windowed(1000, 1500, 2000));
    Mouse(cell, QEvent::MouseButtonRelease, {70, 40}, Qt::LeftButton, Qt::NoButton);
    EXPECT_EQ(cell.sourceLeft, 81);
    EXPECT_EQ(cell.panStart.left(), 81);

    GetLoadState().mouseTool = kXEVToolPan;
    Drag(cell, {{10, 10}, {500, 600}});
    EXPECT_EQ(cell.sourceLeft, 0);
    EXPECT_EQ(cell.sourceTop, 0);
    Pump();
    EXPECT_EQ(parent.Count(WM_XEV_DISPLAY_STATE), 2);
}

TEST_F(ImageViewTools, MeasurementByMouseAndTheOperationLock)
{
    XEVImageViewCtrl& cell = Show({"spacing05.dcm"}, 128, 128);
    ASSERT_DOUBLE_EQ(cell.baseScale, 1.0);
    GetLoadState().mouseTool = kXEVToolMeasure;
    Drag(cell, {{40, 40}, {60, 40}, {80, 40}});
    FrameImageInfo* frame = Frame((*set)[0]);
    ASSERT_EQ(frame->measures.size(), 1u);
    const CXEVOverlayMeasure& measure = *frame->measures.begin()->second;
    EXPECT_EQ(measure.imageStart, QPoint(53, 53));
    EXPECT_EQ(measure.imageEnd, QPoint(93, 53));
    EXPECT_TRUE(frame->measures.begin()->second->GetLabelText(1.0).startsWith(QStringLiteral("20.00mm")));
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
    ASSERT_FALSE(pane.buttons.empty());
    EXPECT_EQ(pane.buttons.back(), 0);

    GetCommonSettings().OperationLock = 1;
    GetLoadState().mouseTool = kXEVToolMeasure;
    Drag(cell, {{40, 60}, {80, 60}});
    EXPECT_EQ(frame->measures.size(), 2u);
    EXPECT_EQ(GetLoadState().mouseTool.load(), kXEVToolMeasure);

    // A press off the image starts nothing.
    cell.resize(300, 128);
    (void)Grab(cell);
    Drag(cell, {{250, 60}, {260, 60}});
    EXPECT_EQ(frame->measures.size(), 2u);
}

TEST_F(ImageViewTools, TextAndArrowOpenTheirEditBoxes)
{
    XEVImageViewCtrl& cell = Show({"spacing05.dcm"}, 128, 128);
    GetLoadState().mouseTool = kXEVToolText;
    Drag(cell, {{80, 70}});
    auto* edit = cell.findChild<XEVOverlayEdit*>();
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->ControlId(), XEVOverlayEdit::kTextControlId);
    EXPECT_LE((edit->pos() - QPoint(80, 70)).manhattanLength(), 4);
    for (int key : {Qt::Key_A, Qt::Key_B, Qt::Key_Tab}) {
        const QString text = key == Qt::Key_Tab ? QStringLiteral("\t") : QString(QChar(key));
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
        QCoreApplication::sendEvent(edit, &press);
    }
    EXPECT_EQ(edit->toPlainText(), QStringLiteral("AB"));
    // The tool went with the press; a click elsewhere commits the text.
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);
    Drag(cell, {{10, 120}});
    FrameImageInfo* frame = Frame((*set)[0]);
    ASSERT_EQ(frame->texts.size(), 1u);
    EXPECT_EQ(frame->texts.begin()->second->text, QStringLiteral("AB"));
    EXPECT_EQ(frame->textEditOpen, 0);
    const CXEVOverlayText& text = *frame->texts.begin()->second;
    const QPoint placed = text.imagePosition;
    EXPECT_LE((placed - QPoint(80, 70)).manhattanLength(), 4);
    // Zoomed 2x about the image centre, the text moves with its image point.
    cell.zoomMode = XEVImageViewCtrl::kZoomed;
    cell.zoomed = 1;
    cell.baseScale = 2.0;
    (void)Grab(cell);
    EXPECT_EQ(text.boxPosition, (placed - QPoint(cell.sourceLeft, cell.sourceTop)) * 2 + cell.destination.topLeft());
    EXPECT_EQ(cell.sourceLeft, 32);
    cell.OnCommand(ID_XEV_RESET_DISPLAY);
    (void)Grab(cell);

    GetLoadState().mouseTool = kXEVToolArrow;
    Drag(cell, {{30, 80}, {60, 80}, {90, 80}});
    ASSERT_EQ(frame->arrows.size(), 1u);
    EXPECT_EQ(frame->arrowEditOpen, 1);
    XEVOverlayEdit* label = nullptr;
    for (XEVOverlayEdit* child : cell.findChildren<XEVOverlayEdit*>()) {
        label = child->ControlId() == XEVOverlayEdit::kArrowControlId ? child : label;
    }
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(QRect(0, 0, 128, 128).intersects(label->geometry()));
    // Escape never reaches the edit box.
    label->setPlainText(QStringLiteral("C"));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(label, &escape);
    EXPECT_EQ(frame->arrowEditOpen, 1);
    EXPECT_EQ(label->toPlainText(), QStringLiteral("C"));
}

TEST_F(ImageViewTools, PagingByWheelMiddleButtonAndKeys)
{
    XEVImageViewCtrl& cell = Show({"axial0.dcm", "axial1.dcm", "axial2.dcm", "axial3.dcm"}, 64, 64);
    ASSERT_EQ(cell.GetPosition(), 1);
    Wheel(cell, -120);
    EXPECT_EQ(cell.GetPosition(), 2);
    Wheel(cell, 120);
    EXPECT_EQ(cell.GetPosition(), 1);

    Drag(cell, {{10, 10}, {10, 13}}, Qt::MiddleButton);
    EXPECT_EQ(cell.GetPosition(), 1);
    Drag(cell, {{10, 10}, {10, 14}}, Qt::MiddleButton);
    EXPECT_EQ(cell.GetPosition(), 2);

    const std::vector<std::pair<int, int>> steps = {{Qt::Key_Right, 3}, {Qt::Key_Down, 4}, {Qt::Key_Left, 3},
                                                    {Qt::Key_Up, 2},    {Qt::Key_End, 4},  {Qt::Key_Home, 1}};
    for (const auto& [key, position] : steps) {
        EXPECT_TRUE(Key(cell, key));
        EXPECT_EQ(cell.GetPosition(), position) << key;
    }
    EXPECT_TRUE(Key(cell, Qt::Key_Escape));

    // Ctrl with the wheel steps the layout: 1 for a delta of 0 or more.
    Wheel(cell, 0, Qt::ControlModifier);
    Wheel(cell, -120, Qt::ControlModifier);
    Pump();
    ASSERT_EQ(parent.Count(WM_XEV_STEP_LAYOUT), 2);
    EXPECT_EQ(parent.messages[parent.messages.size() - 2].wParam, 1u);
    EXPECT_EQ(parent.messages.back().wParam, 0u);
    EXPECT_EQ(cell.GetPosition(), 1);

    // Unlinked page keys scroll the form view.
    auto* bar = new QScrollBar(Qt::Vertical, &parent);
    bar->setRange(0, 1000);
    bar->setPageStep(100);
    bar->setValue(500);
    EXPECT_TRUE(Key(cell, Qt::Key_PageUp));
    EXPECT_EQ(bar->value(), 400);

    // Linked cells hand paging to the form view.
    cell.seriesLinked = 1;
    parent.messages.clear();
    Key(cell, Qt::Key_Up);
    Key(cell, Qt::Key_PageDown);
    Wheel(cell, -120);
    Key(cell, Qt::Key_Right);
    ASSERT_EQ(parent.messages.size(), 4u);
    EXPECT_EQ(parent.messages[0].id, 0x1437u);
    EXPECT_EQ(parent.messages[0].lParam, 120);
    EXPECT_EQ(parent.messages[1].id, 0x1439u);
    EXPECT_EQ(parent.messages[1].lParam, 0);
    EXPECT_EQ(parent.messages[2].id, 0x1437u);
    EXPECT_EQ(parent.messages[2].lParam, -120);
    // Left and Right move the cell itself, then tell the form view.
    EXPECT_EQ(parent.messages[3].id, 0x1438u);
    EXPECT_EQ(cell.GetPosition(), 2);

    // A cell of a series laid over the grid pages with the grid too.
    cell.seriesLinked = 0;
    cell.tileMode = 1;
    parent.messages.clear();
    Wheel(cell, 120);
    ASSERT_EQ(parent.messages.size(), 1u);
    EXPECT_EQ(parent.messages[0].id, 0x1437u);
    EXPECT_EQ(parent.messages[0].lParam, 120);
}

TEST_F(ImageViewTools, CellMenuStatesAndCommands)
{
    XEVImageViewCtrl& cell = Show({"quad16.dcm"}, 128, 128);
    GetCommonSettings().OperationLock = 1;
    GetLoadState().mouseTool = kXEVToolZoom;
    QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(0, 0), cell.mapToGlobal(QPoint(0, 0)));
    QCoreApplication::sendEvent(&cell, &keyboard);
    ASSERT_EQ(menus.ids.size(), 1u);
    EXPECT_EQ(menus.ids[0], kXEVMenuImage);
    EXPECT_EQ(menus.where, cell.mapToGlobal(QPoint(5, 5)));
    EXPECT_TRUE(menus.checked[ID_XEV_LOCK]);
    EXPECT_TRUE(menus.checked[ID_XEV_ZOOM]);
    EXPECT_TRUE(menus.checked[ID_XEV_SERIES_SYNC]);
    EXPECT_FALSE(menus.checked[ID_XEV_INVERT]);
    EXPECT_TRUE(menus.enabled[ID_XEV_INVERT]);
    EXPECT_FALSE(menus.hasReport);
    EXPECT_EQ(GetCommonSettings().MenuShowing, 0);

    // A right click off any annotation opens the cell menu; the chosen command runs.
    cell.OnCommand(ID_XEV_INVERT);
    GetCommonSettings().ModeSupportSR = 1;
    pane.playing = true;
    menus.answer = ID_XEV_LOCK;
    Mouse(cell, QEvent::MouseButtonPress, {60, 60}, Qt::RightButton, Qt::RightButton);
    Mouse(cell, QEvent::MouseButtonRelease, {60, 60}, Qt::RightButton, Qt::NoButton);
    ASSERT_EQ(menus.ids.size(), 2u);
    EXPECT_EQ(menus.ids[1], kXEVMenuImageReportPlaying);
    EXPECT_EQ(menus.where, cell.mapToGlobal(QPoint(60, 60)));
    EXPECT_TRUE(menus.hasReport);
    EXPECT_EQ(menus.playLabel, QString::fromUtf8("一時停止"));
    EXPECT_TRUE(menus.checked[ID_XEV_INVERT]);
    EXPECT_EQ(parent.Count(WM_XEV_CELL_RBUTTON), 1);
    // The lock went off, and with it the tool.
    EXPECT_EQ(GetCommonSettings().OperationLock, 0);
    EXPECT_EQ(GetLoadState().mouseTool.load(), 0);

    // A double-click right after the menu is swallowed once.
    QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(60, 60), QPointF(cell.mapToGlobal(QPoint(60, 60))),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(&cell, &twice);
    Pump();
    EXPECT_EQ(parent.Count(WM_XEV_CELL_DBLCLK), 0);
    QCoreApplication::sendEvent(&cell, &twice);
    Pump();
    EXPECT_EQ(parent.Count(WM_XEV_CELL_DBLCLK), 1);

    // Tool commands reach the form view only from the active cell.
    parent.messages.clear();
    cell.OnCommand(ID_XEV_PIXELVALUE);
    cell.active = 0;
    cell.OnCommand(ID_XEV_PIXELVALUE);
    ASSERT_EQ(parent.messages.size(), 1u);
    EXPECT_EQ(parent.messages[0].id, 0x1507u);
}

// The real pop-up opens without a loop of its own: the key's handler returns with the menu up;
// a choice reaches the cell while it lives, and nothing once it has gone.
TEST_F(ImageViewTools, TheCellMenuOpensWithoutWaitingAndOutlivesItsCell)
{
    XEVSetMenuPresenter(nullptr);
    XEVImageViewCtrl& cell = Show({"quad16.dcm"}, 128, 128);
    const auto openMenu = [&] {
        QContextMenuEvent keyboard(QContextMenuEvent::Keyboard, QPoint(0, 0), cell.mapToGlobal(QPoint(0, 0)));
        QCoreApplication::sendEvent(&cell, &keyboard);
        auto* popup = dynamic_cast<CXEVRMenu*>(QApplication::activePopupWidget());
        EXPECT_NE(popup, nullptr);
        EXPECT_EQ(GetCommonSettings().MenuShowing, 1);
        return popup;
    };
    CXEVRMenu* popup = openMenu();
    ASSERT_NE(popup, nullptr);
    QPointer<QMenu> gone(popup);
    ASSERT_EQ(GetCommonSettings().OperationLock, 0);
    QAction* lock = popup->FindCommand(ID_XEV_LOCK);
    ASSERT_NE(lock, nullptr);
    popup->hide();
    lock->trigger();
    EXPECT_EQ(GetCommonSettings().OperationLock, 1);
    EXPECT_EQ(GetCommonSettings().MenuShowing, 0);
    EXPECT_TRUE(PumpUntil([&] { return gone.isNull(); }));

    // Retired with the menu up: the choice finds no cell.
    popup = openMenu();
    ASSERT_NE(popup, nullptr);
    gone = popup;
    lock = popup->FindCommand(ID_XEV_LOCK);
    ASSERT_NE(lock, nullptr);
    view.reset();
    popup->hide();
    lock->trigger();
    EXPECT_EQ(GetCommonSettings().OperationLock, 1);
    EXPECT_TRUE(PumpUntil([&] { return gone.isNull(); }));
    EXPECT_EQ(GetCommonSettings().MenuShowing, 0);
    GetCommonSettings().OperationLock = 0;
}

TEST_F(ImageViewTools, AnnotationMenuDeletesTheMeasurement)
{
    XEVImageViewCtrl& cell = Show({"spacing05.dcm"}, 128, 128);
    GetLoadState().mouseTool = kXEVToolMeasure;
    Drag(cell, {{40, 40}, {80, 40}});
    FrameImageInfo* frame = Frame((*set)[0]);
    ASSERT_EQ(frame->measures.size(), 1u);
    menus.answer = ID_XEV_DELETE_MEASURE;
    Drag(cell, {{73, 53}}, Qt::RightButton);
    ASSERT_EQ(menus.ids.size(), 1u);
    EXPECT_EQ(menus.ids[0], kXEVMenuMeasure);
    EXPECT_TRUE(frame->measures.empty());
    // Nothing selected: nothing deleted and no repaint.
    parent.show();
    Pump();
    PaintCounter paints;
    cell.installEventFilter(&paints);
    cell.OnCommand(ID_XEV_DELETE_MEASURE);
    cell.OnCommand(ID_XEV_DELETE_TEXT);
    cell.OnCommand(ID_XEV_DELETE_ARROW);
    Pump();
    EXPECT_EQ(paints.count, 0);
    EXPECT_TRUE(frame->measures.empty());
    GetLoadState().mouseTool = kXEVToolMeasure;
    Drag(cell, {{40, 40}, {80, 40}});
    Pump();
    paints.count = 0;
    ASSERT_EQ(frame->SelectMeasureAt(QPoint(73, 53)), 1);
    cell.OnCommand(ID_XEV_DELETE_MEASURE);
    Pump();
    EXPECT_GT(paints.count, 0);
    cell.removeEventFilter(&paints);
}

TEST_F(ImageViewTools, ResetDisplayRestoresTheFirstState)
{
    XEVImageViewCtrl& cell = Show({"quad16.dcm", "quad16.dcm"}, 256, 256);
    GetCommonSettings().OperationLock = 1;
    GetLoadState().mouseTool = kXEVToolWindowLevel;
    Drag(cell, {{100, 100}, {140, 100}});
    GetLoadState().mouseTool = kXEVToolMeasure;
    Drag(cell, {{40, 40}, {80, 40}});
    GetLoadState().mouseTool = kXEVToolZoom;
    Drag(cell, {{100, 100}, {100, 80}});
    ASSERT_EQ(cell.zoomMode, XEVImageViewCtrl::kZoomed);
    ASSERT_FALSE(Frame((*set)[0])->measures.empty());
    Pump();
    parent.messages.clear();

    cell.OnCommand(ID_XEV_RESET_DISPLAY);
    EXPECT_EQ(cell.zoomMode, XEVImageViewCtrl::kFit);
    for (ImageInfo* image : set->Pointers()) {
        EXPECT_TRUE(Frame(image)->measures.empty());
        EXPECT_DOUBLE_EQ(Frame(image)->windowCenter, 1500.0);
        EXPECT_DOUBLE_EQ(Frame(image)->windowWidth, 2000.0);
    }
    EXPECT_EQ(Gray(Grab(cell), 192, 64), Windowed(1000, 1500, 2000));
    Pump();
    ASSERT_EQ(parent.Count(WM_XEV_DISPLAY_STATE), 1);
    EXPECT_EQ(parent.messages.back().lParam, 0);
}

TEST_F(ImageViewTools, SizeDecidesCornerTextsAndRaisesTheZoomFloor)
{
    XEVImageViewCtrl& cell = Show({"square.dcm"}, 249, 300);
    parent.show();
    EXPECT_EQ(cell.cornerTextsShown, 0);
    cell.resize(250, 250);
    EXPECT_EQ(cell.cornerTextsShown, 1);
    cell.zoomMode = XEVImageViewCtrl::kZoomed;
    cell.zoomed = 1;
    cell.baseScale = 2.0;
    cell.resize(320, 640);
    EXPECT_DOUBLE_EQ(cell.baseScale, 5.0);
    cell.resize(64, 64);
    EXPECT_DOUBLE_EQ(cell.baseScale, 5.0);
}

}   // namespace

namespace {

// The pointing tools' drawings put their tip where the corrected point lands.
TEST(ImageViewToolCursors, TipsSitAtTheHotSpotCorrection)
{
    for (int32_t tool : {kXEVToolMeasure, kXEVToolArrow, kXEVToolPixelValue}) {
        const QCursor cursor = XEVToolCursor(tool);
        const QImage image = cursor.pixmap().toImage();
        ASSERT_FALSE(image.isNull()) << tool;
        const QPoint tip = cursor.hotSpot() + XEVToolHotSpot(tool);
        EXPECT_GT(qAlpha(image.pixel(tip)), 0) << tool;
        EXPECT_NE(XEVToolHotSpot(tool), QPoint(0, 0));
    }
    EXPECT_EQ(XEVToolHotSpot(kXEVToolZoom), QPoint(0, 0));
    EXPECT_EQ(XEVToolCursor(kXEVToolNone).shape(), Qt::ArrowCursor);
    EXPECT_EQ(XEVToolCursor(kXEVToolPan).shape(), Qt::BitmapCursor);
}

}   // namespace
