#include "frametestsupport.h"
#include "shell/xevagreedlg.h"

namespace {

QPoint LeftArrow(CXEVStatusFormView& pane)
{
    const QRect r = pane.Slider().geometry();
    return QPoint(r.x() - 20, r.y() + 10);
}

QPoint RightArrow(CXEVStatusFormView& pane)
{
    const QRect r = pane.Slider().geometry();
    return QPoint(r.x() + r.width() + 20, r.y() + 10);
}

}   // namespace

TEST_F(FrameTest, LayoutSliderStartsAtTwoByTwoAndClampsShownLayouts)
{
    GetCommonSettings().InitialLayoutIndex = 2;
    MakeFrame();
    EXPECT_EQ(Status().Position(), 6);
    EXPECT_EQ(Status().Slider().toolTip(), QStringLiteral("2 x 2"));
    EXPECT_EQ(Status().Stack().state, 1);
    EXPECT_TRUE(Status().Thumbnail().isHidden());
    Status().ShowLayout(9);
    EXPECT_EQ(Status().Position(), 1);
    EXPECT_EQ(Status().Slider().value(), 1);
    Status().ShowLayout(-3);
    EXPECT_EQ(Status().Position(), 8);
    EXPECT_EQ(Status().Slider().toolTip(), QStringLiteral("1 x 1"));
}

TEST_F(FrameTest, ArrowsStepTheSliderButNotPastItsEnds)
{
    MakeFrame();
    ASSERT_EQ(Status().HitTestArrows(LeftArrow(Status())), 1);
    ASSERT_EQ(Status().HitTestArrows(RightArrow(Status())), 2);
    EXPECT_EQ(Status().HitTestArrows(Status().Slider().geometry().center()), 0);

    Status().OnLButtonDown(LeftArrow(Status()));
    Pump();
    EXPECT_EQ(Status().Position(), 5);
    EXPECT_EQ(Image().layoutIndex, 3);

    Status().ShowLayout(7);
    Image().ApplyLayout(7);
    Status().OnLButtonDown(LeftArrow(Status()));
    Pump();
    EXPECT_EQ(Status().Position(), 1);
    EXPECT_EQ(Image().layoutIndex, 7);

    Status().ShowLayout(0);
    Image().ApplyLayout(0);
    Status().OnLButtonDown(RightArrow(Status()));
    Pump();
    EXPECT_EQ(Status().Position(), 8);
    EXPECT_EQ(Image().layoutIndex, 0);
}

// A busy window takes three clicks before it applies the first: each steps on from the last.
TEST_F(FrameTest, ArrowClicksBeforeTheFirstStepIsAppliedEachStep)
{
    MakeFrame();
    Status().ShowLayout(0);
    Image().ApplyLayout(0);
    for (int k = 0; k < 3; ++k) {
        Status().OnLButtonDown(LeftArrow(Status()));
    }
    Pump();
    EXPECT_EQ(Status().Position(), 5);
    EXPECT_EQ(Image().layoutIndex, 3);
    Status().OnLButtonDown(RightArrow(Status()));
    Status().OnLButtonDown(RightArrow(Status()));
    Pump();
    EXPECT_EQ(Status().Position(), 7);
    EXPECT_EQ(Image().layoutIndex, 1);
}

TEST_F(FrameTest, FullScreenNeedsASelectedCellAndStackLeavesIt)
{
    MakeFrame();
    // Stack while in stack changes nothing.
    Status().OnStack();
    EXPECT_EQ(Status().Stack().state, 1);
    EXPECT_EQ(Status().Stack().previousState, 0);

    Status().OnFullScreen();
    EXPECT_EQ(Status().FullScreen().state, 0);
    EXPECT_TRUE(Status().Slider().isEnabled());
    EXPECT_FALSE(frame->GetListView()->isHidden());

    StudyInfo& study = MakeStudy({{"CT", 2, true}});
    ShowSelected(study);
    Status().FullScreen().click();
    Pump();
    EXPECT_EQ(Status().FullScreen().state, 1);
    EXPECT_EQ(Status().Stack().state, 0);
    EXPECT_EQ(Status().Stack().previousState, 1);
    EXPECT_FALSE(Status().Slider().isEnabled());
    EXPECT_TRUE(frame->GetListView()->isHidden());
    EXPECT_TRUE(frame->isMaximized());

    Status().Stack().click();
    Pump();
    EXPECT_EQ(Status().Stack().state, 1);
    EXPECT_EQ(Status().FullScreen().state, 0);
    EXPECT_TRUE(Status().Slider().isEnabled());
    EXPECT_FALSE(frame->GetListView()->isHidden());
    EXPECT_EQ(frame->GetListView()->width(), 332);
}

TEST_F(FrameTest, NarrowStatusPanePutsTheSliderFrameLeftOfTheEdge)
{
    MakeFrame();
    Status().resize(200, 43);
    EXPECT_EQ(Status().SliderFrame().x(), 200 - 233);
    EXPECT_EQ(Status().Slider().x(), 200 - 233 + 42);
    EXPECT_EQ(Status().FullScreen().x(), 200 - 233 - 74);
    EXPECT_EQ(Status().Stack().x(), 200 - 233 - 128);
}

// Behind the terms dialog the whole outer splitter is off, and a failed open turns the pane
// controls off: both panes still paint their backgrounds whole, pictures as they were.
TEST_F(FrameTest, PanesPaintWholeBehindTheTermsAndWithTheirControlsOff)
{
    MakeFrame();
    const QColor cyan(0, 255, 255);
    const QColor green(15, 128, 15);
    ASSERT_EQ(PaneOffBackground(Status(), cyan), 0);
    ASSERT_EQ(PaneOffBackground(Title(), green), 0);
    const QImage cine = Grab(Title().CineArea());
    const QImage corner = Grab(Status().Corner());

    frame->ShowAgreement(0);
    ASSERT_TRUE(
        PumpUntil([&] { return frame->AgreementDialog() != nullptr && frame->AgreementDialog()->isVisible(); }));
    ASSERT_FALSE(frame->OuterSplitter()->isEnabled());
    EXPECT_EQ(PaneOffBackground(Status(), cyan), 0);
    EXPECT_EQ(PaneOffBackground(Title(), green), 0);
    EXPECT_TRUE(Grab(Title().CineArea()) == cine);
    EXPECT_TRUE(Grab(Status().Corner()) == corner);
    delete frame->AgreementDialog();
    frame->OuterSplitter()->setEnabled(true);

    frame->EnablePaneControls(false);
    Pump();
    EXPECT_EQ(PaneOffBackground(Status(), cyan), 0);
    EXPECT_EQ(PaneOffBackground(Title(), green), 0);
    EXPECT_TRUE(Grab(Title().CineArea()) == cine);
    EXPECT_TRUE(Grab(Status().Corner()) == corner);
}
