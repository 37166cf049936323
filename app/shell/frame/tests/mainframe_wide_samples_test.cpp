// Images of 32-bit samples opened through the real frame's File Open: whatever the cell's
// size, and so whether the window map runs before or after the enlargement, each cell paints
// the window of the values it shows, and a window/level drag changes what it paints.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>

#include "discopentestsupport.h"

namespace {

// 100,000 per pixel along a row; the rows follow on.
constexpr double kStep = 100000;

class WideSamplesTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                    "/../app/testsupport/python /usr/bin/python3 -W ignore " +
                                    std::string(FRAME_TEST_DATA_DIR) + "/write_wide_ramp.py " + temp_.Path();
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // The file opened alone and its one cell, once it holds the pixels.
    XEVImageViewCtrl* OpenRamp(const char* name)
    {
        Open(temp_.Path() + "/" + name);
        const std::vector<XEVImageViewCtrl*> cells = ShowSeries(Series(0), 1);
        return cells.empty() ? nullptr : cells[0];
    }

    // Pixels of the drawn image, inside the cell's 3-pixel frame, more than 2 grey levels from
    // the window of the bilinear enlargement of the ramp (exact for a linear ramp, edge
    // pixels repeated). The corner texts are left out: the image's own pixels are compared.
    static int WrongGreys(XEVImageViewCtrl* cell, int side, double first)
    {
        cell->resize(side, side);
        Pump();
        cell->cornerTextsShown = 0;
        cell->update();
        const QImage image = Grab(*cell);
        const FrameImageInfo* shown = cell->CurrentImage()->GetHelper()->GetFrame(0);
        const QRect d = cell->destination;
        EXPECT_GE(d.width(), side - 8) << side;
        int wrong = 0;
        for (int y = std::max(d.top(), 3); y <= std::min(d.bottom(), side - 4); ++y) {
            for (int x = std::max(d.left(), 3); x <= std::min(d.right(), side - 4); ++x) {
                const double sx = std::clamp((x - d.left() + 0.5) * 64 / d.width() - 0.5, 0.0, 63.0);
                const double sy = std::clamp((y - d.top() + 0.5) * 64 / d.height() - 0.5, 0.0, 63.0);
                const int want = Windowed(first + kStep * (64 * sy + sx), shown->windowCenter, shown->windowWidth);
                const QRgb p = image.pixel(x, y);
                wrong += std::abs(qGray(p) - want) > 2 || qRed(p) != qBlue(p) ? 1 : 0;
            }
        }
        return wrong;
    }

    // The ramp at a small, a middle and a large cell; then a drag of the window/level tool.
    void ExpectRampPaintsItsWindow(const char* name, double first)
    {
        XEVImageViewCtrl* cell = OpenRamp(name);
        ASSERT_NE(cell, nullptr);
        const FrameImageInfo* shown = cell->CurrentImage()->GetHelper()->GetFrame(0);
        ASSERT_NE(shown, nullptr);
        // The default window spans the values the frame holds.
        const double last = first + kStep * 4095;
        EXPECT_NEAR(shown->windowWidth, last - first + 1, 1) << name;
        EXPECT_NEAR(shown->windowCenter, (first + last + 1) / 2, 1) << name;
        for (const int side : {128, 256, 900}) {
            EXPECT_EQ(WrongGreys(cell, side, first), 0) << name << " at " << side;
        }
        // A narrower window drawn from the tool: the ramp now reaches both ends of the greys.
        const double before = shown->windowWidth;
        GetLoadState().mouseTool = kXEVToolWindowLevel;
        Drag(*cell, {{100, 300}, {600, 300}});
        Pump();
        EXPECT_LT(shown->windowWidth, before) << name;
        EXPECT_EQ(WrongGreys(cell, 900, first), 0) << name << " after the drag";
        EXPECT_EQ(WrongGreys(cell, 128, first), 0) << name << " after the drag";
        const QImage image = Grab(*cell);
        const QRect d = cell->destination;
        EXPECT_EQ(qGray(image.pixel(d.left() + 4, d.top() + 4)), 0) << name;
        EXPECT_EQ(qGray(image.pixel(d.right() - 4, d.bottom() - 4)), 255) << name;
    }
};

}   // namespace

TEST_F(WideSamplesTest, UnsignedRampPaintsItsWindowAtEveryCellSize)
{
    ExpectRampPaintsItsWindow("RAMPU", 0);
}

TEST_F(WideSamplesTest, SignedRampPaintsItsWindowAtEveryCellSize)
{
    ExpectRampPaintsItsWindow("RAMPS", -204800000);
}
