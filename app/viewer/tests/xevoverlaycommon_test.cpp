#include "viewer/xevoverlaycommon.h"

#include <gtest/gtest.h>

#include "qtguitestapp.h"

#include <QImage>
#include <QPainter>

#include <cmath>
#include <limits>

namespace {

QImage Canvas(int w, int h, QRgb fill = qRgb(0, 0, 0))
{
    QImage image(w, h, QImage::Format_RGB32);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(fill);
    return image;
}

TEST(OverlayCommon, DegenerateSegmentHasDistanceZeroAndAnElevenPixelBox)
{
    EXPECT_EQ(CXEVOverlayCommon::DistanceToLine({7, 7}, {7, 7}, {300, -40}), 0);
    EXPECT_EQ(CXEVOverlayCommon::HitSegment({7, 7}, {7, 7}, {12, 2}), 1);
    EXPECT_EQ(CXEVOverlayCommon::HitSegment({7, 7}, {7, 7}, {13, 7}), 0);
}

TEST(OverlayCommon, FivePixelsFromASegmentHitsAndSixDoNot)
{
    const QPoint a(10, 20);
    const QPoint b(110, 20);
    EXPECT_EQ(CXEVOverlayCommon::HitSegment(a, b, {60, 25}), 1);
    EXPECT_EQ(CXEVOverlayCommon::HitSegment(a, b, {60, 26}), 0);
    // A slanted segment: 3-4-5 offsets put a point exactly 5 and about 6 away.
    EXPECT_EQ(CXEVOverlayCommon::DistanceToLine({0, 0}, {40, 30}, {23, 11}), 5);   // |30*23 - 40*11| / 50 = 5
    EXPECT_EQ(CXEVOverlayCommon::HitSegment({0, 0}, {40, 30}, {23, 11}), 1);
    EXPECT_EQ(CXEVOverlayCommon::HitSegment({0, 0}, {40, 30}, {24, 10}), 0);   // |720 - 400| / 50 = 6.4
}

TEST(OverlayCommon, DistanceOfFarPointsDoesNotOverflow)
{
    // A x A and C pass 2^31 beyond 46,341 pixels.
    const QPoint a(0, 0);
    const QPoint b(200000, 200000);
    const int32_t d = CXEVOverlayCommon::DistanceToLine(a, b, {200000, 0});
    EXPECT_EQ(d, static_cast<int32_t>(200000 / std::sqrt(2.0)));
    EXPECT_EQ(CXEVOverlayCommon::HitSegment({-100000, 5}, {100000, 5}, {90000, 0}), 1);
}

TEST(OverlayCommon, VerticalScaleStretchesRows)
{
    CXEVOverlayCommon common;
    common.verticalScale = 2.0;
    const QPoint origin(5, 7);
    const QPoint offset(30, 40);
    EXPECT_EQ(common.ImageToScreen({5, 17}, origin, offset, 1.0), QPoint(30, 60));
    EXPECT_EQ(common.ScreenToImage({30, 60}, offset, origin, 1.0), QPoint(5, 17));
}

TEST(OverlayCommon, TransformsRoundHalfUp)
{
    CXEVOverlayCommon common;
    // (3 - 0) * 1.5 + 0.5 = 5.0; (1) * 1.5 + 0.5 = 2.0 -> 2.
    EXPECT_EQ(common.ImageToScreen({3, 1}, {0, 0}, {0, 0}, 1.5), QPoint(5, 2));
    // 7 / 2 + 0.5 = 4.0: the right half of pixel 3 goes to 4.
    EXPECT_EQ(common.ScreenToImage({7, 6}, {0, 0}, {0, 0}, 2.0), QPoint(4, 3));
}

TEST(OverlayCommon, BadVerticalScaleCountsAsOne)
{
    for (double v : {0.0, -2.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        CXEVOverlayCommon common;
        common.verticalScale = v;
        EXPECT_EQ(common.ImageToScreen({4, 9}, {0, 0}, {0, 0}, 1.0), QPoint(4, 9)) << v;
        EXPECT_EQ(common.ScreenToImage({4, 9}, {0, 0}, {0, 0}, 1.0), QPoint(4, 9)) << v;
    }
}

TEST(OverlayCommon, ZoomThatIsNotPositiveConvertsNothing)
{
    CXEVOverlayCommon common;
    for (double zoom : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        EXPECT_EQ(common.ScreenToImage({50, 60}, {3, 4}, {10, 20}, zoom), QPoint(10, 20)) << zoom;
        EXPECT_EQ(common.ImageToScreen({50, 60}, {10, 20}, {3, 4}, zoom), QPoint(3, 4)) << zoom;
    }
}

TEST(OverlayCommon, CoordinatesSaturateAtTwoToTheThirty)
{
    CXEVOverlayCommon common;
    const QPoint p = common.ImageToScreen({2000000000, -2000000000}, {0, 0}, {0, 0}, 1e6);
    EXPECT_EQ(p, QPoint(1 << 30, -(1 << 30)));
    EXPECT_EQ(CXEVOverlayCommon::SaturateCoordinate(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(OverlayCommon, ClampInsideMovesStrictlyInside)
{
    const XEVRect r{10, 20, 110, 220};
    EXPECT_EQ(CXEVOverlayCommon::ClampInside({10, 220}, r), QPoint(11, 219));
    EXPECT_EQ(CXEVOverlayCommon::ClampInside({500, -3}, r), QPoint(109, 21));
    EXPECT_EQ(CXEVOverlayCommon::ClampInside({50, 60}, r), QPoint(50, 60));
}

TEST(OverlayCommon, FarLinesAreClippedBeforeTheyAreDrawn)
{
    // Ends far beyond Qt's 16-bit raster range: the visible part still lies on row 50.
    QImage image = Canvas(100, 100);
    QPainter painter(&image);
    CXEVOverlayCommon::DrawLine(painter, {-(1 << 30), 50}, {1 << 30, 50}, 0xFFFFFF, 1);
    CXEVOverlayCommon::DrawLine(painter, {30, -(1 << 30)}, {30, 1 << 30}, 0xFFFFFF, 1);
    painter.end();
    for (int x = 0; x < 100; ++x) {
        ASSERT_EQ(image.pixel(x, 50), qRgb(255, 255, 255)) << x;
        ASSERT_EQ(image.pixel(x, 49), x == 30 ? qRgb(255, 255, 255) : qRgb(0, 0, 0)) << x;
    }
    for (int y = 0; y < 100; ++y) {
        ASSERT_EQ(image.pixel(30, y), qRgb(255, 255, 255)) << y;
    }
}

TEST(OverlayCommon, WidePensAreRound)
{
    QImage image = Canvas(60, 60);
    QPainter painter(&image);
    CXEVOverlayCommon::DrawLine(painter, {20, 30}, {40, 30}, 0xFFFFFF, 8);
    painter.end();
    // A round cap reaches 4 pixels past the end on the axis but not at the corner.
    EXPECT_EQ(image.pixel(43, 30), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(43, 33), qRgb(0, 0, 0));
}

TEST(OverlayCommon, DottedLineAlternates)
{
    QImage image = Canvas(60, 10);
    QPainter painter(&image);
    CXEVOverlayCommon::DrawDottedLine(painter, {0, 5}, {59, 5});
    painter.end();
    int white = 0;
    for (int x = 0; x < 60; ++x) {
        white += image.pixel(x, 5) == qRgb(255, 255, 255) ? 1 : 0;
    }
    EXPECT_GT(white, 15);
    EXPECT_LT(white, 45);
}

TEST(OverlayCommon, HandleIsAnInvertedSquareWithADarkFrame)
{
    QImage image = Canvas(40, 40, qRgb(0, 0, 0));
    QPainter painter(&image);
    CXEVOverlayCommon::DrawHandle(painter, {20, 20});
    painter.end();
    EXPECT_EQ(image.pixel(20, 20), qRgb(255, 255, 255));   // inside: black inverted
    EXPECT_EQ(image.pixel(16, 16), qRgb(0, 0, 0));         // frame: white inverted
    EXPECT_EQ(image.pixel(23, 23), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(24, 24), qRgb(0, 0, 0));         // outside untouched
    EXPECT_EQ(image.pixel(17, 22), qRgb(255, 255, 255));
}

TEST(OverlayCommon, ShadowTextIsWhiteOverBlack)
{
    QImage image = Canvas(120, 40, qRgb(128, 128, 128));
    QPainter painter(&image);
    QFont font;
    font.setPixelSize(16);
    painter.setFont(font);
    int32_t w = 0;
    int32_t h = 0;
    CXEVOverlayCommon::MeasureSingleLine(painter, QStringLiteral("HHHH"), w, h);
    CXEVOverlayCommon::DrawShadowText(painter, {10, 10}, w, h, QStringLiteral("HHHH"));
    painter.end();
    int white = 0;
    int black = 0;
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 120; ++x) {
            white += image.pixel(x, y) == qRgb(255, 255, 255);
            black += image.pixel(x, y) == qRgb(0, 0, 0);
            if (x < 10 || y < 10 || x > 11 + w || y > 11 + h) {
                ASSERT_EQ(image.pixel(x, y), qRgb(128, 128, 128)) << x << "," << y;
            }
        }
    }
    EXPECT_GT(white, 20);
    EXPECT_GT(black, 5);
}

TEST(OverlayCommon, CopyCalibrationLeavesTheScratchText)
{
    CXEVOverlayCommon a;
    a.sopClassUid = QStringLiteral("1.2");
    a.modality = QStringLiteral("CT");
    a.scratchText = QStringLiteral("scratch");
    a.spacing1 = 0.5;
    a.spacing2 = 0.7;
    a.aspectBase = 2.0;
    a.verticalScale = 3.0;
    a.imageWidth = 10;
    a.imageHeight = 20;
    a.calibrationFlag = 1;
    a.calibrationText = QStringLiteral("HU");
    CXEVOverlayCommon b;
    b.CopyCalibration(a);
    EXPECT_EQ(b.sopClassUid, a.sopClassUid);
    EXPECT_EQ(b.modality, a.modality);
    EXPECT_TRUE(b.scratchText.isEmpty());
    EXPECT_EQ(b.spacing2, 0.7);
    EXPECT_EQ(b.verticalScale, 3.0);
    EXPECT_EQ(b.imageHeight, 20);
    EXPECT_EQ(b.calibrationFlag, 1);
    EXPECT_EQ(b.calibrationText, a.calibrationText);
    b.ResetCalibration();
    EXPECT_EQ(b.aspectBase, 1.0);
    EXPECT_EQ(b.imageWidth, 0);
    EXPECT_TRUE(b.modality.isEmpty());
}

}   // namespace
