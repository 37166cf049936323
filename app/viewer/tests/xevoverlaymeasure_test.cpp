#include "viewer/xevoverlaymeasure.h"

#include <gtest/gtest.h>

#include "qtguitestapp.h"

#include <QImage>
#include <QPainter>

#include <cmath>
#include <vector>

#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"
#include "viewer/xevoverlaymanager.h"

namespace {

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kBlack = qRgb(0, 0, 0);

QImage Canvas(int w, int h, QRgb fill = kBlack)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.setDotsPerMeterX(3780);
    image.setDotsPerMeterY(3780);
    image.fill(fill);
    return image;
}

bool WhiteNear(const QImage& image, double x, double y, int reach = 1)
{
    const int cx = static_cast<int>(std::lround(x));
    const int cy = static_cast<int>(std::lround(y));
    for (int dy = -reach; dy <= reach; ++dy) {
        for (int dx = -reach; dx <= reach; ++dx) {
            if (image.valid(cx + dx, cy + dy) && image.pixel(cx + dx, cy + dy) == kWhite) {
                return true;
            }
        }
    }
    return false;
}

// A frame of 100 x 100 pixels with spacing 0.5 / 0.5, seen at zoom 2 from the top-left.
void Calibrate(CXEVOverlayCommon& c)
{
    c.spacing1 = 0.5;
    c.spacing2 = 0.5;
    c.imageWidth = 100;
    c.imageHeight = 100;
}
const XEVOverlayView kZoom2{nullptr, {0, 0}, {0, 0}, 2.0};

TEST(OverlayMeasure, LengthAndCalibrationMark)
{
    CXEVOverlayMeasure m;
    Calibrate(m);
    m.start = {10, 10};
    m.Drag(kZoom2, {50, 40});
    // sqrt((40 x 0.5)^2 + (30 x 0.5)^2) / 2
    EXPECT_EQ(m.labelText, QStringLiteral("12.50mm"));
    EXPECT_EQ(m.complete, 1);
    CXEVOverlayMeasure flagged;
    Calibrate(flagged);
    flagged.calibrationFlag = 1;
    flagged.start = {10, 10};
    flagged.Drag(kZoom2, {50, 40});
    EXPECT_EQ(flagged.labelText, QStringLiteral("12.50mm *"));
}

TEST(OverlayMeasure, PointerOutsideTheImageLeavesTheEnd)
{
    CXEVOverlayMeasure m;
    Calibrate(m);
    m.start = {10, 10};
    m.Drag(kZoom2, {50, 40});
    m.Drag(kZoom2, {200, 40});   // the image ends at 200 on the screen
    EXPECT_EQ(m.end, QPoint(50, 40));
}

TEST(OverlayMeasure, AspectCorrectsTheVerticalSpacing)
{
    CXEVOverlayMeasure m;
    Calibrate(m);
    m.verticalScale = 2.0;   // rows are drawn twice as tall: 20 screen rows are 10 image rows
    m.start = {0, 0};
    m.Drag({nullptr, {0, 0}, {0, 0}, 1.0}, {0, 20});
    EXPECT_EQ(m.labelText, QStringLiteral("5.00mm"));
}

TEST(OverlayMeasure, BadVerticalScaleMeasuresAsOne)
{
    for (double v : {0.0, -3.0, std::nan("")}) {
        CXEVOverlayMeasure m;
        Calibrate(m);
        m.verticalScale = v;
        m.start = {10, 10};
        m.Drag(kZoom2, {50, 40});
        EXPECT_EQ(m.labelText, QStringLiteral("12.50mm")) << v;
    }
}

TEST(OverlayMeasure, ZoomThatIsNotPositiveMeasuresNothing)
{
    CXEVOverlayMeasure m;
    Calibrate(m);
    m.start = {10, 10};
    m.end = {50, 40};
    EXPECT_EQ(m.GetLabelText(0.0), QStringLiteral("0.00mm"));
    m.length = 0.0;
    EXPECT_EQ(m.GetLabelText(-2.0), QStringLiteral("0.00mm"));
}

TEST(OverlayMeasure, HugeSpacingGivesALongLabel)
{
    CXEVOverlayMeasure m;
    Calibrate(m);
    m.spacing1 = 1e300;
    m.spacing2 = 1e300;
    m.start = {10, 10};
    m.Drag(kZoom2, {50, 40});
    EXPECT_GT(m.labelText.size(), 300);
    EXPECT_TRUE(m.labelText.endsWith(QStringLiteral("mm")));
    EXPECT_TRUE(m.labelText.startsWith(QStringLiteral("25")));   // 2.5e301
}

TEST(OverlayMeasure, ClickWithoutMoveIsDiscardedAndReleaseAtTheStartIsKept)
{
    XEVOverlayManager manager;
    Calibrate(manager);
    manager.BeginMeasure({10, 10});
    manager.EndMeasure(kZoom2, {10, 10});
    EXPECT_TRUE(manager.measures.empty());

    manager.BeginMeasure({10, 10});
    manager.DragMeasure(kZoom2, {30, 30});
    manager.DragMeasure(kZoom2, {10, 10});
    manager.EndMeasure(kZoom2, {10, 10});
    ASSERT_EQ(manager.measures.size(), 1u);
    EXPECT_EQ(manager.measures.begin()->second->labelText, QStringLiteral("0.00mm"));
}

TEST(OverlayMeasure, EndDraggedOutOfTheImageStaysOnePixelInside)
{
    XEVOverlayManager manager;
    Calibrate(manager);
    manager.BeginMeasure({10, 10});
    manager.DragMeasure(kZoom2, {50, 40});
    manager.EndMeasure(kZoom2, {50, 40});
    ASSERT_EQ(manager.SelectAt({51, 41}), 1);
    CXEVOverlayMeasure& m = *manager.measures.at(1);
    EXPECT_EQ(m.dragMode, CXEVOverlayMeasure::kModeEnd);
    manager.DragSelected(kZoom2, {900, 700});
    EXPECT_EQ(m.end, QPoint(199, 199));
    EXPECT_EQ(m.start, QPoint(10, 10));
    EXPECT_EQ(m.dragAnchor, QPoint(199, 199));
}

TEST(OverlayMeasure, WholeDragAgainstTheBorderKeepsTheLength)
{
    XEVOverlayManager manager;
    Calibrate(manager);
    manager.BeginMeasure({10, 10});
    manager.DragMeasure(kZoom2, {50, 40});
    manager.EndMeasure(kZoom2, {50, 40});
    ASSERT_EQ(manager.SelectAt({30, 25}), 1);
    CXEVOverlayMeasure& m = *manager.measures.at(1);
    EXPECT_EQ(m.dragMode, CXEVOverlayMeasure::kModeWhole);
    manager.DragSelected(kZoom2, {-500, 25});
    EXPECT_EQ(m.start.x(), 1);
    EXPECT_EQ(m.end - m.start, QPoint(40, 30));
    EXPECT_EQ(m.labelText, QStringLiteral("12.50mm"));
}

QImage DrawManager(XEVOverlayManager& manager, QPoint origin, QPoint offset, double zoom, int size = 240)
{
    QImage image = Canvas(size, size);
    QPainter painter(&image);
    manager.DrawAll(painter, origin, offset, zoom);
    painter.end();
    return image;
}

TEST(OverlayMeasure, PressNearTheStartGrabsItAndDrawsNoHandles)
{
    XEVOverlayManager manager;
    Calibrate(manager);
    manager.BeginMeasure({10, 10});
    manager.DragMeasure(kZoom2, {50, 40});
    manager.EndMeasure(kZoom2, {50, 40});
    const QImage plain = DrawManager(manager, {0, 0}, {0, 0}, 2.0);

    ASSERT_EQ(manager.SelectAt({14, 6}), 1);
    CXEVOverlayMeasure& m = *manager.measures.at(1);
    EXPECT_EQ(m.dragMode, CXEVOverlayMeasure::kModeStart);
    EXPECT_EQ(DrawManager(manager, {0, 0}, {0, 0}, 2.0), plain);

    // Grabbed by the middle, the selection shows its handles.
    manager.DeselectAll();
    ASSERT_EQ(manager.SelectAt({30, 25}), 1);
    const QImage handles = DrawManager(manager, {0, 0}, {0, 0}, 2.0);
    EXPECT_NE(handles, plain);
    EXPECT_NE(handles.pixel(10, 10), plain.pixel(10, 10));
}

TEST(OverlayMeasure, CommittedMeasurementFollowsTheZoom)
{
    // Drawn at zoom 1 from image points (10, 10)-(50, 40), then shown at zoom 2.
    XEVOverlayManager manager;
    Calibrate(manager);
    const XEVOverlayView zoom1{nullptr, {0, 0}, {0, 0}, 1.0};
    manager.BeginMeasure({10, 10});
    manager.DragMeasure(zoom1, {50, 40});
    manager.EndMeasure(zoom1, {50, 40});
    const CXEVOverlayMeasure& m = *manager.measures.at(1);
    EXPECT_EQ(m.imageStart, QPoint(10, 10));
    EXPECT_EQ(m.imageEnd, QPoint(50, 40));

    const QImage image = DrawManager(manager, {0, 0}, {0, 0}, 2.0);
    // The line (20, 20)-(100, 80).
    for (int i = 0; i <= 40; ++i) {
        const double t = i / 40.0;
        EXPECT_TRUE(WhiteNear(image, 20 + 80 * t, 20 + 60 * t)) << t;
    }
    // Ticks of 10 pixels across both ends, along the normal (-0.6, 0.8).
    for (const QPointF end : {QPointF(20, 20), QPointF(100, 80)}) {
        for (double s : {-4.0, -2.0, 2.0, 4.0}) {
            EXPECT_TRUE(WhiteNear(image, end.x() - 0.6 * s, end.y() + 0.8 * s)) << end.x() << " " << s;
        }
        // Nothing beyond the tick's half-length of 5.
        EXPECT_FALSE(WhiteNear(image, end.x() - 0.6 * 9, end.y() + 0.8 * 9, 0));
    }
    // Black outline beside the white line.
    EXPECT_EQ(image.pixel(60, 44), kBlack);
}

TEST(OverlayMeasure, LabelPlacementKeepsTheLabelInsideTheBounds)
{
    const XEVRect r{0, 0, 200, 200};
    // End right of and below the start: left of the end, below it.
    EXPECT_EQ(CXEVOverlayMeasure::PlaceLabel(r, 60, 16, {20, 20}, {100, 80}), QPoint(100 - 60 - 5, 85));
    // Near the bottom: right of the start, above it.
    EXPECT_EQ(CXEVOverlayMeasure::PlaceLabel(r, 60, 16, {20, 150}, {100, 190}), QPoint(25, 150 - 16 - 5));
    // End left of the start, below it: right of the end.
    EXPECT_EQ(CXEVOverlayMeasure::PlaceLabel(r, 60, 16, {100, 20}, {40, 60}), QPoint(45, 65));
    // Pushed off the right side: left of the end instead.
    EXPECT_EQ(CXEVOverlayMeasure::PlaceLabel(r, 60, 16, {190, 20}, {160, 60}), QPoint(160 - 60 - 5, 65));
}

// ---- pixel value

struct Frame {
    std::vector<uint16_t> words;
    std::vector<uint8_t> bytes;
    XEVPixelProbe probe;
};

XEVPixelProbe WordProbe(std::vector<uint16_t>& words, int w, int h, int isSigned)
{
    XEVPixelProbe p;
    p.channels = 1;
    p.bits = 16;
    p.data = words.data();
    p.size = words.size() * 2;
    p.width = w;
    p.height = h;
    p.isSigned = isSigned;
    return p;
}

QString Readout(const QString& sopClass, const QString& rescaleType, int16_t stored)
{
    std::vector<uint16_t> words(16, static_cast<uint16_t>(stored));
    CXEVOverlayPixelValue v;
    v.imageWidth = 4;
    v.imageHeight = 4;
    v.sopClassUid = sopClass;
    v.calibrationText = rescaleType;
    const XEVOverlayView view{nullptr, {0, 0}, {0, 0}, 1.0};
    v.ProbeValue(WordProbe(words, 4, 4, 1), {1, 1}, view);
    v.PlaceText({1, 1}, view);
    EXPECT_EQ(v.active, 1);
    return v.text;
}

TEST(OverlayPixelValue, UnitsOfTheReadout)
{
    const QString ct = CXEVOverlayPixelValue::kCtImageStorage;
    const QString mr = QStringLiteral("1.2.840.10008.5.1.4.1.1.4");
    EXPECT_EQ(Readout(ct, QStringLiteral("US"), -1000), QStringLiteral("-1000.00 HU"));
    EXPECT_EQ(Readout(ct, QString(), -1000), QStringLiteral("-1000.00 HU"));
    EXPECT_EQ(Readout(mr, QString(), 812), QStringLiteral("812.00 "));
    EXPECT_EQ(Readout(mr, QStringLiteral("OD"), 2500), QStringLiteral("2.50 OD"));
}

// One colour pixel of 8-bit samples.
XEVPixelProbe PixelProbe(int32_t colorCode, const std::vector<uint8_t>& bytes, CXEVOverlayPixelValue& v)
{
    v.imageWidth = 1;
    v.imageHeight = 1;
    return {colorCode, int32_t(bytes.size()), 8, bytes.data(), bytes.size(), 1, 1, 0};
}

QString YbrReadout(uint8_t y, uint8_t cb, uint8_t cr, double* red = nullptr)
{
    const std::vector<uint8_t> bytes = {y, cb, cr};
    CXEVOverlayPixelValue v;
    const XEVOverlayView view{nullptr, {0, 0}, {0, 0}, 1.0};
    v.ProbeValue(PixelProbe(XEVPixelProbe::kYbr, bytes, v), {0, 0}, view);
    v.PlaceText({0, 0}, view);
    if (red != nullptr) {
        *red = v.red;
    }
    return v.text;
}

TEST(OverlayPixelValue, YbrReadsAsClampedRgb)
{
    EXPECT_EQ(YbrReadout(128, 128, 128), QStringLiteral("(128.00, 128.00, 128.00) "));
    double red = 0;
    YbrReadout(255, 128, 255, &red);
    EXPECT_EQ(red, 255.0);
}

TEST(OverlayPixelValue, CmykWithLargeBlackStaysInRange)
{
    std::vector<uint8_t> bytes = {255, 0, 50, 255};   // K far above 100
    CXEVOverlayPixelValue v;
    const XEVPixelProbe p = PixelProbe(XEVPixelProbe::kCmyk, bytes, v);
    v.ProbeValue(p, {0, 0}, {nullptr, {0, 0}, {0, 0}, 1.0});
    for (double c : {v.red, v.green, v.blue}) {
        EXPECT_GE(c, 0.0);
        EXPECT_LE(c, 255.0);
    }
    // K = 0, C = 50 %: (10000 - 5000) x 255 / 10000.
    bytes = {50, 0, 100, 0};
    v.ProbeValue(p, {0, 0}, {nullptr, {0, 0}, {0, 0}, 1.0});
    EXPECT_EQ(v.red, 127.0);
    EXPECT_EQ(v.green, 255.0);
    EXPECT_EQ(v.blue, 0.0);
}

TEST(OverlayPixelValue, RightHalfOfTheLastColumnReadsThatColumn)
{
    // 4 x 2 at zoom 2: screen x 7 rounds to column 4; it must read column 3, not the next row.
    std::vector<uint16_t> words = {1, 2, 3, 333, 999, 6, 7, 8};
    CXEVOverlayPixelValue v;
    v.imageWidth = 4;
    v.imageHeight = 2;
    v.ProbeValue(WordProbe(words, 4, 2, 0), {7, 0}, {nullptr, {0, 0}, {0, 0}, 2.0});
    EXPECT_EQ(v.value, 333.0);
}

TEST(OverlayPixelValue, IndexBeyondThirtyTwoBitsReadsNothing)
{
    // The record claims 70000 x 70000 over a small buffer: the 64-bit index lies outside it.
    std::vector<uint16_t> words(16, 5);
    CXEVOverlayPixelValue v;
    v.imageWidth = 70000;
    v.imageHeight = 70000;
    v.ProbeValue(WordProbe(words, 70000, 70000, 0), {65536, 65536}, {nullptr, {0, 0}, {0, 0}, 1.0});
    EXPECT_EQ(v.value, 0.0);
}

TEST(OverlayPixelValue, NearTheLowerRightCornerTheTextGoesAboveLeft)
{
    std::vector<uint16_t> words(100 * 100, static_cast<uint16_t>(int16_t(-1000)));
    XEVOverlayManager manager;
    manager.imageWidth = 100;
    manager.imageHeight = 100;
    manager.sopClassUid = CXEVOverlayPixelValue::kCtImageStorage;
    manager.SetCalibration();
    manager.probe = WordProbe(words, 100, 100, 1);
    const XEVOverlayView view{nullptr, {0, 0}, {0, 0}, 1.0};
    const QPoint pt(97, 96);
    manager.ProbePixelValue(pt, view);
    DrawManager(manager, {0, 0}, {0, 0}, 1.0, 100);   // measures the text
    manager.ProbePixelValue(pt, view);
    const CXEVOverlayPixelValue& v = manager.pixelValue;
    ASSERT_GT(v.textWidth, 0);
    EXPECT_LE(v.position.x() + v.textWidth, pt.x());
    EXPECT_LE(v.position.y() + v.textHeight, pt.y());
    // Inside the image, outside keeps the old text.
    EXPECT_EQ(v.text, QStringLiteral("-1000.00 HU"));
    manager.ProbePixelValue({500, 500}, view);
    EXPECT_EQ(manager.pixelValue.text, QStringLiteral("-1000.00 HU"));
}

// ---- reference lines

TEST(OverlayReferenceLine, CurrentWhiteTwoWideFirstAndLastDottedLabelsOnBlack)
{
    CXEVOverlayReferenceLine lines;
    lines.lines[CXEVOverlayReferenceLine::kCurrent] = {1, 20, 100, 180, 100, 7};
    lines.lines[CXEVOverlayReferenceLine::kFirst] = {1, 60, 20, 60, 180, 1};
    lines.lines[CXEVOverlayReferenceLine::kLast] = {1, 140, 20, 140, 180, 12};
    QImage image = Canvas(200, 200, qRgb(128, 128, 128));
    QPainter painter(&image);
    lines.Draw(painter, {1, 1, 199, 199}, {0, 0}, {0, 0}, 1.0);
    painter.end();

    // Current: 2 white rows at x = 100, with black above and below.
    int white = 0;
    for (int y = 94; y <= 106; ++y) {
        white += image.pixel(100, y) == kWhite ? 1 : 0;
    }
    EXPECT_EQ(white, 2);
    EXPECT_TRUE(image.pixel(100, 97) == qRgb(128, 128, 128) || image.pixel(100, 97) == kBlack);
    // First and last: dotted, white and black alternating along the column.
    for (int x : {60, 140}) {
        int w = 0;
        int b = 0;
        for (int y = 30; y < 90; ++y) {
            w += image.pixel(x, y) == kWhite;
            b += image.pixel(x, y) == kBlack;
        }
        EXPECT_GT(w, 15) << x;
        EXPECT_GT(b, 15) << x;
    }
    // Labels: the first line's label above its upper end, on opaque black.
    QImage probe = Canvas(10, 10);
    QPainter measure(&probe);
    CXEVFont font;
    font.CreateFromInfo(GetCommonSettings().Fonts[kXEVFontReferenceLine], &probe);
    measure.setFont(font.Font());
    const QRect size = measure.boundingRect(QRect(0, 0, 0, 0), 0, QStringLiteral("C 1"));
    measure.end();
    const QRect label(60 - size.width() / 2, 20 - size.height(), size.width(), size.height());
    int labelWhite = 0;
    for (int y = label.top(); y <= label.bottom(); ++y) {
        for (int x = label.left(); x <= label.right(); ++x) {
            ASSERT_NE(image.pixel(x, y), qRgb(128, 128, 128)) << x << "," << y;
            labelWhite += image.pixel(x, y) == kWhite;
        }
    }
    EXPECT_GT(labelWhite, 5);
}

TEST(OverlayFonts, AnnotationFontsDefaultToTheStringsFace)
{
    const XEVCommonSettings& settings = GetCommonSettings();
    for (int32_t i : {kXEVFontMeasure, kXEVFontText, kXEVFontArrow, kXEVFontPixelValue}) {
        EXPECT_EQ(settings.Fonts[i].face, kXEVDefaultStringsFace) << i;
        EXPECT_EQ(settings.Fonts[i].points, 10) << i;
    }
    EXPECT_EQ(settings.Fonts[kXEVFontReferenceLine].points, 8);
    EXPECT_EQ(settings.Fonts[kXEVFontReferenceLine].weight, 400);
}

TEST(OverlayReferenceLine, HorizontalLineLabelGoesRightWhenLeftWouldLeave)
{
    const XEVRect bounds{0, 0, 200, 200};
    XEVRect label;
    EXPECT_FALSE(CXEVOverlayReferenceLine::PlaceLabel(0, false, 30, 12, {5, 100}, {150, 100}, bounds, label));
    ASSERT_TRUE(CXEVOverlayReferenceLine::PlaceLabel(1, false, 30, 12, {5, 100}, {150, 100}, bounds, label));
    EXPECT_EQ(label, (XEVRect{151, 94, 181, 106}));

    // Drawn: the label's black lies right of the line's right end.
    CXEVOverlayReferenceLine lines;
    lines.lines[CXEVOverlayReferenceLine::kFirst] = {1, 5, 100, 150, 100, 3};
    QImage image = Canvas(200, 200, qRgb(128, 128, 128));
    QPainter painter(&image);
    lines.Draw(painter, bounds, {0, 0}, {0, 0}, 1.0);
    painter.end();
    EXPECT_NE(image.pixel(152, 96), qRgb(128, 128, 128));   // black ground or white ink
    EXPECT_NE(image.pixel(152, 104), qRgb(128, 128, 128));
    EXPECT_EQ(image.pixel(3, 96), qRgb(128, 128, 128));
}

TEST(OverlayReferenceLine, ForcedLabelSlidesAlongTheLine)
{
    // Both ends near the left and right bounds: the forced label slides in along a slope of 1.
    const XEVRect bounds{0, 0, 100, 100};
    XEVRect label;
    ASSERT_TRUE(CXEVOverlayReferenceLine::PlaceLabel(0, true, 20, 10, {2, 40}, {98, 60}, bounds, label));
    EXPECT_GE(label.left, 0);
    EXPECT_LE(label.right, 100);
    EXPECT_GE(label.top, 0);
}

}   // namespace
