// The pixel-value tool on decoded files: a press through the cell's mouse path reads the
// file's real value under the tool's tip, as pydicom's modality LUT gives it.

#include <QFile>
#include <QTextStream>

#include <cstring>

#include "study/xevloadstate.h"
#include "testsupport/viewtestsupport.h"
#include "viewer/xevoverlaymanager.h"

namespace {

struct ProbePoint {
    int x;
    int y;
    std::vector<double> values;
};

// probe_expected.txt: "file x y value..." from make_values.sh.
std::vector<ProbePoint> ExpectedPoints(const QString& file)
{
    std::vector<ProbePoint> points;
    QFile in(CellFixture("probe_expected.txt"));
    EXPECT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Text));
    QTextStream text(&in);
    while (!text.atEnd()) {
        const QStringList fields = text.readLine().split(u' ', Qt::SkipEmptyParts);
        if (fields.size() < 4 || fields[0] != file) {
            continue;
        }
        ProbePoint point{fields[1].toInt(), fields[2].toInt(), {}};
        for (qsizetype i = 3; i < fields.size(); ++i) {
            point.values.push_back(fields[i].toDouble());
        }
        points.push_back(point);
    }
    return points;
}

// The values of a readout, taken while it shows.
struct Reading {
    QString text;
    int32_t active;
    int32_t color;
    double value;
    double red;
    double green;
    double blue;
};

Reading CopyReadout(const CXEVOverlayPixelValue& from)
{
    return {from.text, from.active, from.color, from.value, from.red, from.green, from.blue};
}

class ImageViewValues : public ::testing::Test {
protected:
    void TearDown() override { GetLoadState().mouseTool = 0; }

    MessageLog parent;
};

}   // namespace

TEST_F(ImageViewValues, PixelValueToolReadsTheFilesRealValues)
{
    struct Case {
        const char* file;
        const char* unit;   // what follows the number
        double tolerance;   // the expected values are written with four decimals
    };
    const Case cases[] = {
        {"probe_ct.dcm", " HU", 0},
        {"probe_rgb.dcm", " ", 0},
        {"probe_mr.dcm", " ", 0},
        {"probe_slope.dcm", " HU", 0.0001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        // Decoded through the image's own load, as a loader thread does.
        ImageSet set({c.file}, true);
        XEVImageViewCtrl view(&parent, 9001);
        // 16 x 16 pixels fitted at scale 10, 30 pixels below the top.
        view.setGeometry(0, 0, 160, 220);
        view.SetImages(set.Pointers());
        view.SetupFirstImage();
        ASSERT_TRUE(view.SetActive(true));
        (void)Grab(view);
        ASSERT_EQ(view.destination, QRect(0, 30, 160, 160));
        FrameImageInfo* frame = set[0]->GetHelper()->GetFrame(0);
        ASSERT_NE(frame, nullptr);

        const std::vector<ProbePoint> points = ExpectedPoints(QString::fromUtf8(c.file));
        ASSERT_EQ(points.size(), 3u);
        for (const ProbePoint& point : points) {
            SCOPED_TRACE(testing::Message() << point.x << ", " << point.y);
            const QPoint tip(point.x * 10 + 2, 30 + point.y * 10 + 2);
            const QPoint press = tip - XEVToolHotSpot(kXEVToolPixelValue);
            // The readout shows while the button is held; the release drops the tool.
            GetLoadState().mouseTool = kXEVToolPixelValue;
            Mouse(view, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton);
            const Reading readout = CopyReadout(frame->pixelValue);
            Mouse(view, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
            EXPECT_EQ(frame->pixelValue.active, 0);
            EXPECT_EQ(readout.active, 1);
            QString number;
            if (point.values.size() == 3) {
                EXPECT_EQ(readout.color, 1);
                EXPECT_EQ(readout.red, point.values[0]);
                EXPECT_EQ(readout.green, point.values[1]);
                EXPECT_EQ(readout.blue, point.values[2]);
                number = QString::asprintf("(%.2f, %.2f, %.2f)", point.values[0], point.values[1], point.values[2]);
                EXPECT_EQ(readout.text, number + QString::fromUtf8(c.unit));
                continue;
            }
            EXPECT_EQ(readout.color, 0);
            EXPECT_NEAR(readout.value, point.values[0], c.tolerance);
            EXPECT_TRUE(readout.text.endsWith(QString::fromUtf8(c.unit))) << readout.text.toStdString();
            const double shown = readout.text.left(readout.text.size() - int(std::strlen(c.unit))).toDouble();
            EXPECT_NEAR(shown, point.values[0], c.tolerance + 0.005) << readout.text.toStdString();
        }
    }
}
