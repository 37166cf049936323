// Reference lines between an axial and a sagittal series of one study, through the real frame's
// study cells: where the other plane ends within a pixel of an image's edge, as series
// reformatted from one volume do, the line still runs to that edge; a slice whose place or
// number the file does not hold whole draws no line, or a label without a number.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include <array>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "framelisttestsupport.h"
#include "plat_temp_folder.h"
#include "shell/xevcommonsettings.h"

namespace {

// The fixture's geometry (write_crossing_planes.py).
constexpr double kSpacing = 2.0 / 3.0;
constexpr double kAxialY = -179.036;
constexpr double kSagittalY = -179.0;
constexpr double kHalf = 64 * kSpacing;
constexpr int kSize = 128;
// The slices' places: z of the axial ones, x of the sagittal ones.
constexpr double kPlaces[3] = {-10.0, 0.0, 10.0};

int RoundAway(double value)
{
    return int(value >= 0 ? value + 0.5 : value - 0.5);
}

// One line in a target's pixels: at a fixed row (across) or column (down), from lo to hi.
struct Expected {
    bool across;
    int at;
    int lo;
    int hi;
};

class ReferenceLinesTest : public FrameListTest {
protected:
    // raw: "NAME:TAG:VR:TEXT" values written as given (write_crossing_planes.py).
    void Open(double shift, const std::string& raw = {})
    {
        const std::string out = temp_ / ("disc" + std::to_string(++opened_));
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -W ignore " +
                                    std::string(FRAME_TEST_DATA_DIR) + "/write_crossing_planes.py " + out + " " +
                                    std::to_string(shift) + " " + raw;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        pydicom_ = ReadPydicomReadings(out + "/pydicom.txt");
        ASSERT_EQ(pydicom_.size(), 6u);
        Load(QString::fromStdString(out + "/DICOMDIR"));
        ASSERT_EQ(List().patients.size(), 1u);
        DoubleClickStudy(List().patients.at(0)->studies.at(0));
        ASSERT_TRUE(PumpUntilLoaded(Image()));
        Pump();
    }

    XEVImageViewCtrl* CellOf(const char* folder)
    {
        for (const auto& [id, cell] : Image().studyCells) {
            const ImageInfo* image = cell->CurrentImage();
            if (image != nullptr && image->filePath.contains(QLatin1String(folder))) {
                return cell;
            }
        }
        return nullptr;
    }

    // The source cell made active and stepped to its next slice, the file named (the second
    // from the first): the others draw its first, last and current plane.
    void Activate(XEVImageViewCtrl& source, const char* file = "/I2")
    {
        Mouse(source, QEvent::MouseMove, QPoint(source.width() / 2, source.height() / 2), Qt::NoButton, Qt::NoButton);
        Pump();
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
        QCoreApplication::sendEvent(&source, &down);
        ASSERT_TRUE(PumpUntil([&] {
            return source.CurrentImage() != nullptr && source.CurrentImage()->filePath.endsWith(QLatin1String(file)) &&
                   source.HasFramePixels(source.currentFrame);
        }));
        Pump();
    }

    // pydicom's reading of a file's value, by column ("-": none).
    std::string Py(const std::string& file, size_t column) { return pydicom_.at(file).at(column); }
    static constexpr size_t kInstance = 0, kPosition = 1, kOrientation = 2, kMatrix = 3, kImagerSpacing = 4,
                            kPixelSpacing = 5;

    // The lines a cell's shown frame holds.
    static std::array<CXEVOverlayReferenceLine::Line, 3> LinesOf(XEVImageViewCtrl& cell)
    {
        ImageInfo* image = cell.CurrentImage();
        std::lock_guard<PlatRecursiveLock> lock(image->GetLock());
        const FrameImageInfo* frame = image->GetHelper()->GetCurrentFrame();
        return frame != nullptr ? frame->referenceLine.lines : std::array<CXEVOverlayReferenceLine::Line, 3>{};
    }

    // The lines of the source's first, last and current slices on the target, as pydicom reads
    // both files: a line only between two slices whose position, orientation and spacing (the
    // imager's, else the pixels') read whole, its label "C" and the source's number, or "C"
    // alone for a number pydicom cannot read.
    void ExpectLabelledLines(XEVImageViewCtrl& target, const std::string& targetFile,
                             const std::array<std::string, 3>& sourceFiles)
    {
        const auto placed = [&](const std::string& file) {
            return Py(file, kPosition) != "-" && Py(file, kOrientation) != "-" &&
                   (Py(file, kImagerSpacing) != "-" || Py(file, kPixelSpacing) != "-");
        };
        const std::array<CXEVOverlayReferenceLine::Line, 3> lines = LinesOf(target);
        int32_t shown = 0;
        for (size_t k = 0; k < 3; ++k) {
            SCOPED_TRACE(sourceFiles[k]);
            const bool crosses = placed(targetFile) && placed(sourceFiles[k]);
            shown += crosses ? 1 : 0;
            EXPECT_EQ(lines[k].valid, crosses ? 1 : 0);
            if (crosses) {
                const std::string number = Py(sourceFiles[k], kInstance);
                EXPECT_EQ(CXEVOverlayReferenceLine::LabelText(lines[k]).toStdString(),
                          number == "-" ? "C" : "C " + number);
            }
        }
        EXPECT_EQ(target.referenceLineShown, shown > 0 ? 1 : 0);
    }

    // A corner value of the shown frame: the tag item's, or an orientation letter.
    static std::string CornerValue(XEVImageViewCtrl& cell, uint16_t group, uint16_t element, int32_t index)
    {
        const XEVOverlayViewInfo texts = cell.BuildCornerTexts();
        for (const auto& items : texts.positions) {
            for (const XEVOverlaySettingInfoItem& item : items) {
                if (item.kind == XEVOverlaySettingInfoItem::kTag && item.group == group && item.element == element &&
                    item.index == index) {
                    return item.value.toStdString();
                }
            }
        }
        return "(no item)";
    }

    // The corner values of a file as pydicom reads it: the first position and orientation value
    // as decimals are shown, and the acquisition matrix's rows and columns, each its phase value
    // where its frequency value is below 1; none for a list pydicom cannot read whole.
    void ExpectCorners(XEVImageViewCtrl& cell, const std::string& file)
    {
        SCOPED_TRACE(file);
        const auto first = [&](size_t column) {
            const std::string values = Py(file, column);
            return values == "-"
                       ? std::string()
                       : QString::asprintf("%.2f", std::stod(values)).remove(QStringLiteral(".00")).toStdString();
        };
        EXPECT_EQ(CornerValue(cell, 0x0020, 0x0032, 1), first(kPosition));
        EXPECT_EQ(CornerValue(cell, 0x0020, 0x0037, 1), first(kOrientation));
        QString rows, columns;
        if (Py(file, kMatrix) != "-") {
            const QStringList m = QString::fromStdString(Py(file, kMatrix)).split(QLatin1Char('\\'));
            rows = m[0].toInt() >= 1 ? m[0] : m[2];
            columns = m[1].toInt() >= 1 ? m[1] : m[3];
        }
        EXPECT_EQ(CornerValue(cell, 0x0018, 0x1310, 1), rows.toStdString());
        EXPECT_EQ(CornerValue(cell, 0x0018, 0x1310, 2), columns.toStdString());
        // The axial rows run from the patient's right to left, its columns front to back.
        const XEVOverlayViewInfo texts = cell.BuildCornerTexts();
        const bool oriented = Py(file, kOrientation) != "-";
        EXPECT_EQ(texts.orientationLeftText.toStdString(), oriented ? "R" : "");
        EXPECT_EQ(texts.orientationTopText.toStdString(), oriented ? "A" : "");
    }

    // The image pixels (column, row) under the cell's white pixels on the image's grey: a
    // label's letters stand on a black box, a dotted line's gaps are a few black pixels.
    static std::vector<QPoint> WhiteImagePixels(XEVImageViewCtrl& cell)
    {
        const QImage painted = Grab(cell);
        const auto onGrey = [&](int x, int y) {
            int black = 0;
            for (int dy = -3; dy <= 3; ++dy) {
                for (int dx = -3; dx <= 3; ++dx) {
                    black += !painted.valid(x + dx, y + dy) || IsColour(painted, x + dx, y + dy, 0, 0, 0) ? 1 : 0;
                }
            }
            return black < 16;
        };
        std::vector<QPoint> white;
        for (int y = 0; y < painted.height(); ++y) {
            for (int x = 0; x < painted.width(); ++x) {
                if (IsColour(painted, x, y, 255, 255, 255) && onGrey(x, y)) {
                    white.push_back(cell.ClientToImage(QPoint(x, y)));
                }
            }
        }
        return white;
    }

    // How many of the line's pixels from lo to hi have a white pixel within one of them, and
    // how many white pixels near the line lie more than two pixels past its ends.
    static void Measure(const std::vector<QPoint>& white, const Expected& line, int& covered, int& beyond)
    {
        std::vector<bool> hit(size_t(kSize + 1), false);
        beyond = 0;
        for (const QPoint& p : white) {
            const int along = line.across ? p.x() : p.y();
            const int off = line.across ? p.y() : p.x();
            if (std::abs(off - line.at) > 1) {
                continue;
            }
            if (along < line.lo - 2 || along > line.hi + 2) {
                ++beyond;
            } else if (along >= 0 && along <= kSize) {
                hit[size_t(along)] = true;
            }
        }
        covered = 0;
        for (int k = std::max(line.lo, 0); k < std::min(line.hi, kSize); ++k) {
            const bool near = hit[size_t(k)] || (k > 0 && hit[size_t(k - 1)]) || hit[size_t(k + 1)];
            covered += near ? 1 : 0;
        }
    }

    // The lines each cell shows of the other, by the closed form: the other plane's slices at
    // their rows (columns), running over the stretch of y the other series covers.
    void ExpectLines(double shift)
    {
        XEVImageViewCtrl* axial = CellOf("/S1/");
        XEVImageViewCtrl* sagittal = CellOf("/S2/");
        ASSERT_NE(axial, nullptr);
        ASSERT_NE(sagittal, nullptr);
        const double sagittalY = kSagittalY + shift;
        struct Case {
            XEVImageViewCtrl* source;
            XEVImageViewCtrl* target;
            bool across;
            double start;   // where the source's y stretch starts, in target pixels
        };
        const Case cases[2] = {{axial, sagittal, true, (kAxialY - sagittalY) / kSpacing},
                               {sagittal, axial, false, (sagittalY - kAxialY) / kSpacing}};
        for (const Case& c : cases) {
            SCOPED_TRACE(c.across ? "axial planes on the sagittal image" : "sagittal planes on the axial image");
            Activate(*c.source);
            EXPECT_EQ(c.target->referenceLineShown, 1);
            const int lo = std::max(0, RoundAway(c.start));
            const int hi = std::min(kSize, RoundAway(c.start + kSize));
            const std::vector<QPoint> white = WhiteImagePixels(*c.target);
            for (int k = 0; k < 3; ++k) {
                // Axial z runs up the sagittal image's rows; sagittal x along the axial columns.
                const int at = RoundAway(c.across ? (kHalf - kPlaces[k]) / kSpacing : (kPlaces[k] + kHalf) / kSpacing);
                int covered = 0;
                int beyond = 0;
                Measure(white, {c.across, at, lo, hi}, covered, beyond);
                EXPECT_EQ(beyond, 0) << "slice " << k;
                // The current slice solid, end to end but for a label's box; the others dotted.
                if (k == 1) {
                    EXPECT_GE(covered, (hi - lo) * 9 / 10) << "from " << lo << " to " << hi;
                } else {
                    EXPECT_GE(covered, (hi - lo) / 5) << "slice " << k << " from " << lo << " to " << hi;
                }
            }
        }
    }

    PlatTempFolder temp_;
    int opened_ = 0;
    std::map<std::string, std::vector<std::string>> pydicom_;
};

}   // namespace

// Extents that agree to 0.036 mm, the sagittal series inside the axial one's stretch of y and
// then outside it: in each image the other plane ends a hair inside one edge and a hair past
// the other, and its line is drawn from edge to edge.
TEST_F(ReferenceLinesTest, PlanesEndingWithinAPixelOfTheEdgeStillCross)
{
    for (const double shift : {0.0, -0.072}) {
        SCOPED_TRACE(shift);
        Open(shift);
        ExpectLines(shift);
    }
    EXPECT_TRUE(answers.shown.isEmpty());
}

// The sagittal series 9 mm along y: the lines stop where the other series ends.
TEST_F(ReferenceLinesTest, ShiftedPlanesCrossWhereTheyOverlap)
{
    Open(9);
    ExpectLines(9);
    EXPECT_TRUE(answers.shown.isEmpty());
}

// Values a file holds in part: an axial slice whose position has a value that is no number and
// whose orientation has five values, one whose position has two, a sagittal slice whose
// Instance Number is a fraction, another with one Imager Pixel Spacing value beside its Pixel
// Spacing. Neither a line nor a corner value comes of a list not held whole, and a number that
// is none labels its line "C" alone; never a 0 in their place.
TEST_F(ReferenceLinesTest, ValuesHeldInPartDrawNoLineAndShowNoZero)
{
    // The built-in corners, the CT's with the items below, for this test only: the other tests
    // count white pixels of a view without corner texts.
    const KeptOverlaySettings kept;
    GetCommonSettings().LoadOverlaySettings();
    XEVOverlaySettingInfo ct = GetCommonSettings().FindOverlaySettingInfo(QStringLiteral("CT"));
    for (const auto& [group, element, index] : {std::tuple<uint16_t, uint16_t, int32_t>{0x0020, 0x0032, 1},
                                                {0x0020, 0x0037, 1},
                                                {0x0018, 0x1310, 1},
                                                {0x0018, 0x1310, 2}}) {
        XEVOverlaySettingInfoItem item;
        item.kind = XEVOverlaySettingInfoItem::kTag;
        item.group = group;
        item.element = element;
        item.index = index;
        ct.AddItem(5, item);
    }
    GetCommonSettings().OverlaySettings[QStringLiteral("CT")] = ct;
    Open(0, "'S1/I1:00200032:DS:-42.666666666667\\x\\-10' 'S1/I1:00200037:DS:1\\0\\0\\0\\1' "
            "'S1/I1:00181310:IS:0\\x\\64\\0' 'S1/I2:00181310:IS:0\\128\\64\\0' "
            "'S1/I3:00200032:DS:-42.666666666667\\-179.036' 'S2/I3:00200013:IS:7.5' "
            "'S2/I1:00181164:DS:0.66666666666667'");
    XEVImageViewCtrl* axial = CellOf("/S1/");
    XEVImageViewCtrl* sagittal = CellOf("/S2/");
    ASSERT_NE(axial, nullptr);
    ASSERT_NE(sagittal, nullptr);
    ExpectCorners(*axial, "S1/I1");

    // The axial slices on the sagittal image: only the current one is placed whole.
    Activate(*axial);
    ExpectCorners(*axial, "S1/I2");
    ExpectLabelledLines(*sagittal, "S2/I1", {"S1/I1", "S1/I3", "S1/I2"});
    const std::vector<QPoint> white = WhiteImagePixels(*sagittal);
    for (const int k : {0, 2}) {
        int covered = 0;
        int beyond = 0;
        Measure(white, {true, RoundAway((kHalf - kPlaces[k]) / kSpacing), 0, kSize}, covered, beyond);
        EXPECT_EQ(covered + beyond, 0) << "slice " << k;
    }

    // The sagittal slices on the axial image: the last labelled without a number.
    Activate(*sagittal);
    ExpectLabelledLines(*axial, "S1/I2", {"S2/I1", "S2/I3", "S2/I2"});

    // A slice of two position values, shown: its corners and its place are none, its letters
    // stand; as a source it draws no line, as a target it takes none.
    Activate(*axial, "/I3");
    ExpectCorners(*axial, "S1/I3");
    ExpectLabelledLines(*sagittal, "S2/I2", {"S1/I1", "S1/I3", "S1/I3"});
    Activate(*sagittal, "/I3");
    ExpectLabelledLines(*axial, "S1/I3", {"S2/I1", "S2/I3", "S2/I3"});
    EXPECT_EQ(axial->referenceLineShown, 0);
    EXPECT_TRUE(answers.shown.isEmpty());
}

// A sagittal slice of five orientation values, the axial one's five: were it given a sixth 0 it
// would lie parallel to the axial series, and selecting that series would take its cell there
// by the series link. It lies nowhere: the cell stays and takes the lines.
TEST_F(ReferenceLinesTest, AShortOrientationLinksNoSeries)
{
    ASSERT_NE(GetCommonSettings().SeriesAutoLink, 0);
    Open(0, "'S2/I3:00200037:DS:1\\0\\0\\0\\1'");
    XEVImageViewCtrl* axial = CellOf("/S1/");
    XEVImageViewCtrl* sagittal = CellOf("/S2/");
    ASSERT_NE(axial, nullptr);
    ASSERT_NE(sagittal, nullptr);
    Activate(*axial);
    EXPECT_TRUE(sagittal->CurrentImage()->filePath.endsWith(QLatin1String("/S2/I1")));
    ExpectLabelledLines(*sagittal, "S2/I1", {"S1/I1", "S1/I3", "S1/I2"});
}
