#include <QToolTip>

#include "frametestsupport.h"

namespace {

uint32_t fakeNow = 0;
uint32_t FakeTicks()
{
    return fakeNow;
}

using B = CXEVTitleFormView;

}   // namespace

TEST_F(FrameTest, PlayNeedsASelectedCellWithTwoImagesOrFrames)
{
    MakeFrame();
    // No series shown.
    Title().OnPlayPause();
    EXPECT_FALSE(Title().TimerActive());
    EXPECT_FALSE(Title().IsCinePlaying());
    EXPECT_FALSE(Title().ButtonAt(B::kPlay).isHidden());
    EXPECT_TRUE(Title().ButtonAt(B::kPause).isHidden());
    EXPECT_EQ(Title().RepaintCount(), 0);

    // One image of one frame.
    StudyInfo& single = MakeStudy({{"CT", 1, true}});
    ShowSelected(single);
    ASSERT_NE(Image().GetSelectedView(), nullptr);
    Title().OnPlayPause();
    EXPECT_FALSE(Title().TimerActive());
    EXPECT_EQ(Title().RepaintCount(), 0);

    StudyInfo& series = MakeStudy({{"CT", 3, true}});
    ShowSelected(series);
    Title().ButtonAt(B::kPlay).click();
    EXPECT_TRUE(Title().TimerActive());
    EXPECT_TRUE(Title().IsCinePlaying());
    EXPECT_EQ(Image().cinePlaying, 1);
    EXPECT_TRUE(Title().ButtonAt(B::kPlay).isHidden());
    EXPECT_FALSE(Title().ButtonAt(B::kPause).isHidden());
    // Until the first tick the tooltip shows the set rate, not a millisecond count.
    Title().OnHScroll();
    EXPECT_EQ(Title().SpeedToolTip(), QStringLiteral("実値：11fps"));

    GetLoadState().skipWait = 0;
    Title().ButtonAt(B::kPause).click();
    EXPECT_FALSE(Title().TimerActive());
    EXPECT_EQ(Image().cinePlaying, 0);
    EXPECT_EQ(GetLoadState().skipWait.load(), 1);
    EXPECT_EQ(Title().SpeedToolTip(), QStringLiteral("設定値：12fps"));
    GetLoadState().skipWait = 0;
}

TEST_F(FrameTest, ToolButtonsPackLeftOfTheCineAreaByWidthAndReportMode)
{
    MakeFrame(1100, 800);
    EXPECT_EQ(Title().ButtonAt(B::kWindowLevel).x(), 445);
    EXPECT_TRUE(Title().ButtonAt(B::kReport).isHidden());
    EXPECT_FALSE(Title().ButtonAt(B::kMeasure).isHidden());
    EXPECT_TRUE(Title().ButtonAt(B::kText).isHidden());
    EXPECT_TRUE(Title().ButtonAt(B::kArrow).isHidden());
    EXPECT_TRUE(Title().ButtonAt(B::kPixelValue).isHidden());
    const int step = 54 + 5;
    EXPECT_EQ(Title().ButtonAt(B::kZoom).x(), 445 + step);
    EXPECT_EQ(Title().ButtonAt(B::kPan).x(), 445 + 2 * step);
    EXPECT_EQ(Title().ButtonAt(B::kMeasure).x(), 445 + 3 * step);
    // Play sits in the cine area right after the last shown button.
    EXPECT_EQ(Title().ButtonAt(B::kPlay).x(), 445 + 3 * step + 78);
    EXPECT_EQ(Title().ButtonAt(B::kHelp).x(), Title().SpeedSlider().x() + 195);

    GetCommonSettings().ModeSupportSR = 1;
    frame->resize(1300, 800);
    Pump();
    EXPECT_EQ(Title().ButtonAt(B::kReport).x(), 445);
    EXPECT_FALSE(Title().ButtonAt(B::kReport).isHidden());
    EXPECT_EQ(Title().ButtonAt(B::kWindowLevel).x(), 511);
    EXPECT_FALSE(Title().ButtonAt(B::kPixelValue).isHidden());
    EXPECT_EQ(Title().ButtonAt(B::kPixelValue).x(), 511 + 6 * 56);
    EXPECT_EQ(Title().ButtonAt(B::kHelp).x(), Title().SpeedSlider().x() + 152);
    EXPECT_EQ(Title().ButtonAt(B::kExit).x(), Title().ButtonAt(B::kHelp).x() + 56);
    EXPECT_TRUE(Title().IsReportEnabled());
}

TEST_F(FrameTest, CineRateTextAndIntervals)
{
    MakeFrame();
    // The slider shows the nearest speed, the timer keeps the default interval.
    EXPECT_EQ(Title().SpeedSlider().value(), 3);
    EXPECT_EQ(Title().PlayInterval(), 90);
    EXPECT_EQ(Title().SpeedToolTip(), QStringLiteral("設定値：12fps"));

    CXEVTitleFormView::SetTickClock(&FakeTicks);
    StudyInfo& study = MakeStudy({{"CT", 4, true}});
    ShowSelected(study);
    fakeNow = 1000;
    Title().OnPlayPause();
    ASSERT_TRUE(Title().IsCinePlaying());

    fakeNow += 2000;
    Title().OnTimer();
    EXPECT_DOUBLE_EQ(Title().MeasuredRate(), 0.5);
    EXPECT_EQ(Title().SpeedToolTip(), QStringLiteral("実値：1fps"));
    // Two ticks in one millisecond keep the last rate.
    Title().OnTimer();
    EXPECT_DOUBLE_EQ(Title().MeasuredRate(), 0.5);
    Title().SetMeasuredRate(29.97);
    EXPECT_EQ(Title().FrameRateText(), QStringLiteral("実値：29fps"));
    // The clock wraps: the unsigned difference still measures the step.
    fakeNow = 0xFFFFFFF0u;
    Title().OnTimer();
    fakeNow = 0x10u;
    Title().OnTimer();
    EXPECT_DOUBLE_EQ(Title().MeasuredRate(), 1000.0 / 32.0);

    // A tick steps the selected cell, wrapping after the last image.
    XEVImageViewCtrl& cell = *Image().GetSelectedView();
    const int32_t before = cell.GetPosition();
    Title().OnTimer();
    EXPECT_EQ(cell.GetPosition(), (before + 1) % cell.GetCineLength());

    // Moving the slider while playing restarts the timer at the new interval.
    Title().SpeedSlider().setValue(10);
    EXPECT_EQ(Title().PlayInterval(), 18);
    EXPECT_TRUE(Title().TimerActive());
    Title().OnPlayPause();
}

TEST_F(FrameTest, ToolButtonsSetTheToolAndLatchWithIt)
{
    MakeFrame();
    StudyInfo& study = MakeStudy({{"CT", 2, true}});
    ShowSelected(study);
    const struct {
        B::Button button;
        int32_t tool;
    } tools[] = {{B::kWindowLevel, kXEVToolWindowLevel}, {B::kZoom, kXEVToolZoom}, {B::kPan, kXEVToolPan},
                 {B::kMeasure, kXEVToolMeasure},         {B::kText, kXEVToolText}, {B::kArrow, kXEVToolArrow},
                 {B::kPixelValue, kXEVToolPixelValue}};
    for (const auto& t : tools) {
        Title().ButtonAt(t.button).click();
        Pump();
        EXPECT_EQ(GetLoadState().mouseTool.load(), t.tool) << t.button;
        for (const auto& other : tools) {
            EXPECT_EQ(Title().ButtonAt(other.button).Latched(), other.button == t.button ? 1 : 0)
                << t.button << " " << other.button;
        }
    }
    // An annotation tool latched by the image area's hint, not the tool bit.
    GetLoadState().mouseTool = 0;
    Title().UpdateToolButtons(kXEVToolArrow);
    EXPECT_TRUE(Title().IsArrowToolPressed());
    EXPECT_FALSE(Title().IsTextToolPressed());
}

TEST_F(FrameTest, ExitClosesTheFrame)
{
    MakeFrame();
    ASSERT_TRUE(frame->isVisible());
    Title().ButtonAt(B::kExit).click();
    Pump();
    EXPECT_FALSE(frame->isVisible());
}

TEST_F(FrameTest, TooltipsShowInTheirPanesFonts)
{
    auto& fonts = GetCommonSettings().Fonts;
    const auto saved = fonts;
    fonts[8].points = 20;
    fonts[9].points = 7;
    fonts[9].weight = 700;
    fonts[15].points = 16;
    MakeFrame();
    auto tipFontOf = [](QWidget& widget) {
        QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), widget.mapToGlobal(QPoint(2, 2)));
        QCoreApplication::sendEvent(&widget, &help);
        return QToolTip::font();
    };
    const QFont speed = tipFontOf(Title().SpeedSlider());
    const QFont button = tipFontOf(Title().ButtonAt(B::kZoom));
    const QFont layout = tipFontOf(Status().Slider());
    EXPECT_GT(speed.pixelSize(), layout.pixelSize());
    EXPECT_GT(layout.pixelSize(), button.pixelSize());
    EXPECT_TRUE(button.bold());
    EXPECT_FALSE(speed.bold());
    QToolTip::hideText();
    fonts = saved;
}
