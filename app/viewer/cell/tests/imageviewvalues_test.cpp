// Values a cell shows of decoded files: the pixel-value tool, pressed through the cell's
// mouse path, reads the file's real value under the tool's tip as pydicom's modality LUT
// gives it; measurements on a frame without spacing; times in the corner texts.

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>

#include "platform/platfolder.h"
#include "shell/xevcommonsettings.h"
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

namespace {

// The files make_readout.py writes with pydicom at test time, in a folder removed afterwards.
class ReadoutFiles {
public:
    ReadoutFiles()
    {
        QProcess python;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PYTHONPATH"),
                           QStringLiteral(VIEWCTRL_TEST_DATA_DIR "/../../../../testsupport/python"));
        // No compiled copy of the shared module is left in the source tree.
        environment.insert(QStringLiteral("PYTHONDONTWRITEBYTECODE"), QStringLiteral("1"));
        python.setProcessEnvironment(environment);
        python.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral("-W"), QStringLiteral("ignore"), CellFixture("make_readout.py"), folder.path()});
        written = folder.isValid() && python.waitForFinished(120000) && python.exitStatus() == QProcess::NormalExit &&
                  python.exitCode() == 0;
        errors = python.readAllStandardError().toStdString();
    }
    QString Path(const QString& name) const { return folder.filePath(name); }
    // "%.2f" texts of the points of a file, by (x, y), in file order.
    std::vector<std::pair<QPoint, QString>> Expected(const QString& file) const
    {
        std::vector<std::pair<QPoint, QString>> points;
        QFile in(Path(QStringLiteral("expected.txt")));
        EXPECT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Text));
        QTextStream text(&in);
        while (!text.atEnd()) {
            const QStringList fields = text.readLine().split(u' ', Qt::SkipEmptyParts);
            if (fields.size() == 4 && fields[0] == file) {
                points.emplace_back(QPoint(fields[1].toInt(), fields[2].toInt()), fields[3]);
            }
        }
        return points;
    }

    QTemporaryDir folder;
    bool written = false;
    std::string errors;
};

// One image of such a file, every frame decoded here, and a cell showing it ten screen
// pixels to the image pixel, 30 pixels below the top (16 rows in 220).
struct ShownFile {
    ShownFile(MessageLog& parent, const QString& path) : view(&parent, 9001)
    {
        image.SetFilePath(path);
        DecodeImage(&image);
        frame = image.GetHelper() != nullptr ? image.GetHelper()->GetFrame(0) : nullptr;
        view.setGeometry(0, 0, frame != nullptr ? 10 * frame->probe.width : 160, 220);
        view.SetImages({&image});
        view.SetupFirstImage();
        active = view.SetActive(true);
        (void)Grab(view);
    }
    ImageInfo image;
    XEVImageViewCtrl view;
    bool active = false;
    FrameImageInfo* frame = nullptr;
};

class ImageViewReadout : public ImageViewValues {
protected:
    static void SetUpTestSuite() { files = new ReadoutFiles; }
    static void TearDownTestSuite()
    {
        delete files;
        files = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(files->written) << files->errors; }

    static ReadoutFiles* files;
};
ReadoutFiles* ImageViewReadout::files = nullptr;

}   // namespace

TEST_F(ImageViewReadout, PixelValueIsTheStoredValueRescaledInDouble)
{
    struct Case {
        const char* file;
        const char* unit;
        bool ownBuffer;   // memory cannot hold the value exactly: the stored values are kept
    };
    const Case cases[] = {
        {"slope05.dcm", " HU", true},      {"slope025.dcm", " HU", true},
        {"slope25.dcm", " HU", true},      {"slope0005.dcm", " HU", true},
        {"clamp.dcm", " HU", true},        {"fits.dcm", " HU", false},
        {"clamp_window.dcm", " HU", true}, {"bound_window.dcm", " HU", false},
        {"fits_window.dcm", " HU", false}, {"clamp_high_window.dcm", " HU", true},
        {"voi_signed.dcm", " HU", true},   {"voi_8bit.dcm", " ", true},
        {"onebit.dcm", " ", false},        {"int32.dcm", " ", false},
        {"int32_slope.dcm", " HU", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const QString name = QString::fromUtf8(c.file);
        ShownFile shown(parent, files->Path(name));
        ASSERT_TRUE(shown.active);
        ASSERT_NE(shown.frame, nullptr);
        EXPECT_EQ(shown.frame->probeBuffer.Data() != nullptr, c.ownBuffer);
        if (name.contains(QStringLiteral("_window"))) {
            // The stored window stands, whatever the values' range.
            EXPECT_EQ(shown.frame->windowCenter, 40);
            EXPECT_EQ(shown.frame->windowWidth, 400);
        }
        const QRect d = shown.view.destination;
        ASSERT_EQ(d, QRect(0, 30, 10 * shown.frame->probe.width, 160));
        const int scale = 10;

        const auto points = files->Expected(name);
        ASSERT_GE(points.size(), 4u);
        for (const auto& [pixel, expected] : points) {
            SCOPED_TRACE(testing::Message() << pixel.x() << ", " << pixel.y());
            const QPoint tip = d.topLeft() + pixel * scale + QPoint(2, 2);
            const QPoint press = tip - XEVToolHotSpot(kXEVToolPixelValue);
            GetLoadState().mouseTool = kXEVToolPixelValue;
            Mouse(shown.view, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton);
            const Reading readout = CopyReadout(shown.frame->pixelValue);
            Mouse(shown.view, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
            EXPECT_EQ(readout.active, 1);
            EXPECT_EQ(readout.color, 0);
            EXPECT_EQ(readout.text.toStdString(), (expected + QString::fromUtf8(c.unit)).toStdString());
        }
    }
}

TEST_F(ImageViewReadout, MeasurementWithoutSpacingCountsImagePixels)
{
    // 128 x 128 pixels fitted at scale 2 into 256 x 256, 30 pixels below the top.
    ImageInfo image;
    image.SetFilePath(files->Path(QStringLiteral("nospacing.dcm")));
    DecodeImage(&image);
    XEVImageViewCtrl view(&parent, 9001);
    view.setGeometry(0, 0, 256, 316);
    view.SetImages({&image});
    view.SetupFirstImage();
    ASSERT_TRUE(view.SetActive(true));
    (void)Grab(view);
    ASSERT_EQ(view.destination, QRect(0, 30, 256, 256));
    FrameImageInfo* frame = image.GetHelper()->GetFrame(0);
    ASSERT_NE(frame, nullptr);
    const QPoint hot = XEVToolHotSpot(kXEVToolMeasure);
    // Across 240 and down 240 screen pixels: 120 image pixels each.
    const std::pair<QPoint, QPoint> lines[] = {{{8, 40}, {248, 40}}, {{20, 40}, {20, 280}}};
    for (const auto& [from, to] : lines) {
        GetLoadState().mouseTool = kXEVToolMeasure;
        Drag(view, {from - hot, (from + to) / 2 - hot, to - hot});
    }
    ASSERT_EQ(frame->measures.size(), 2u);
    for (const auto& [id, measure] : frame->measures) {
        EXPECT_EQ(measure->labelText, QStringLiteral("120.00px"));
    }
    // Painted again from the image points, the text stays.
    (void)Grab(view);
    for (const auto& [id, measure] : frame->measures) {
        EXPECT_EQ(measure->labelText, QStringLiteral("120.00px"));
    }
}

TEST_F(ImageViewReadout, CornerTimesOfBothFormsShowAsHoursMinutesSeconds)
{
    const std::map<QString, QString> cases = {
        {QStringLiteral("time_colons.dcm"), QStringLiteral("09:30:15")},
        {QStringLiteral("time_fraction.dcm"), QStringLiteral("09:30:15")},
        {QStringLiteral("time_short.dcm"), QStringLiteral("0930")},
    };
    // The built-in layouts: the program folder is an empty one, without OVERLAY.XML.
    XEVCommonSettings& settings = GetCommonSettings();
    {
        QTemporaryDir program;
        PlatSetModuleFolderForTest(program.path().toStdString());
        settings.LoadOverlaySettings();
        PlatSetModuleFolderForTest("");
    }
    for (const auto& [file, expected] : cases) {
        SCOPED_TRACE(file.toStdString());
        ShownFile shown(parent, files->Path(file));
        ASSERT_TRUE(shown.active);
        // The texts the cell draws in its upper right corner.
        const XEVOverlayViewInfo texts = shown.view.BuildCornerTexts();
        const QString upperRight = texts.FormatPosition(texts.GetLines(5), 0);
        EXPECT_TRUE(upperRight.contains(u' ' + expected + QStringLiteral("\r\n"))) << upperRight.toStdString();
    }
    settings.OverlaySettings.clear();
    settings.OverlayFileExists = 0;
}

namespace {

// "<file>.values" of make_readout.py: every pixel value pydicom reads, by row.
std::vector<std::vector<double>> PixelValues(const QString& path)
{
    std::vector<std::vector<double>> rows;
    QFile in(path + QStringLiteral(".values"));
    EXPECT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Text));
    QTextStream text(&in);
    while (!text.atEnd()) {
        std::vector<double> row;
        for (const QString& field : text.readLine().split(u' ', Qt::SkipEmptyParts)) {
            row.push_back(field.toDouble());
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}   // namespace

TEST_F(ImageViewReadout, PixelValueIsThePixelDrawnUnderTheTipInEveryQuarter)
{
    struct Case {
        const char* file;
        double verticalScale;   // the file's pixel aspect ratio
        double baseScale;       // 0: fitted, 867 / 64 = 13.546875
        double zoomIncrement;   // not 0: nearest-neighbour scaling, as during a zoom drag
        QPoint pan;             // a drag of the pan tool
        int size;               // of the square cell
    };
    const Case cases[] = {
        {"ramp64.dcm", 1, 0, 0, {}, 867},
        {"ramp64.dcm", 1, 11.3, 0, {-37, -23}, 500},
        {"ramp64.dcm", 1, 10, 1.55, {41, 29}, 500},
        {"tall64.dcm", 2, 0, 0, {}, 867},
        {"tall64.dcm", 2, 10, 2.7, {-33, -19}, 500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.file << " at " << c.baseScale << " + " << c.zoomIncrement);
        const QString path = files->Path(QString::fromUtf8(c.file));
        const std::vector<std::vector<double>> values = PixelValues(path);
        ASSERT_FALSE(values.empty());
        ImageInfo image;
        image.SetFilePath(path);
        DecodeImage(&image);
        ASSERT_NE(image.GetHelper(), nullptr);
        FrameImageInfo* frame = image.GetHelper()->GetFrame(0);
        ASSERT_NE(frame, nullptr);
        XEVImageViewCtrl view(&parent, 9001);
        view.setGeometry(0, 0, c.size, c.size);
        view.SetImages({&image});
        view.SetupFirstImage();
        ASSERT_TRUE(view.SetActive(true));
        (void)Grab(view);
        if (c.baseScale != 0) {
            view.zoomMode = XEVImageViewCtrl::kZoomed;
            view.zoomed = 1;
            view.baseScale = c.baseScale;
            view.zoomIncrement = c.zoomIncrement;
            (void)Grab(view);
            const QPoint before(view.sourceLeft, view.sourceTop);
            GetLoadState().mouseTool = kXEVToolPan;
            Drag(view, {{250, 250}, QPoint(250, 250) + c.pan / 2, QPoint(250, 250) + c.pan});
            (void)Grab(view);
            ASSERT_NE(QPoint(view.sourceLeft, view.sourceTop), before);
            ASSERT_EQ(view.zoomIncrement, c.zoomIncrement);
        }
        const double sx = view.baseScale + view.zoomIncrement;
        const double sy = sx * c.verticalScale;
        ASSERT_GT(sx, 10.0);
        const QRect shown = view.destination.intersected(view.rect());
        const QPointF origin(view.sourceLeft, view.sourceTop);
        // Pixel (x, y) is drawn over [x, x + 1) x [y, y + 1) scaled from the origin; points a
        // quarter and three quarters across name it, however the scale rounds.
        int probed = 0;
        for (int y = view.sourceTop; y < view.sourceBottom; y += 5) {
            for (int x = view.sourceLeft; x < view.sourceRight; x += 7) {
                for (const QPointF f :
                     {QPointF(0.25, 0.25), QPointF(0.75, 0.25), QPointF(0.25, 0.75), QPointF(0.75, 0.75)}) {
                    const QPointF at = (QPointF(x, y) - origin + f);
                    const QPoint tip =
                        view.destination.topLeft() + QPoint(int(std::floor(at.x() * sx)), int(std::floor(at.y() * sy)));
                    if (!shown.contains(tip)) {
                        continue;
                    }
                    SCOPED_TRACE(testing::Message()
                                 << "pixel " << x << ", " << y << " at " << tip.x() << ", " << tip.y());
                    const QPoint press = tip - XEVToolHotSpot(kXEVToolPixelValue);
                    GetLoadState().mouseTool = kXEVToolPixelValue;
                    Mouse(view, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton);
                    const Reading readout = CopyReadout(frame->pixelValue);
                    Mouse(view, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
                    ASSERT_EQ(readout.active, 1);
                    EXPECT_EQ(readout.value, values[size_t(y)][size_t(x)]);
                    EXPECT_EQ(readout.text.toStdString(),
                              QString::asprintf("%.2f ", values[size_t(y)][size_t(x)]).toStdString());
                    ++probed;
                }
            }
        }
        EXPECT_GE(probed, 60);
    }
}

TEST_F(ImageViewReadout, PixelValueAtEveryScreenPixelIsThePixelPaintedThere)
{
    // Scaled nearest-neighbour and panned, every screen pixel along a row and down a column
    // reads the pixel whose grey is painted there, the pixels' edges included.
    for (const char* file : {"ramp64.dcm", "tall64.dcm"}) {
        SCOPED_TRACE(file);
        const QString path = files->Path(QString::fromUtf8(file));
        const std::vector<std::vector<double>> values = PixelValues(path);
        ASSERT_FALSE(values.empty());
        std::map<double, QPoint> where;
        for (size_t y = 0; y < values.size(); ++y) {
            for (size_t x = 0; x < values[y].size(); ++x) {
                where[values[y][x]] = QPoint(int(x), int(y));
            }
        }
        ASSERT_EQ(where.size(), values.size() * values[0].size());
        ImageInfo image;
        image.SetFilePath(path);
        DecodeImage(&image);
        ASSERT_NE(image.GetHelper(), nullptr);
        FrameImageInfo* frame = image.GetHelper()->GetFrame(0);
        ASSERT_NE(frame, nullptr);
        XEVImageViewCtrl view(&parent, 9001);
        view.setGeometry(0, 0, 500, 500);
        view.SetImages({&image});
        view.SetupFirstImage();
        ASSERT_TRUE(view.SetActive(true));
        view.zoomMode = XEVImageViewCtrl::kZoomed;
        view.zoomed = 1;
        view.baseScale = 10;
        view.zoomIncrement = 1.55;
        (void)Grab(view);
        GetLoadState().mouseTool = kXEVToolPan;
        Drag(view, {{250, 250}, {270, 260}, {291, 279}});
        (void)Grab(view);
        const double sx = view.baseScale + view.zoomIncrement;
        const double sy = sx * (frame->verticalScale > 1 ? frame->verticalScale : 1.0);
        // Inside the active cell's outline.
        const QRect shown = view.destination.intersected(view.rect().adjusted(4, 4, -4, -4));
        const QPoint middle = shown.center();
        for (const bool across : {true, false}) {
            SCOPED_TRACE(across ? "across" : "down");
            // A window narrow enough that neighbours along the line paint different greys.
            const int cx = view.sourceLeft + int((middle.x() - view.destination.left()) / sx);
            const int cy = view.sourceTop + int((middle.y() - view.destination.top()) / sy);
            frame->SetWindow(values[size_t(cy)][size_t(cx)], across ? 64 : 4096, 0);
            const QImage painted = Grab(view);
            const int length = across ? shown.width() : shown.height();
            int probed = 0;
            for (int t = 0; t < length; ++t) {
                const QPoint tip = across ? QPoint(shown.left() + t, middle.y()) : QPoint(middle.x(), shown.top() + t);
                const QPoint press = tip - XEVToolHotSpot(kXEVToolPixelValue);
                GetLoadState().mouseTool = kXEVToolPixelValue;
                Mouse(view, QEvent::MouseButtonPress, press, Qt::LeftButton, Qt::LeftButton);
                const double value = frame->pixelValue.value;
                Mouse(view, QEvent::MouseButtonRelease, press, Qt::LeftButton, Qt::NoButton);
                const auto found = where.find(value);
                ASSERT_NE(found, where.end()) << value;
                const QPoint pixel = found->second;
                // The middle of that pixel's square, or of the part of it shown.
                const QPoint middleOfSquare =
                    view.destination.topLeft() +
                    QPoint(int((pixel.x() - view.sourceLeft + 0.5) * sx), int((pixel.y() - view.sourceTop + 0.5) * sy));
                const QPoint centre(std::clamp(middleOfSquare.x(), shown.left(), shown.right()),
                                    std::clamp(middleOfSquare.y(), shown.top(), shown.bottom()));
                EXPECT_EQ(Gray(painted, tip.x(), tip.y()), Gray(painted, centre.x(), centre.y()))
                    << "at " << tip.x() << ", " << tip.y() << " read pixel " << pixel.x() << ", " << pixel.y();
                ++probed;
            }
            EXPECT_GE(probed, 300);
        }
    }
}

TEST_F(ImageViewReadout, CornerTextsShowTheValueTheirIndexNames)
{
    // "gggg,eeee index text" of make_readout.py, the text empty past the last value.
    struct Expected {
        QString tag;
        QString index;
        QString text;
    };
    std::vector<Expected> expected;
    {
        QFile in(files->Path(QStringLiteral("corner_values.txt")));
        ASSERT_TRUE(in.open(QIODevice::ReadOnly | QIODevice::Text));
        QTextStream text(&in);
        while (!text.atEnd()) {
            const QStringList fields = text.readLine().split(u' ');
            ASSERT_EQ(fields.size(), 3);
            expected.push_back({fields[0], fields[1], fields[2]});
        }
    }
    ASSERT_EQ(expected.size(), 20u);
    // A settings file beside the program: the upper left corner of MR images, one line each.
    QTemporaryDir program;
    QString xml = QStringLiteral("<OVERLAYSETTING><MODALITY NAME='MR'><LOCATION VALUE='UPPERLEFT'>");
    for (size_t i = 0; i < expected.size(); ++i) {
        xml += QStringLiteral("<LINE><TAG NO='%1' INDEX='%2' PREFIX='%3='/></LINE>")
                   .arg(expected[i].tag, expected[i].index)
                   .arg(i);
    }
    xml += QStringLiteral("</LOCATION></MODALITY></OVERLAYSETTING>");
    {
        QFile out(program.filePath(QStringLiteral("OVERLAY.XML")));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(xml.toUtf8());
    }
    XEVCommonSettings& settings = GetCommonSettings();
    PlatSetModuleFolderForTest(program.path().toStdString());
    settings.LoadOverlaySettings();
    PlatSetModuleFolderForTest("");
    ASSERT_EQ(settings.OverlayFileExists, 1);

    ShownFile shown(parent, files->Path(QStringLiteral("corner_values.dcm")));
    ASSERT_TRUE(shown.active);
    const XEVOverlayViewInfo texts = shown.view.BuildCornerTexts();
    std::map<QString, QString> values;
    for (const XEVOverlaySettingInfoItem& item : texts.GetLines(0)) {
        values[item.prefix] = item.value;
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE((expected[i].tag + u' ' + expected[i].index).toStdString());
        const auto found = values.find(QString::number(i) + u'=');
        ASSERT_NE(found, values.end());
        EXPECT_EQ(found->second.toStdString(), expected[i].text.toStdString());
    }
    settings.OverlaySettings.clear();
    settings.OverlayFileExists = 0;
}
