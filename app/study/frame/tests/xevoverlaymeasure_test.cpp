#include "viewer/xevoverlaymeasure.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "overlaytestsupport.h"

#include "shell/xevcommonsettings.h"
#include "shell/xevfont.h"
#include "viewer/xevoverlaymanager.h"

namespace {

// A frame of 100 x 100 pixels with spacing 0.5 / 0.5, seen at zoom 2 from the top-left.
void Calibrate(CXEVOverlayCommon& c)
{
    c.spacing1 = 0.5;
    c.spacing2 = 0.5;
    c.imageWidth = 100;
    c.imageHeight = 100;
}
const XEVOverlayView kZoom2{nullptr, {0, 0}, {0, 0}, 2.0};

// A measurement dragged from (10, 10) to (50, 40) on the screen.
struct Dragged {
    explicit Dragged(void (*change)(CXEVOverlayMeasure&) = nullptr, QPoint to = {50, 40},
                     const XEVOverlayView& view = kZoom2)
    {
        Calibrate(m);
        if (change != nullptr) {
            change(m);
        }
        m.start = {10, 10};
        m.Drag(view, to);
    }
    CXEVOverlayMeasure m;
};

TEST(OverlayMeasure, LengthFromTheSpacingAndTheVerticalScale)
{
    // sqrt((40 x 0.5)^2 + (30 x 0.5)^2) / 2
    Dragged plain;
    EXPECT_EQ(plain.m.labelText, QStringLiteral("12.50mm"));
    EXPECT_EQ(plain.m.complete, 1);
    EXPECT_EQ(Dragged([](CXEVOverlayMeasure& m) { m.calibrationFlag = 1; }).m.labelText, QStringLiteral("12.50mm *"));
    // A pointer outside the image leaves the end; the image ends at 200 on the screen.
    plain.m.Drag(kZoom2, {200, 40});
    EXPECT_EQ(plain.m.end, QPoint(50, 40));
    // Rows drawn twice as tall: 20 screen rows are 10 image rows.
    const Dragged tall([](CXEVOverlayMeasure& m) { m.verticalScale = 2.0; }, {10, 30}, {nullptr, {0, 0}, {0, 0}, 1.0});
    EXPECT_EQ(tall.m.labelText, QStringLiteral("5.00mm"));
    for (auto bad :
         {+[](CXEVOverlayMeasure& m) { m.verticalScale = 0.0; }, +[](CXEVOverlayMeasure& m) { m.verticalScale = -3.0; },
          +[](CXEVOverlayMeasure& m) { m.verticalScale = std::nan(""); }}) {
        EXPECT_EQ(Dragged(bad).m.labelText, QStringLiteral("12.50mm"));
    }
    // A zoom that is not positive measures nothing.
    CXEVOverlayMeasure idle;
    Calibrate(idle);
    idle.start = {10, 10};
    idle.end = {50, 40};
    EXPECT_EQ(idle.GetLabelText(0.0), QStringLiteral("0.00mm"));
    EXPECT_EQ(idle.GetLabelText(-2.0), QStringLiteral("0.00mm"));
    // A huge spacing gives a long label: 2.5e301.
    const Dragged huge([](CXEVOverlayMeasure& m) { m.spacing1 = m.spacing2 = 1e300; });
    EXPECT_GT(huge.m.labelText.size(), 300);
    EXPECT_TRUE(huge.m.labelText.endsWith(QStringLiteral("mm")));
    EXPECT_TRUE(huge.m.labelText.startsWith(QStringLiteral("25")));
}

TEST(OverlayMeasure, WithoutSpacingMeasuresImagePixels)
{
    // 40 x 30 screen pixels at zoom 2 span 20 x 15 image pixels.
    EXPECT_EQ(Dragged([](CXEVOverlayMeasure& m) { m.spacing1 = m.spacing2 = 0.0; }).m.labelText,
              QStringLiteral("25.00px"));
    // One axis without spacing leaves no length in millimetres either.
    EXPECT_EQ(Dragged([](CXEVOverlayMeasure& m) { m.spacing2 = 0.0; }).m.labelText, QStringLiteral("25.00px"));
    EXPECT_EQ(Dragged([](CXEVOverlayMeasure& m) { m.spacing1 = std::nan(""); }).m.labelText, QStringLiteral("25.00px"));
    // Rows drawn twice as tall: 20 screen rows are 10 image rows.
    const Dragged tall(
        [](CXEVOverlayMeasure& m) {
            m.spacing1 = m.spacing2 = 0.0;
            m.verticalScale = 2.0;
        },
        {10, 30}, {nullptr, {0, 0}, {0, 0}, 1.0});
    EXPECT_EQ(tall.m.labelText, QStringLiteral("10.00px"));
}

// A manager over the calibrated frame holding one measurement drawn from a to b.
struct Measured {
    explicit Measured(QPoint a = {10, 10}, QPoint b = {50, 40}, const XEVOverlayView& view = kZoom2)
    {
        Calibrate(manager);
        manager.BeginMeasure(a);
        manager.DragMeasure(view, b);
        manager.EndMeasure(view, b);
    }
    CXEVOverlayMeasure& First() { return *manager.measures.at(1); }
    QImage Draw(double zoom = 2.0, int size = 240)
    {
        QImage image = Canvas(size, size);
        QPainter painter(&image);
        manager.DrawAll(painter, {0, 0}, {0, 0}, zoom);
        return image;
    }
    XEVOverlayManager manager;
};

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

TEST(OverlayMeasure, DragsStayInsideTheImage)
{
    Measured end;
    ASSERT_EQ(end.manager.SelectAt({51, 41}), 1);
    EXPECT_EQ(end.First().dragMode, CXEVOverlayMeasure::kModeEnd);
    end.manager.DragSelected(kZoom2, {900, 700});
    EXPECT_EQ(end.First().end, QPoint(199, 199));
    EXPECT_EQ(end.First().start, QPoint(10, 10));
    EXPECT_EQ(end.First().dragAnchor, QPoint(199, 199));

    // Dragged whole against the border, the length stays.
    Measured whole;
    ASSERT_EQ(whole.manager.SelectAt({30, 25}), 1);
    const CXEVOverlayMeasure& m = whole.First();
    EXPECT_EQ(m.dragMode, CXEVOverlayMeasure::kModeWhole);
    whole.manager.DragSelected(kZoom2, {-500, 25});
    EXPECT_EQ(m.start.x(), 1);
    EXPECT_EQ(m.end - m.start, QPoint(40, 30));
    EXPECT_EQ(m.labelText, QStringLiteral("12.50mm"));
}

TEST(OverlayMeasure, PressNearTheStartGrabsItAndDrawsNoHandles)
{
    Measured measured;
    const QImage plain = measured.Draw();
    ASSERT_EQ(measured.manager.SelectAt({14, 6}), 1);
    EXPECT_EQ(measured.First().dragMode, CXEVOverlayMeasure::kModeStart);
    EXPECT_EQ(measured.Draw(), plain);

    // Grabbed by the middle, the selection shows its handles.
    measured.manager.DeselectAll();
    ASSERT_EQ(measured.manager.SelectAt({30, 25}), 1);
    const QImage handles = measured.Draw();
    EXPECT_NE(handles, plain);
    EXPECT_NE(handles.pixel(10, 10), plain.pixel(10, 10));
}

TEST(OverlayMeasure, CommittedMeasurementFollowsTheZoom)
{
    // Drawn at zoom 1 from image points (10, 10)-(50, 40), then shown at zoom 2.
    Measured measured({10, 10}, {50, 40}, {nullptr, {0, 0}, {0, 0}, 1.0});
    EXPECT_EQ(measured.First().imageStart, QPoint(10, 10));
    EXPECT_EQ(measured.First().imageEnd, QPoint(50, 40));

    const QImage image = measured.Draw();
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

XEVPixelProbe WordProbe(std::vector<uint16_t>& words, int w, int h, int isSigned)
{
    return {0, 1, 16, words.data(), words.size() * 2, w, h, isSigned};
}

const XEVOverlayView kZoom1{nullptr, {0, 0}, {0, 0}, 1.0};

struct Reading {
    int32_t active;
    QString text;
    double value, red, green, blue;
};

// The value under a point of the probe's frame, read and placed as the view does.
Reading Probe(const XEVPixelProbe& probe, QPoint pt = {0, 0}, const XEVOverlayView& view = kZoom1,
              const QString& sopClass = QString(), const QString& rescaleType = QString())
{
    CXEVOverlayPixelValue v;
    v.imageWidth = probe.width;
    v.imageHeight = probe.height;
    v.sopClassUid = sopClass;
    v.calibrationText = rescaleType;
    v.ProbeValue(probe, pt, view);
    v.PlaceText(pt, view);
    return {v.active, v.text, v.value, v.red, v.green, v.blue};
}

TEST(OverlayPixelValue, UnitsOfTheReadout)
{
    const QString ct = CXEVOverlayPixelValue::kCtImageStorage;
    const QString mr = QStringLiteral("1.2.840.10008.5.1.4.1.1.4");
    const auto readout = [](const QString& sopClass, const char* rescaleType, int16_t stored) {
        std::vector<uint16_t> words(16, static_cast<uint16_t>(stored));
        const Reading v = Probe(WordProbe(words, 4, 4, 1), {1, 1}, kZoom1, sopClass, rescaleType);
        EXPECT_EQ(v.active, 1);
        return v.text;
    };
    EXPECT_EQ(readout(ct, "US", -1000), QStringLiteral("-1000.00 HU"));
    EXPECT_EQ(readout(ct, "", -1000), QStringLiteral("-1000.00 HU"));
    EXPECT_EQ(readout(mr, "", 812), QStringLiteral("812.00 "));
    EXPECT_EQ(readout(mr, "OD", 2500), QStringLiteral("2.50 OD"));
}

TEST(OverlayPixelValue, ColourSamplesReadAsClampedRgb)
{
    const auto colour = [](int32_t code, std::vector<uint8_t> bytes) {
        return Probe({code, int32_t(bytes.size()), 8, bytes.data(), bytes.size(), 1, 1, 0});
    };
    EXPECT_EQ(colour(XEVPixelProbe::kYbr, {128, 128, 128}).text, QStringLiteral("(128.00, 128.00, 128.00) "));
    EXPECT_EQ(colour(XEVPixelProbe::kYbr, {255, 128, 255}).red, 255.0);
    // K far above 100 stays in range.
    const Reading dark = colour(XEVPixelProbe::kCmyk, {255, 0, 50, 255});
    for (double c : {dark.red, dark.green, dark.blue}) {
        EXPECT_GE(c, 0.0);
        EXPECT_LE(c, 255.0);
    }
    // K = 0, C = 50 %: (10000 - 5000) x 255 / 10000.
    const Reading cyan = colour(XEVPixelProbe::kCmyk, {50, 0, 100, 0});
    EXPECT_EQ(cyan.red, 127.0);
    EXPECT_EQ(cyan.green, 255.0);
    EXPECT_EQ(cyan.blue, 0.0);
}

TEST(OverlayPixelValue, IndexStaysInTheRowAndTheBuffer)
{
    // 4 x 2 at zoom 2: screen x 7 rounds to column 4; it must read column 3, not the next row.
    std::vector<uint16_t> words = {1, 2, 3, 333, 999, 6, 7, 8};
    EXPECT_EQ(Probe(WordProbe(words, 4, 2, 0), {7, 0}, {nullptr, {0, 0}, {0, 0}, 2.0}).value, 333.0);
    // The record claims 70000 x 70000 over a small buffer: the 64-bit index lies outside it.
    words.assign(16, 5);
    EXPECT_EQ(Probe(WordProbe(words, 70000, 70000, 0), {65536, 65536}).value, 0.0);
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
    const XEVOverlayView view = kZoom1;
    const QPoint pt(97, 96);
    manager.ProbePixelValue(pt, view);
    QImage image = Canvas(100, 100);
    QPainter painter(&image);
    manager.DrawAll(painter, {0, 0}, {0, 0}, 1.0);   // measures the text
    painter.end();
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

QImage DrawLines(CXEVOverlayReferenceLine& lines, const XEVRect& bounds)
{
    QImage image = Canvas(200, 200, kGrey);
    QPainter painter(&image);
    lines.Draw(painter, bounds, {0, 0}, {0, 0}, 1.0);
    return image;
}

TEST(OverlayReferenceLine, CurrentWhiteTwoWideFirstAndLastDottedLabelsOnBlack)
{
    CXEVOverlayReferenceLine lines;
    lines.lines[CXEVOverlayReferenceLine::kCurrent] = {1, 20, 100, 180, 100, 7};
    lines.lines[CXEVOverlayReferenceLine::kFirst] = {1, 60, 20, 60, 180, 1};
    lines.lines[CXEVOverlayReferenceLine::kLast] = {1, 140, 20, 140, 180, 12};
    const QImage image = DrawLines(lines, {1, 1, 199, 199});

    // Current: 2 white rows at x = 100, with black or the ground above and below.
    EXPECT_EQ(CountColour(image, QRect(100, 94, 1, 13), kWhite), 2);
    EXPECT_TRUE(image.pixel(100, 97) == kGrey || image.pixel(100, 97) == kBlack);
    // First and last: dotted, white and black alternating along the column.
    for (int x : {60, 140}) {
        EXPECT_GT(CountColour(image, QRect(x, 30, 1, 60), kWhite), 15) << x;
        EXPECT_GT(CountColour(image, QRect(x, 30, 1, 60), kBlack), 15) << x;
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
    EXPECT_EQ(CountColour(image, label, kGrey), 0);
    EXPECT_GT(CountColour(image, label, kWhite), 5);
}

TEST(OverlayReferenceLine, LabelsStayInsideTheBounds)
{
    const XEVRect bounds{0, 0, 200, 200};
    XEVRect label;
    // A horizontal line's label goes right when left would leave.
    EXPECT_FALSE(CXEVOverlayReferenceLine::PlaceLabel(0, false, 30, 12, {5, 100}, {150, 100}, bounds, label));
    ASSERT_TRUE(CXEVOverlayReferenceLine::PlaceLabel(1, false, 30, 12, {5, 100}, {150, 100}, bounds, label));
    EXPECT_EQ(label, (XEVRect{151, 94, 181, 106}));
    CXEVOverlayReferenceLine lines;
    lines.lines[CXEVOverlayReferenceLine::kFirst] = {1, 5, 100, 150, 100, 3};
    const QImage image = DrawLines(lines, bounds);
    EXPECT_NE(image.pixel(152, 96), kGrey);   // black ground or white ink
    EXPECT_NE(image.pixel(152, 104), kGrey);
    EXPECT_EQ(image.pixel(3, 96), kGrey);

    // Both ends near the left and right bounds: the forced label slides in along a slope of 1.
    ASSERT_TRUE(CXEVOverlayReferenceLine::PlaceLabel(0, true, 20, 10, {2, 40}, {98, 60}, {0, 0, 100, 100}, label));
    EXPECT_GE(label.left, 0);
    EXPECT_LE(label.right, 100);
    EXPECT_GE(label.top, 0);
}

}   // namespace
