// Painting a cell: window and level, inversion, zoom and fitting, frames, the progress bar,
// corner texts and the bitmap hand-over, read back from grabs.

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "study/xevloadstate.h"
#include "testsupport/viewtestsupport.h"

namespace {

// A cell of that size in a recording parent, showing the decoded fixtures when given.
struct Cell {
    Cell(int w, int h, const std::vector<const char*>& names = {}) : set(names, true), view(&parent, 9001)
    {
        parent.resize(w + 20, h + 20);
        view.setGeometry(0, 0, w, h);
        if (!names.empty()) {
            view.SetImages(set.Pointers());
            view.SetupFirstImage();
        }
    }
    ImageSet set;   // outlives the cell, which holds the images' addresses
    MessageLog parent;
    XEVImageViewCtrl view;
};

// The quadrant centres top left, top right, bottom left, bottom right.
std::vector<int> Quadrants(XEVImageViewCtrl& view)
{
    const QImage image = Grab(view);
    return {Gray(image, 64, 64), Gray(image, 192, 64), Gray(image, 64, 192), Gray(image, 192, 192)};
}

std::vector<int> WindowedQuadrants(double centre, double width)
{
    return {Windowed(0, centre, width), Windowed(1000, centre, width), Windowed(2000, centre, width),
            Windowed(3000, centre, width)};
}

TEST(ImageViewPaint, WindowLevelFollowsTheClosedForm)
{
    Cell cell(256, 256, {"quad16.dcm"});
    EXPECT_EQ(WindowedQuadrants(1500, 2000), (std::vector<int>{0, 64, 192, 255}));
    EXPECT_EQ(Quadrants(cell.view), WindowedQuadrants(1500, 2000));
    cell.view.SetWindowAll(1000, 500);
    EXPECT_EQ(Quadrants(cell.view), WindowedQuadrants(1000, 500));
    // A width of zero paints as one.
    FrameImageInfo* frame = cell.set[0]->GetHelper()->GetFrame(0);
    frame->windowCenter = 1500;
    frame->windowWidth = 0;
    EXPECT_EQ(Quadrants(cell.view), (std::vector<int>{0, 0, 255, 255}));
    EXPECT_GE(frame->windowWidth, 1.0);
}

TEST(ImageViewPaint, MonochromeOneAndTheInvertCommand)
{
    Cell cell(256, 256, {"quad16_mono1.dcm"});
    EXPECT_EQ(Quadrants(cell.view), (std::vector<int>{255, 191, 63, 0}));

    // Only the active cell inverts.
    cell.view.OnCommand(ID_XEV_INVERT);
    Pump();
    EXPECT_EQ(cell.parent.Count(WM_XEV_INVERT), 0);
    ASSERT_TRUE(cell.view.SetActive(true));
    cell.view.OnCommand(ID_XEV_INVERT);
    EXPECT_EQ(Quadrants(cell.view), (std::vector<int>{0, 64, 192, 255}));
    Pump();
    ASSERT_EQ(cell.parent.Count(WM_XEV_INVERT), 1);
    EXPECT_EQ(cell.parent.messages.back().wParam, 9001u);
}

// Bright pixels along the middle row of a grab.
int BrightRun(const QImage& image, int y)
{
    int n = 0;
    for (int x = 0; x < image.width(); ++x) {
        n += Gray(image, x, y) > 128 ? 1 : 0;
    }
    return n;
}

TEST(ImageViewPaint, ZoomScalesFromTheSourceCentreAndPicksTheMethod)
{
    Cell cell(64, 64, {"square.dcm"});
    EXPECT_NEAR(BrightRun(Grab(cell.view), 32), 16, 1);
    EXPECT_EQ(cell.set[0]->GetHelper()->scaleMode, 1);

    cell.view.zoomMode = XEVImageViewCtrl::kZoomed;
    cell.view.zoomed = 1;
    cell.view.baseScale = 2.0;
    cell.view.update();
    const QImage zoomed = Grab(cell.view);
    EXPECT_NEAR(BrightRun(zoomed, 32), 32, 1);
    EXPECT_EQ(cell.view.sourceLeft, 16);
    EXPECT_EQ(cell.view.sourceRight, 48);

    cell.view.zoomIncrement = 0.5;
    EXPECT_NEAR(BrightRun(Grab(cell.view), 32), 40, 1);
    EXPECT_EQ(cell.set[0]->GetHelper()->scaleMode, 2);
}

TEST(ImageViewPaint, WideFrameIsFittedAndCentredAndTheMouseFollows)
{
    Cell cell(300, 300, {"wide.dcm"});
    const QImage image = Grab(cell.view);
    EXPECT_DOUBLE_EQ(cell.view.baseScale, 300.0 / 512);
    EXPECT_EQ(cell.view.destination, QRect(0, 75, 300, 150));
    EXPECT_EQ(Gray(image, 150, 73), 0);
    EXPECT_EQ(Gray(image, 150, 76), 200);
    EXPECT_EQ(Gray(image, 150, 223), 200);
    EXPECT_EQ(Gray(image, 150, 226), 0);
    // The tools' hot spots shift the cursor.
    EXPECT_TRUE(cell.view.HitTest(QPoint(10, 80), 1));
    EXPECT_FALSE(cell.view.HitTest(QPoint(10, 70), 1));
    EXPECT_TRUE(cell.view.HitTest(QPoint(10, 70), 8));
    EXPECT_FALSE(cell.view.HitTest(QPoint(290, 80), 32));
    EXPECT_TRUE(cell.view.HitTest(QPoint(10, 50), 64));
    EXPECT_EQ(cell.view.ClientToImage(QPoint(150, 150)), QPoint(256, 128));
    EXPECT_EQ(cell.view.CursorArea(true).size(), QSize(300, 150));
}

TEST(ImageViewPaint, GeometryNeverStartsOutsideTheClient)
{
    XEVImageViewCtrl view(nullptr, 9001);
    view.zoomMode = XEVImageViewCtrl::kZoomed;
    view.zoomed = 1;
    view.keepPosition = 1;
    for (double scale : {0.3, 1.0, 2.5, 7.0}) {
        for (int width : {4, 33, 300, 1000}) {
            view.baseScale = scale;
            view.sourceLeft = 0;
            view.sourceTop = 0;
            view.sourceRight = width;
            view.sourceBottom = 77;
            const XEVViewGeometry g = view.ComputeGeometry(200, 150, width, 77, 1.0);
            ASSERT_TRUE(g.drawable);
            EXPECT_GE(g.destination.x(), 0);
            EXPECT_GE(g.destination.y(), 0);
            EXPECT_GE(g.sourceLeft, 0);
            EXPECT_LE(g.sourceRight, width);
            EXPECT_LE(g.sourceBottom, 77);
        }
    }
    // Sizes that leave nothing to draw, and aspects that are no positive number.
    EXPECT_FALSE(view.ComputeGeometry(200, 150, 0, 77, 1.0).drawable);
    EXPECT_FALSE(view.ComputeGeometry(200, 150, 10, 0, 1.0).drawable);
    EXPECT_FALSE(view.ComputeGeometry(0, 150, 10, 10, 1.0).drawable);
    EXPECT_FALSE(view.ComputeGeometry(200, 150, 10, 1, 0.2).drawable);
    view.zoomMode = XEVImageViewCtrl::kFit;
    for (double aspect : {0.0, -2.0, double(NAN), double(INFINITY)}) {
        const XEVViewGeometry g = view.ComputeGeometry(200, 200, 100, 100, aspect);
        ASSERT_TRUE(g.drawable);
        EXPECT_EQ(g.destination, QRect(0, 0, 200, 200));
    }
}

TEST(ImageViewPaint, EmptyCellIsBlackWithItsFrame)
{
    Cell cell(100, 80);
    QImage image = Grab(cell.view);
    EXPECT_TRUE(IsColour(image, 0, 0, 49, 49, 49));
    EXPECT_TRUE(IsColour(image, 99, 40, 49, 49, 49));
    EXPECT_TRUE(IsColour(image, 1, 1, 0, 0, 0));
    EXPECT_TRUE(IsColour(image, 50, 40, 0, 0, 0));

    cell.view.active = 1;
    image = Grab(cell.view);
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(IsColour(image, i, 40, 35, 140, 114)) << i;
        EXPECT_TRUE(IsColour(image, 50, 79 - i, 35, 140, 114)) << i;
    }
    EXPECT_TRUE(IsColour(image, 3, 40, 0, 0, 0));

    cell.view.selected = 1;
    image = Grab(cell.view);
    EXPECT_TRUE(IsColour(image, 0, 40, 255, 255, 255));
    EXPECT_TRUE(IsColour(image, 1, 40, 35, 140, 114));

    cell.view.active = 0;
    cell.view.selected = 0;
    cell.view.tileMode = 1;
    image = Grab(cell.view);
    EXPECT_TRUE(IsColour(image, 0, 0, 0, 0, 0));
}

TEST(ImageViewPaint, ProgressBarAndLastFrame)
{
    Cell cell(404, 100, {"multi4.dcm"});
    cell.view.currentFrame = -1;
    cell.view.progressShown = 1;
    cell.view.progressTotal = 10;
    cell.view.loadedCount = 5;
    const QImage image = Grab(cell.view);
    for (int y : {100 - 5, 100 - 3}) {
        EXPECT_TRUE(IsColour(image, 2, y, 0, 255, 0));
        EXPECT_TRUE(IsColour(image, 199, y, 0, 255, 0));
        EXPECT_FALSE(IsColour(image, 201, y, 0, 255, 0));
    }
    // Frames hold 0, 40, 80, 120: -1 shows the last.
    EXPECT_EQ(Gray(image, 202, 40), 120);
}

TEST(ImageViewPaint, CornerTextsCarryTheViewValues)
{
    Cell cell(256, 256, std::vector<const char*>(10, "small.dcm"));
    ASSERT_EQ(cell.view.GoToImage(2), 0);
    FrameImageInfo* frame = cell.set[2]->GetHelper()->GetFrame(0);
    XEVOverlaySettingInfoItem page;
    page.kind = XEVOverlaySettingInfoItem::kMacro;
    page.macroName = kXEVMacroPage;
    frame->viewInfo.positions[0].push_back(page);
    XEVOverlaySettingInfoItem zoom = page;
    zoom.macroName = kXEVMacroZoom;
    frame->viewInfo.positions[7].push_back(zoom);

    XEVOverlayViewInfo texts = cell.view.BuildCornerTexts();
    EXPECT_EQ(texts.pageText, QStringLiteral("3 of 10"));
    cell.view.baseScale = 1.0;
    EXPECT_EQ(cell.view.BuildCornerTexts().zoomText, QStringLiteral("1"));
    EXPECT_EQ(cell.view.BuildCornerTexts().windowCenterText, QStringLiteral("128"));
    cell.view.tileMode = 1;
    cell.view.cellsPerPage = 4;
    EXPECT_EQ(cell.view.BuildCornerTexts().pageText, QStringLiteral("1 of 3"));
    cell.view.tileMode = 0;
    cell.view.zoomIncrement = 0.5;
    EXPECT_EQ(cell.view.BuildCornerTexts().zoomText, QStringLiteral("1.50"));
    cell.view.zoomIncrement = 0.0;
    cell.view.dragInProgress = 1;
    EXPECT_EQ(cell.view.BuildCornerTexts().zoomText, QStringLiteral("1.00"));
    cell.view.dragInProgress = 0;

    // White text in the upper-left and lower-right corners, none in the middle.
    const auto whiteIn = [](const QImage& image, QRect area) {
        int n = 0;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                n += IsColour(image, x, y, 255, 255, 255) ? 1 : 0;
            }
        }
        return n;
    };
    QImage image = Grab(cell.view);
    EXPECT_GT(whiteIn(image, QRect(3, 3, 80, 30)), 0);
    EXPECT_GT(whiteIn(image, QRect(256 - 80, 256 - 30, 77, 27)), 0);
    EXPECT_EQ(whiteIn(image, QRect(60, 60, 130, 130)), 0);
    cell.view.cornerTextsShown = 0;
    image = Grab(cell.view);
    EXPECT_EQ(whiteIn(image, QRect(3, 3, 80, 30)), 0);
}

// A packed bitmap of 8-bit grey rows, bottom-up, as the renderer writes it.
std::vector<uint8_t> GreyDib(int32_t width, int32_t height, uint32_t stated)
{
    const uint32_t stride = (uint32_t(width) + 3) & ~3u;
    std::vector<uint8_t> dib(40 + 1024 + stride * height);
    const auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&dib[at], &v, 4); };
    put32(0, 40);
    put32(4, uint32_t(width));
    put32(8, uint32_t(height));
    dib[12] = 1;
    dib[14] = 8;
    put32(20, stated);
    for (int i = 0; i < 256; ++i) {
        dib[40 + i * 4] = dib[41 + i * 4] = dib[42 + i * 4] = uint8_t(i);
    }
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            dib[40 + 1024 + (height - 1 - y) * stride + x] = uint8_t(y * 10 + x);
        }
    }
    return dib;
}

TEST(ImageViewPaint, BitmapRowsAreCountedFromTheirOwnSizes)
{
    std::vector<uint8_t> dib = GreyDib(5, 3, 0);
    QImage image = XEVDibToImage(dib.data(), dib.size());
    ASSERT_EQ(image.size(), QSize(5, 3));
    EXPECT_EQ(qRed(image.pixel(4, 0)), 4);
    EXPECT_EQ(qRed(image.pixel(1, 2)), 21);
    // A stated image size beyond the buffer changes nothing; rows past the end refuse.
    dib = GreyDib(5, 3, 1u << 30);
    EXPECT_FALSE(XEVDibToImage(dib.data(), dib.size()).isNull());
    EXPECT_TRUE(XEVDibToImage(dib.data(), dib.size() - 1).isNull());
    EXPECT_TRUE(XEVDibToImage(dib.data(), 39).isNull());
    // A height that would pass the buffer, and a compressed bitmap.
    uint32_t tall = 100000;
    std::memcpy(&dib[8], &tall, 4);
    EXPECT_TRUE(XEVDibToImage(dib.data(), dib.size()).isNull());
    dib = GreyDib(5, 3, 0);
    dib[16] = 1;
    EXPECT_TRUE(XEVDibToImage(dib.data(), dib.size()).isNull());
}

// Widths around the 16-pixel steps of the grey spread, into a fresh image and into the
// memory of the previous one: every pixel opaque grey, rows turned top-down.
TEST(ImageViewPaint, GreyBitmapSpreadsEveryPixelOfEveryWidth)
{
    QImage reused;
    for (int32_t width : {1, 15, 16, 17, 33, 47}) {
        const std::vector<uint8_t> dib = GreyDib(width, 4, 0);
        for (QImage* target : {&reused, &reused}) {
            ASSERT_TRUE(XEVDibToImage(dib.data(), dib.size(), *target));
            ASSERT_EQ(target->size(), QSize(width, 4));
            for (int y = 0; y < 4; ++y) {
                for (int x = 0; x < width; ++x) {
                    const uint32_t v = uint8_t(y * 10 + x);
                    ASSERT_EQ(target->pixel(x, y), 0xFF000000u | v << 16 | v << 8 | v) << width << " " << x << "," << y;
                }
            }
        }
    }
}

TEST(ImageViewPaint, ShowReportReachesTheMainFrameWhenThePaneAllows)
{
    MessageLog frame;
    XEVImageViewCtrl view(&frame, 9001);
    view.OnCommand(ID_XEV_SHOW_REPORT);
    EXPECT_EQ(frame.Count(WM_XEV_SHOW_REPORT), 1);
    TitlePane pane;
    pane.reportEnabled = false;
    XEVSetTitlePane(&pane);
    view.OnCommand(ID_XEV_SHOW_REPORT);
    EXPECT_EQ(frame.Count(WM_XEV_SHOW_REPORT), 1);
    pane.reportEnabled = true;
    view.OnCommand(ID_XEV_SHOW_REPORT);
    EXPECT_EQ(frame.Count(WM_XEV_SHOW_REPORT), 2);
    XEVSetTitlePane(nullptr);
}

}   // namespace
