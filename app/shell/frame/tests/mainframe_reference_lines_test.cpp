// Reference lines between an axial and a sagittal series of one study, through the real frame's
// study cells: where the other plane ends within a pixel of an image's edge, as series
// reformatted from one volume do, the line still runs to that edge.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "framelisttestsupport.h"
#include "plat_temp_folder.h"

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
    void Open(double shift)
    {
        const std::string out = temp_ / ("disc" + std::to_string(++opened_));
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -W ignore " +
                                    std::string(FRAME_TEST_DATA_DIR) + "/write_crossing_planes.py " + out + " " +
                                    std::to_string(shift);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
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

    // The source cell made active and stepped to its second slice: the others draw its first,
    // last and current plane.
    void Activate(XEVImageViewCtrl& source)
    {
        Mouse(source, QEvent::MouseMove, QPoint(source.width() / 2, source.height() / 2), Qt::NoButton, Qt::NoButton);
        Pump();
        QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
        QCoreApplication::sendEvent(&source, &down);
        ASSERT_TRUE(PumpUntil([&] {
            return source.CurrentImage() != nullptr && source.CurrentImage()->instanceNumber == 2 &&
                   source.HasFramePixels(source.currentFrame);
        }));
        Pump();
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
