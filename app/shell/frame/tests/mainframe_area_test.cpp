// The image area follows its pane through the real frame and a disc: full screen on and off, a
// resize of the window and a move of the splitter lay the cells out again over the whole pane,
// the series tiles as the study grid, and each cell in sight paints its image at its new size.

#include <QScrollBar>

#include <functional>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "testsupport/slowdisc.h"

namespace {

std::string Text(const QRect& r)
{
    return std::to_string(r.x()) + "," + std::to_string(r.y()) + " " + std::to_string(r.width()) + "x" +
           std::to_string(r.height());
}

class AreaTest : public DiscOpenTest {
protected:
    // Five series of twelve 64 x 64 images, their study shown in the grid.
    void OpenDisc()
    {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {5, 12, 64}));
        frame->OnAgreementClosed(1);
        Open(temp_ / "disc/DICOMDIR");
        ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }));
    }

    // The grid's area: the pane less its scroll bar.
    QRect Area()
    {
        QRect area = Image().rect();
        if (!Image().ScrollBar().isHidden()) {
            area.setRight(Image().ScrollBar().x() - 1);
        }
        return area;
    }

    std::vector<XEVImageViewCtrl*> Shown()
    {
        std::vector<XEVImageViewCtrl*> shown;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (!cell->isHidden()) {
                shown.push_back(cell);
            }
        }
        return shown;
    }

    // What keeps the cells shown from lying inside the area, each on its own, and covering it;
    // "" when nothing does. Rows scrolled to may leave the area's odd pixel row below them.
    std::string Misfit()
    {
        const QRect area = Area();
        QRegion covered;
        for (XEVImageViewCtrl* cell : Shown()) {
            const QRect at = cell->geometry();
            const std::string name = "cell " + std::to_string(cell->ControlId()) + " at " + Text(at);
            if (!area.contains(at)) {
                return name + " leaves the area " + Text(area);
            }
            if (covered.intersects(at)) {
                return name + " overlaps another";
            }
            covered += at;
        }
        const QRect bound = covered.boundingRect();
        if (covered != QRegion(bound) || bound.topLeft() != area.topLeft() || area.right() - bound.right() > 1 ||
            area.bottom() - bound.bottom() > 1) {
            return "the cells cover " + Text(bound) + " of the area " + Text(area);
        }
        return "";
    }

    // What keeps a cell in sight from showing its image's pixels, rendered to fit its size now
    // (as large as the cell allows along one side), or "".
    std::string Unpainted()
    {
        for (XEVImageViewCtrl* cell : Shown()) {
            if (cell->CurrentImage() == nullptr) {
                continue;
            }
            const std::string name = "cell " + std::to_string(cell->ControlId());
            if (!cell->HasFramePixels(cell->currentFrame)) {
                return name + " has no pixels";
            }
            const QSize rendered = cell->RenderedImage().size();
            const QSize size = cell->size();
            if (rendered.width() > size.width() || rendered.height() > size.height() ||
                (rendered.width() < size.width() - 2 && rendered.height() < size.height() - 2)) {
                return name + " rendered " + std::to_string(rendered.width()) + "x" +
                       std::to_string(rendered.height()) + " for " + Text(cell->geometry());
            }
        }
        return "";
    }

    void Stage(const std::string& name, const std::function<void()>& change)
    {
        const QSize before = Image().size();
        change();
        ASSERT_TRUE(PumpUntil([&] { return Image().size() != before; })) << name;
        ASSERT_TRUE(PumpUntil([&] { return Misfit().empty(); })) << name << ": " << Misfit();
        EXPECT_TRUE(PumpUntil([&] { return Unpainted().empty(); })) << name << ": " << Unpainted();
    }

    // Full screen on and off from the status pane, the window made smaller and larger, the
    // splitter moved.
    void EveryChange(const std::function<void()>& check)
    {
        ASSERT_TRUE(PumpUntil([this] { return Image().GetSelectedView() != nullptr; }));
        Stage("full screen on", [this] { Status().FullScreen().click(); });
        ASSERT_EQ(Status().FullScreen().state, 1);
        ASSERT_TRUE(frame->GetListView()->isHidden());
        check();
        Stage("full screen off", [this] { Status().Stack().click(); });
        ASSERT_FALSE(frame->GetListView()->isHidden());
        check();
        Stage("1000 x 700", [this] { frame->resize(1000, 700); });
        check();
        Stage("1500 x 1100", [this] { frame->resize(1500, 1100); });
        check();
        Stage("splitter moved", [this] {
            const QList<int> widths = frame->InnerSplitter()->sizes();
            frame->InnerSplitter()->setSizes({widths[0] + 150, widths[1] - 150});
        });
        check();
    }
};

}   // namespace

TEST_F(AreaTest, SeriesTilesFollowThePane)
{
    OpenDisc();
    ASSERT_EQ(ShowSeries(Series(1), 9).size(), 9U);
    ASSERT_EQ(Image().activeMode, 1);
    ASSERT_EQ(Shown().size(), 9U);
    EXPECT_EQ(Misfit(), "");
    EveryChange([this] { EXPECT_EQ(Shown().size(), 9U); });
    if (HasFatalFailure()) {
        return;
    }
    // One tile: the slider's last position.
    Status().Slider().setValue(8);
    ASSERT_TRUE(PumpUntil([this] { return Image().layoutIndex == 0 && Shown().size() == 1; }));
    EveryChange([this] { EXPECT_EQ(Shown().size(), 1U); });
}

TEST_F(AreaTest, ScrolledStudyGridFollowsThePane)
{
    OpenDisc();
    ASSERT_EQ(Image().activeMode, 0);
    // 2 x 2 for five series: three rows, scrolled to the second.
    Status().Slider().setValue(6);
    ASSERT_TRUE(PumpUntil([this] { return Image().layoutIndex == 2 && Image().ScrollHeight() > 0; }));
    Image().ScrollTo(Image().ScrollBar().singleStep());
    ASSERT_EQ(Image().FirstVisibleRow(), 1);
    ASSERT_TRUE(PumpUntil([this] { return !Image().CellsComing() && frame->FirstCellsLoaded(); }));
    EXPECT_EQ(Misfit(), "");
    EveryChange([this] {
        EXPECT_EQ(Shown().size(), 4U);
        EXPECT_EQ(Image().FirstVisibleRow(), 1);
    });
}
