// The series grid of positioned CT series (one Frame of Reference, as every real CT or MR
// series has), reached from the study list and from a study cell, through the real frame:
//  - every tile shows its own image, in order, whichever tile the pointer or a click makes
//    active; a study's cells of different series stay linked;
//  - the page stays where the user left it through layout changes, drags with each display
//    tool and the page keys, and every tile's page text agrees.
#include <gtest/gtest.h>

#include <QKeyEvent>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "framelisttestsupport.h"
#include "plat_temp_folder.h"

namespace {

const QString kEvenSeries = QStringLiteral("1.2.826.0.1.3680043.8.498.91.2.1");
const QString kUnevenSeries = QStringLiteral("1.2.826.0.1.3680043.8.498.91.2.2");
const QString kLongSeries = QStringLiteral("1.2.826.0.1.3680043.8.498.91.2.3");
constexpr double kCentre = 2000;
constexpr double kWidth = 4000;

// Instance numbers of the fixture's series in their order, and the value each image holds.
std::vector<int> Numbers(const QString& uid)
{
    if (uid == kUnevenSeries) {
        return {18, 180, 181, 182};
    }
    std::vector<int> numbers;
    for (int n = 1; n <= (uid == kEvenSeries ? 12 : 23); ++n) {
        numbers.push_back(n);
    }
    return numbers;
}

int Value(const QString& uid, size_t place)
{
    const int series = uid == kEvenSeries ? 0 : (uid == kUnevenSeries ? 1 : 2);
    return 40 * int(place + 1 + 25 * series);
}

// What one tile shows: its image's instance number and the grey painted at its centre.
struct Tile {
    int number = -1;
    int grey = -1;
    bool operator==(const Tile&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Tile& tile)
{
    return out << "(" << tile.number << ", " << tile.grey << ")";
}

class TilesTest : public FrameListTest {
protected:
    void SetUp() override
    {
        FrameListTest::SetUp();
        GetCommonSettings().SeriesAutoLink = 1;
        const std::string out = temp_ / "disc";
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -W ignore " +
                                    std::string(FRAME_TEST_DATA_DIR) + "/write_positioned_disc.py " + out;
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        Load(QString::fromStdString(out + "/DICOMDIR"));
        ASSERT_EQ(List().patients.size(), 1u);
    }

    int PerPage() { return Image().seriesLayout.rows * Image().seriesLayout.cols; }
    std::vector<XEVImageViewCtrl*> PageCells()
    {
        std::vector<XEVImageViewCtrl*> cells;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (int(cells.size()) < PerPage()) {
                cells.push_back(cell);
            }
        }
        return cells;
    }
    // The page's tiles; with the file's own window, the grey each tile paints too.
    std::vector<Tile> Tiles(bool greys)
    {
        std::vector<Tile> tiles;
        for (XEVImageViewCtrl* cell : PageCells()) {
            Tile tile;
            if (const ImageInfo* image = cell->CurrentImage()) {
                tile.number = image->instanceNumber;
                if (greys && cell->HasFramePixels(cell->currentFrame)) {
                    const QImage painted = cell->grab().toImage();
                    tile.grey = qGray(painted.pixel(painted.width() / 2, painted.height() / 2));
                }
            }
            tiles.push_back(tile);
        }
        return tiles;
    }
    // The page of the series that starts at offset.
    std::vector<Tile> Page(const QString& uid, size_t offset, bool greys)
    {
        const std::vector<int> numbers = Numbers(uid);
        std::vector<Tile> tiles;
        for (size_t k = 0; k < size_t(PerPage()); ++k) {
            const size_t at = offset + k;
            if (at < numbers.size()) {
                tiles.push_back({numbers[at], greys ? Windowed(Value(uid, at), kCentre, kWidth) : -1});
            } else {
                tiles.push_back({});
            }
        }
        return tiles;
    }
    void ExpectPage(const QString& uid, size_t offset, bool greys = true)
    {
        PumpUntil([&] { return Tiles(greys) == Page(uid, offset, greys); });
        EXPECT_EQ(Tiles(greys), Page(uid, offset, greys)) << "page at " << offset;
    }
    // The page text every tile with an image shows, once each has its pixels; "" when they
    // differ.
    std::string PageText()
    {
        PumpUntil([&] {
            for (XEVImageViewCtrl* cell : PageCells()) {
                if (cell->CurrentImage() != nullptr && !cell->HasFramePixels(cell->currentFrame)) {
                    return false;
                }
            }
            return true;
        });
        QString text;
        for (XEVImageViewCtrl* cell : PageCells()) {
            if (cell->CurrentImage() == nullptr) {
                continue;
            }
            const QString own = cell->BuildCornerTexts().pageText;
            if (!text.isEmpty() && own != text) {
                return std::string();
            }
            text = own;
        }
        return text.toStdString();
    }

    // The pointer over each tile, then a click on it: each makes the tile the active one.
    void PointAtEveryTile(const QString& uid, size_t offset)
    {
        for (XEVImageViewCtrl* cell : PageCells()) {
            if (cell->CurrentImage() == nullptr) {
                continue;
            }
            const QPoint centre(cell->width() / 2, cell->height() / 2);
            Mouse(*cell, QEvent::MouseMove, centre, Qt::NoButton, Qt::NoButton);
            Pump();
            EXPECT_EQ(Image().GetFirstActiveView(), cell);
            EXPECT_EQ(Tiles(true), Page(uid, offset, true)) << "pointer on " << cell->ControlId();
            Mouse(*cell, QEvent::MouseButtonPress, centre, Qt::LeftButton, Qt::LeftButton);
            Mouse(*cell, QEvent::MouseButtonRelease, centre, Qt::LeftButton, Qt::NoButton);
            Pump();
            EXPECT_EQ(Tiles(true), Page(uid, offset, true)) << "click on " << cell->ControlId();
        }
    }

    StudyInfo* Study() { return List().patients.at(0)->studies.at(0); }
    XEVImageViewCtrl* StudyCellOf(const QString& uid)
    {
        for (const auto& [id, cell] : Image().studyCells) {
            // The fixture's series k lies in the folder Sk.
            const QString folder = uid == kEvenSeries ? "/S1/" : (uid == kUnevenSeries ? "/S2/" : "/S3/");
            const ImageInfo* image = cell->CurrentImage();
            if (image != nullptr && image->filePath.contains(folder)) {
                return cell;
            }
        }
        return nullptr;
    }
    // The study shown and loaded; the cell of the series steps to its image at place.
    XEVImageViewCtrl* StudyCellAt(const QString& uid, int place)
    {
        DoubleClickStudy(Study());
        EXPECT_EQ(Image().activeMode, 0);
        EXPECT_TRUE(PumpUntilLoaded(Image()));
        Pump();
        XEVImageViewCtrl* cell = StudyCellOf(uid);
        EXPECT_NE(cell, nullptr);
        if (cell == nullptr) {
            return nullptr;
        }
        Mouse(*cell, QEvent::MouseMove, QPoint(cell->width() / 2, cell->height() / 2), Qt::NoButton, Qt::NoButton);
        Pump();
        for (int k = 0; k < place; ++k) {
            Press(*cell, Qt::Key_Down);
        }
        const int number = Numbers(uid).at(size_t(place));
        EXPECT_TRUE(PumpUntil([&] {
            return cell->CurrentImage() != nullptr && cell->CurrentImage()->instanceNumber == number &&
                   cell->HasFramePixels(cell->currentFrame);
        }));
        return cell;
    }
    // A double-click on the study cell: its series in the grid, from the image it showed.
    void EnlargeCell(XEVImageViewCtrl& cell)
    {
        Mouse(cell, QEvent::MouseButtonDblClick, QPoint(cell.width() / 2, cell.height() / 2), Qt::LeftButton,
              Qt::LeftButton);
        Pump();
        ASSERT_EQ(Image().activeMode, 1);
    }

    XEVImageViewCtrl& Keys()
    {
        XEVImageViewCtrl* cell = Image().GetFirstActiveView();
        return cell != nullptr ? *cell : *Image().ActiveCells().begin()->second;
    }
    static void Press(XEVImageViewCtrl& cell, int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&cell, &press);
        Pump();
    }
    // Ctrl+wheel on a tile: up fewer cells, down more, one table step each.
    void StepLayout(int steps)
    {
        for (int k = 0; k < std::abs(steps); ++k) {
            Wheel(Keys(), steps > 0 ? -120 : 120, Qt::ControlModifier);
            Pump();
        }
    }
    // A drag of 3 px with the tool on the page's fifth tile (or the last it has).
    void DragWith(uint32_t toolMessage)
    {
        Image().OnMessage(toolMessage, 0, 0);
        std::vector<XEVImageViewCtrl*> cells = PageCells();
        XEVImageViewCtrl& cell = *cells.at(std::min<size_t>(4, cells.size() - 1));
        const QPoint centre(cell.width() / 2, cell.height() / 2);
        Mouse(cell, QEvent::MouseMove, centre, Qt::NoButton, Qt::NoButton);
        Drag(cell, {centre, centre + QPoint(3, 0), centre + QPoint(3, 3)});
        Pump();
        GetLoadState().mouseTool = 0;
    }

    PlatTempFolder temp_;
};

}   // namespace

// Reached from the list and from a study cell: every tile its own image, in the series' order
// (not the disc's), whichever tile is pointed at or clicked. The study's cells of different
// series on the same Frame of Reference still follow the active one to its nearest slice.
TEST_F(TilesTest, EveryTileOfAPositionedSeriesShowsItsOwnImage)
{
    for (const QString& uid : {kEvenSeries, kUnevenSeries}) {
        SCOPED_TRACE(uid.toStdString());
        DoubleClickSeries(uid);
        ASSERT_EQ(Image().activeMode, 1);
        ASSERT_EQ(PerPage(), 9);
        ExpectPage(uid, 0);
        PointAtEveryTile(uid, 0);
        Press(Keys(), Qt::Key_PageDown);
        const size_t second = uid == kEvenSeries ? 9 : 0;
        ExpectPage(uid, second);
        PointAtEveryTile(uid, second);
    }

    // The even series' cell at z = 7: the uneven one goes to its slice at 7, the long one to 8.
    XEVImageViewCtrl* cell = StudyCellAt(kEvenSeries, 7);
    ASSERT_NE(cell, nullptr);
    const auto numberOf = [&](const QString& uid) {
        const XEVImageViewCtrl* other = StudyCellOf(uid);
        return other != nullptr && other->CurrentImage() != nullptr ? other->CurrentImage()->instanceNumber : -1;
    };
    EXPECT_TRUE(PumpUntil([&] { return numberOf(kUnevenSeries) == 181 && numberOf(kLongSeries) == 8; }));
    EXPECT_EQ(numberOf(kUnevenSeries), 181);
    EXPECT_EQ(numberOf(kLongSeries), 8);

    // Double-clicked: one tile at its image; laid out 3 x 3, the page goes on from there.
    EnlargeCell(*cell);
    ASSERT_EQ(PerPage(), 1);
    ExpectPage(kEvenSeries, 7);
    StepLayout(4);
    ASSERT_EQ(PerPage(), 9);
    ExpectPage(kEvenSeries, 7);
    PointAtEveryTile(kEvenSeries, 7);
    Press(Keys(), Qt::Key_Home);
    ExpectPage(kEvenSeries, 0);
    PointAtEveryTile(kEvenSeries, 0);
    EXPECT_TRUE(answers.shown.isEmpty());
}

// 23 images at 2 x 2, two pages down (images 9 to 12), then 3 x 3 by Ctrl+wheel: the page
// keeps images 9 to 17 through drags with each display tool, every tile reads "1 of 3"; Home
// goes to the first page at once, End to the last ("3 of 3"); smaller layouts keep the page's
// start.
TEST_F(TilesTest, PageKeepsItsStartThroughLayoutChangesDragsAndKeys)
{
    DoubleClickSeries(kLongSeries);
    ASSERT_EQ(Image().activeMode, 1);
    ExpectPage(kLongSeries, 0);
    EXPECT_EQ(PageText(), "1 of 3");
    StepLayout(-2);
    ASSERT_EQ(PerPage(), 4);
    Press(Keys(), Qt::Key_PageDown);
    Press(Keys(), Qt::Key_PageDown);
    ExpectPage(kLongSeries, 8);
    StepLayout(2);
    ASSERT_EQ(PerPage(), 9);
    ExpectPage(kLongSeries, 8);
    EXPECT_EQ(PageText(), "1 of 3");
    for (uint32_t tool : {WM_XEV_TOOL_WINDOWLEVEL, WM_XEV_TOOL_ZOOM, WM_XEV_TOOL_PAN}) {
        DragWith(tool);
        ExpectPage(kLongSeries, 8, false);
        EXPECT_EQ(PageText(), "1 of 3") << tool;
    }
    Press(Keys(), Qt::Key_Home);
    ExpectPage(kLongSeries, 0, false);
    EXPECT_EQ(PageText(), "1 of 3");
    Press(Keys(), Qt::Key_End);
    ExpectPage(kLongSeries, 14, false);
    EXPECT_EQ(PageText(), "3 of 3");
    // 2 x 3 from the last page: images 15 to 20; a page up from there, 9 to 14.
    StepLayout(-1);
    ASSERT_EQ(PerPage(), 6);
    ExpectPage(kLongSeries, 14, false);
    EXPECT_EQ(PageText(), "3 of 4");
    Press(Keys(), Qt::Key_PageUp);
    ExpectPage(kLongSeries, 8, false);
    EXPECT_EQ(PageText(), "2 of 4");

    // From a study cell at image 9: one tile, then 2 x 2 by Ctrl+wheel, images 9 to 12 through
    // a drag; Home the first page.
    XEVImageViewCtrl* cell = StudyCellAt(kLongSeries, 8);
    ASSERT_NE(cell, nullptr);
    EnlargeCell(*cell);
    StepLayout(2);
    ASSERT_EQ(PerPage(), 4);
    ExpectPage(kLongSeries, 8);
    DragWith(WM_XEV_TOOL_WINDOWLEVEL);
    ExpectPage(kLongSeries, 8, false);
    EXPECT_EQ(PageText(), "3 of 6");
    Press(Keys(), Qt::Key_Home);
    ExpectPage(kLongSeries, 0, false);
    EXPECT_EQ(PageText(), "1 of 6");
    EXPECT_TRUE(answers.shown.isEmpty());
}
