#include "viewer/xevoverlaymanager.h"

#include <gtest/gtest.h>

#include <QPaintDevice>
#include <QPaintEngine>
#include <QTextItem>

#include <string>
#include <vector>

#include "overlaytestsupport.h"

namespace {

// Records what reaches the paint engine, in order: "L<width>" per line, the text per text item.
class RecordingEngine : public QPaintEngine {
public:
    RecordingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}
    bool begin(QPaintDevice*) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState& state) override
    {
        if (state.state() & QPaintEngine::DirtyPen) {
            pen_ = state.pen();
        }
    }
    void drawLines(const QLineF*, int count) override
    {
        log.insert(log.end(), count, "L" + std::to_string(pen_.width()));
    }
    void drawLines(const QLine*, int count) override
    {
        log.insert(log.end(), count, "L" + std::to_string(pen_.width()));
    }
    void drawTextItem(const QPointF&, const QTextItem& item) override
    {
        if (pen_.color() == Qt::white) {
            log.push_back(item.text().toStdString());
        }
    }
    void drawPolygon(const QPointF*, int, PolygonDrawMode) override {}
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
    Type type() const override { return QPaintEngine::User; }

    std::vector<std::string> log;

private:
    QPen pen_;
};

class RecordingDevice : public QPaintDevice {
public:
    QPaintEngine* paintEngine() const override { return &engine; }
    int metric(PaintDeviceMetric metric) const override
    {
        switch (metric) {
        case PdmWidth:
        case PdmHeight: return 400;
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY: return 96;
        case PdmDepth: return 32;
        default: return QPaintDevice::metric(metric);
        }
    }
    mutable RecordingEngine engine;
};

using OverlayManagerTest = OverlayFixture;

TEST_F(OverlayManagerTest, OlderOfTwoOverlappingIsSelected)
{
    AddMeasure({10, 10}, {100, 10});
    AddMeasure({10, 12}, {100, 12});
    EXPECT_EQ(manager_.SelectAt({50, 11}), 1);
    EXPECT_EQ(manager_.measureSelectedId, 1);
    EXPECT_EQ(manager_.SelectMeasureAt({50, 11}), 1);
    EXPECT_EQ(manager_.measureSelectedId, 1);

    AddText({200, 200}, QStringLiteral("first"));
    AddText({202, 202}, QStringLiteral("second"));
    Paint();
    EXPECT_EQ(manager_.SelectAt({206, 206}), 1);
    EXPECT_EQ(manager_.textSelectedId, 1);
    EXPECT_EQ(manager_.SelectTextAt({206, 206}), 1);
    EXPECT_EQ(manager_.textSelectedId, 1);
}

TEST_F(OverlayManagerTest, MeasurementWinsOverATextForBothButtons)
{
    AddText({40, 95}, QStringLiteral("WWWWWWWW"));
    AddMeasure({10, 100}, {200, 100});
    Paint();
    const QPoint both(60, 100);
    ASSERT_TRUE(manager_.texts.at(1)->BoxContains(both));
    manager_.DeselectAll();
    EXPECT_EQ(manager_.SelectAt(both), 1);
    EXPECT_EQ(manager_.measureSelectedId, 1);
    EXPECT_EQ(manager_.textSelectedId, 0);
    // The right button tries the kinds in the order measurement, text, arrow.
    manager_.DeselectAll();
    EXPECT_EQ(manager_.SelectMeasureAt(both), 1);
    EXPECT_EQ(manager_.measures.at(1)->selected, 1);
}

TEST_F(OverlayManagerTest, DeletedIdsAreNotReusedUntilClearAll)
{
    AddText({40, 40}, QStringLiteral("a"));
    Paint();
    ASSERT_EQ(manager_.SelectTextAt({41, 41}), 1);
    EXPECT_EQ(manager_.DeleteSelectedText(), 1);
    EXPECT_EQ(manager_.DeleteSelectedText(), 0);
    AddText({40, 40}, QStringLiteral("b"));
    EXPECT_EQ(manager_.texts.begin()->first, 2);
    EXPECT_EQ(manager_.DeleteSelectedMeasure(), 0);
    EXPECT_EQ(manager_.DeleteSelectedArrow(), 0);

    AddMeasure({10, 10}, {50, 50});
    AddMeasure({20, 10}, {60, 50});
    EXPECT_EQ(manager_.measureLastId, 2);
    manager_.BeginText({100, 100}, view_.get());
    manager_.ClearAll();
    EXPECT_TRUE(manager_.measures.empty());
    EXPECT_TRUE(manager_.texts.empty());
    EXPECT_EQ(manager_.textEditOpen, 0);
    EXPECT_TRUE(view_->findChildren<XEVOverlayEdit*>().empty());
    AddMeasure({10, 10}, {50, 50});
    EXPECT_EQ(manager_.measures.begin()->first, 1);
}

TEST_F(OverlayManagerTest, DrawAllDrawsMeasurementsTextsArrowsThenThePixelValue)
{
    // Created in the reverse order of drawing.
    AddArrow({300, 300}, {350, 350});
    AddText({100, 300}, QStringLiteral("note"));
    AddMeasure({10, 10}, {40, 10});
    std::vector<uint16_t> words(400 * 400, 7);
    manager_.probe = {0, 1, 16, words.data(), words.size() * 2, 400, 400, 0};
    manager_.SetCalibration();
    manager_.ProbePixelValue({200, 200}, zoom1_);

    RecordingDevice device;
    {
        QPainter painter(&device);
        manager_.DrawAll(painter, {0, 0}, {0, 0}, 1.0);
    }
    const std::vector<std::string> expected = {
        "L2",    "L2", "L2", "L1", "L1", "L1", "30.00mm",   // caliper black, then white, then label
        "note",                                             // text
        "L4",    "L4", "L4", "L2", "L2", "L2",              // arrow black, then white
        "7.00 ",                                            // pixel value
    };
    EXPECT_EQ(device.engine.log, expected);
}

TEST_F(OverlayManagerTest, NewAnnotationsTakeTheCalibration)
{
    manager_.calibrationFlag = 1;
    manager_.spacing1 = 0.25;
    AddMeasure({10, 10}, {50, 10});
    EXPECT_EQ(manager_.measures.at(1)->labelText, QStringLiteral("10.00mm *"));
    manager_.calibrationText = QStringLiteral("OD");
    EXPECT_TRUE(manager_.pixelValue.calibrationText.isEmpty());
    manager_.SetCalibration();
    EXPECT_EQ(manager_.pixelValue.calibrationText, QStringLiteral("OD"));
    manager_.SetCalibration2();
    EXPECT_EQ(manager_.referenceLine.spacing1, 0.25);
}

TEST_F(OverlayManagerTest, TextDragStaysInsideAndReEditReopens)
{
    AddText({100, 100}, QStringLiteral("note"));
    Paint();
    ASSERT_EQ(manager_.SelectAt({102, 102}), 1);
    EXPECT_EQ(manager_.DragSelected(zoom1_, {2000, 102}), 1);
    const CXEVOverlayText& text = *manager_.texts.at(1);
    EXPECT_EQ(text.boxPosition.x() + text.boxWidth, 400 - 2);   // the image shrunk by 2
    EXPECT_EQ(manager_.DropSelected(zoom1_, {2000, 102}), 1);
    EXPECT_EQ(text.imagePosition, text.boxPosition);
    EXPECT_EQ(manager_.ReEditSelectedText(view_.get()), 1);
    EXPECT_TRUE(text.IsEditing());
    EXPECT_EQ(text.edit->toPlainText(), QStringLiteral("note"));
    EXPECT_EQ(text.edit->geometry().topLeft(), text.boxPosition);
}

TEST_F(OverlayManagerTest, AnyMeasureHitGrabsWithoutSelectingTheId)
{
    AddMeasure({10, 10}, {100, 10});
    EXPECT_EQ(manager_.AnyMeasureHit({50, 12}), 1);
    EXPECT_EQ(manager_.measureSelectedId, 0);
    EXPECT_EQ(manager_.measures.at(1)->selected, 1);
    EXPECT_EQ(manager_.AnyMeasureHit({50, 40}), 0);
}

TEST_F(OverlayManagerTest, ReferenceLineDrawsInsideTheShrunkClient)
{
    manager_.referenceLine.lines[CXEVOverlayReferenceLine::kCurrent] = {1, 0, 50, 399, 50, 4};
    QImage image = Canvas(400, 400, kGrey);
    QPainter painter(&image);
    manager_.DrawReferenceLine(painter, {0, 0, 400, 400}, {0, 0}, {0, 0}, 1.0);
    painter.end();
    EXPECT_EQ(image.pixel(200, 50), kWhite);
}

}   // namespace
