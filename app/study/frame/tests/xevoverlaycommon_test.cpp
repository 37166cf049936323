#include "viewer/xevoverlaycommon.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "overlaytestsupport.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(OverlayCommon, HitsWithinFivePixelsOfASegment)
{
    struct Case {
        QPoint a, b, p;
        int32_t distance;   // -1: not checked
        int32_t hit;
    };
    const Case cases[] = {
        // A degenerate segment: distance 0 and a box of eleven pixels.
        {{7, 7}, {7, 7}, {300, -40}, 0, 0},
        {{7, 7}, {7, 7}, {12, 2}, -1, 1},
        {{7, 7}, {7, 7}, {13, 7}, -1, 0},
        {{10, 20}, {110, 20}, {60, 25}, 5, 1},
        {{10, 20}, {110, 20}, {60, 26}, 6, 0},
        // Slanted: |30 x 23 - 40 x 11| / 50 = 5, and |720 - 400| / 50 = 6.4.
        {{0, 0}, {40, 30}, {23, 11}, 5, 1},
        {{0, 0}, {40, 30}, {24, 10}, 6, 0},
        // Far points, where A x A and C pass 2^31.
        {{0, 0}, {200000, 200000}, {200000, 0}, static_cast<int32_t>(200000 / std::sqrt(2.0)), 0},
        {{-100000, 5}, {100000, 5}, {90000, 0}, 5, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.p.x() << "," << c.p.y());
        if (c.distance >= 0) {
            EXPECT_EQ(CXEVOverlayCommon::DistanceToLine(c.a, c.b, c.p), c.distance);
        }
        EXPECT_EQ(CXEVOverlayCommon::HitSegment(c.a, c.b, c.p), c.hit);
    }
}

TEST(OverlayCommon, TransformsRoundHalfUpAndRefuseBadScales)
{
    CXEVOverlayCommon common;
    // (3 - 0) x 1.5 + 0.5 = 5.0; 1 x 1.5 + 0.5 = 2.0.
    EXPECT_EQ(common.ImageToScreen({3, 1}, {0, 0}, {0, 0}, 1.5), QPoint(5, 2));
    // 7 / 2 + 0.5 = 4.0: the right half of pixel 3 goes to 4.
    EXPECT_EQ(common.ScreenToImage({7, 6}, {0, 0}, {0, 0}, 2.0), QPoint(4, 3));
    // Coordinates saturate at 2^30.
    EXPECT_EQ(common.ImageToScreen({2000000000, -2000000000}, {0, 0}, {0, 0}, 1e6), QPoint(1 << 30, -(1 << 30)));
    EXPECT_EQ(CXEVOverlayCommon::SaturateCoordinate(kNaN), 0);
    // A zoom that is not positive converts nothing.
    for (double zoom : {0.0, -1.0, kNaN}) {
        EXPECT_EQ(common.ScreenToImage({50, 60}, {3, 4}, {10, 20}, zoom), QPoint(10, 20)) << zoom;
        EXPECT_EQ(common.ImageToScreen({50, 60}, {10, 20}, {3, 4}, zoom), QPoint(3, 4)) << zoom;
    }

    common.verticalScale = 2.0;
    EXPECT_EQ(common.ImageToScreen({5, 17}, {5, 7}, {30, 40}, 1.0), QPoint(30, 60));
    EXPECT_EQ(common.ScreenToImage({30, 60}, {30, 40}, {5, 7}, 1.0), QPoint(5, 17));
    for (double v : {0.0, -2.0, kNaN, std::numeric_limits<double>::infinity()}) {
        common.verticalScale = v;
        EXPECT_EQ(common.ImageToScreen({4, 9}, {0, 0}, {0, 0}, 1.0), QPoint(4, 9)) << v;
        EXPECT_EQ(common.ScreenToImage({4, 9}, {0, 0}, {0, 0}, 1.0), QPoint(4, 9)) << v;
    }

    const XEVRect r{10, 20, 110, 220};
    EXPECT_EQ(CXEVOverlayCommon::ClampInside({10, 220}, r), QPoint(11, 219));
    EXPECT_EQ(CXEVOverlayCommon::ClampInside({500, -3}, r), QPoint(109, 21));
    EXPECT_EQ(CXEVOverlayCommon::ClampInside({50, 60}, r), QPoint(50, 60));
}

TEST(OverlayCommon, FarLinesAreClippedWidePensRoundAndDotsAlternate)
{
    // Ends far beyond Qt's 16-bit raster range: the visible part still lies on row 50.
    QImage image = Canvas(100, 100);
    QPainter painter(&image);
    CXEVOverlayCommon::DrawLine(painter, {-(1 << 30), 50}, {1 << 30, 50}, 0xFFFFFF, 1);
    CXEVOverlayCommon::DrawLine(painter, {30, -(1 << 30)}, {30, 1 << 30}, 0xFFFFFF, 1);
    painter.end();
    EXPECT_EQ(CountColour(image, QRect(0, 50, 100, 1), kWhite), 100);
    EXPECT_EQ(CountColour(image, QRect(30, 0, 1, 100), kWhite), 100);
    EXPECT_EQ(CountColour(image, image.rect(), kWhite), 199);

    // A round cap reaches 4 pixels past the end on the axis but not at the corner.
    QImage wide = Canvas(60, 60);
    painter.begin(&wide);
    CXEVOverlayCommon::DrawLine(painter, {20, 30}, {40, 30}, 0xFFFFFF, 8);
    painter.end();
    EXPECT_EQ(wide.pixel(43, 30), kWhite);
    EXPECT_EQ(wide.pixel(43, 33), kBlack);

    QImage dotted = Canvas(60, 10);
    painter.begin(&dotted);
    CXEVOverlayCommon::DrawDottedLine(painter, {0, 5}, {59, 5});
    painter.end();
    const int white = CountColour(dotted, QRect(0, 5, 60, 1), kWhite);
    EXPECT_GT(white, 15);
    EXPECT_LT(white, 45);
}

TEST(OverlayCommon, HandleIsAnInvertedSquareWithADarkFrame)
{
    QImage image = Canvas(40, 40);
    QPainter painter(&image);
    CXEVOverlayCommon::DrawHandle(painter, {20, 20});
    painter.end();
    EXPECT_EQ(image.pixel(20, 20), kWhite);   // inside: black inverted
    EXPECT_EQ(image.pixel(16, 16), kBlack);   // frame: white inverted
    EXPECT_EQ(image.pixel(23, 23), kBlack);
    EXPECT_EQ(image.pixel(24, 24), kBlack);   // outside untouched
    EXPECT_EQ(image.pixel(17, 22), kWhite);
}

TEST(OverlayCommon, ShadowTextIsWhiteOverBlackInsideItsBox)
{
    QImage image = Canvas(120, 40, kGrey);
    QPainter painter(&image);
    QFont font;
    font.setPixelSize(16);
    painter.setFont(font);
    int32_t w = 0;
    int32_t h = 0;
    CXEVOverlayCommon::MeasureSingleLine(painter, QStringLiteral("HHHH"), w, h);
    CXEVOverlayCommon::DrawShadowText(painter, {10, 10}, w, h, QStringLiteral("HHHH"));
    painter.end();
    const QRect box(10, 10, w + 2, h + 2);
    const int outside = 120 * 40 - box.width() * box.height();
    EXPECT_EQ(CountColour(image, image.rect(), kGrey) - CountColour(image, box, kGrey), outside);
    EXPECT_GT(CountColour(image, box, kWhite), 20);
    EXPECT_GT(CountColour(image, box, kBlack), 5);
}

TEST(OverlayCommon, CopyCalibrationLeavesTheScratchText)
{
    CXEVOverlayCommon a;
    a.modality = QStringLiteral("CT");
    a.scratchText = QStringLiteral("scratch");
    a.spacing2 = 0.7;
    a.verticalScale = 3.0;
    a.imageHeight = 20;
    a.calibrationFlag = 1;
    CXEVOverlayCommon b;
    b.CopyCalibration(a);
    EXPECT_EQ(b.modality, a.modality);
    EXPECT_TRUE(b.scratchText.isEmpty());
    EXPECT_EQ(b.spacing2, 0.7);
    EXPECT_EQ(b.verticalScale, 3.0);
    EXPECT_EQ(b.imageHeight, 20);
    EXPECT_EQ(b.calibrationFlag, 1);
    b.ResetCalibration();
    EXPECT_EQ(b.verticalScale, 1.0);
    EXPECT_EQ(b.imageHeight, 0);
    EXPECT_TRUE(b.modality.isEmpty());
}

}   // namespace
