// Paging as a user pages, through the real frame and its study list, with the series or
// study double-clicked in the tree and stepped by keys and wheel.
//  - A multi-frame file in the series grid, on discs whose DICOMDIR does not count the file's
//    frames (dcmmkdir, pydicom's FileSet): each tile shows its frame's grey.
//  - A study whose series misses its first file: the rest of the series is shown and reached.
#include <gtest/gtest.h>

#include <QKeyEvent>
#include <QThread>
#include <QTreeWidgetItemIterator>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "framelisttestsupport.h"
#include "plat_temp_folder.h"
#include "study/xevstagedread.h"

namespace {

const QString kFramesSeries = QStringLiteral("1.2.3.61.2");
const QString kMixedSeries = QStringLiteral("1.2.3.61.3");
constexpr double kCentre = 4500;
constexpr double kWidth = 9000;

// The stored values of the positions of a series: the ten flat frames 0, 1000, ... 9000, and
// around them in the mixed series single files of 500, 1500 and 7500.
std::vector<int> FrameValues()
{
    std::vector<int> values;
    for (int k = 0; k < 10; ++k) {
        values.push_back(1000 * k);
    }
    return values;
}

std::vector<int> MixedValues()
{
    std::vector<int> values = {500, 1500};
    for (int v : FrameValues()) {
        values.push_back(v);
    }
    values.push_back(7500);
    return values;
}

// Image reads made on the GUI thread: paging asks the worker, so there are none.
std::atomic<int32_t> guiReads{0};
QThread* guiThread = nullptr;
void CountGuiReads(const std::string&, int64_t, int32_t)
{
    guiReads += QThread::currentThread() == guiThread ? 1 : 0;
}

class PagingTest : public FrameListTest {
protected:
    void SetUp() override
    {
        FrameListTest::SetUp();
        tmpEnv_.emplace("TMPDIR", temp_.Path().c_str());
        guiThread = QThread::currentThread();
        guiReads = 0;
        XEVSetReadObserver(CountGuiReads);
    }
    void TearDown() override
    {
        XEVSetReadObserver(nullptr);
        FrameListTest::TearDown();
        tmpEnv_.reset();
    }

    // The disc as the writer makes it; the path of its DICOMDIR.
    QString WriteDisc(const std::string& writer)
    {
        const std::string out = temp_ / writer;
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                    "/../app/testsupport/python /usr/bin/python3 -W ignore " +
                                    std::string(FRAME_TEST_DATA_DIR) + "/write_frames_disc.py " + out + " " + writer;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return QString::fromStdString(out + "/disc/DICOMDIR");
    }

    // What each cell of the page shows: the grey at its centre, -1 for a cell without image.
    std::vector<int> Tiles()
    {
        std::vector<int> greys;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (int(greys.size()) == Image().seriesLayout.rows * Image().seriesLayout.cols) {
                break;
            }
            if (cell->CurrentImage() == nullptr) {
                greys.push_back(-1);
                continue;
            }
            const QImage image = cell->grab().toImage();
            greys.push_back(qGray(image.pixel(image.width() / 2, image.height() / 2)));
        }
        return greys;
    }
    // The greys of the page that starts at offset.
    std::vector<int> Page(const std::vector<int>& values, size_t offset)
    {
        std::vector<int> greys;
        for (size_t k = 0; k < 9; ++k) {
            greys.push_back(offset + k < values.size() ? Windowed(values[offset + k], kCentre, kWidth) : -1);
        }
        return greys;
    }
    // The series in the 3 x 3 grid with its first page shown.
    void ShowSeries(const QString& uid, const std::vector<int>& values)
    {
        DoubleClickSeries(uid);
        ASSERT_EQ(Image().activeMode, 1);
        ASSERT_EQ(Image().seriesLayout.rows * Image().seriesLayout.cols, 9);
        PumpUntil([&] { return Tiles() == Page(values, 0); });
        ASSERT_EQ(Tiles(), Page(values, 0));
    }

    XEVImageViewCtrl& ActiveCell()
    {
        XEVImageViewCtrl* cell = Image().GetFirstActiveView();
        EXPECT_NE(cell, nullptr);
        return cell != nullptr ? *cell : *Image().ActiveCells().begin()->second;
    }
    void Press(int key) { Press(ActiveCell(), key); }
    static void Press(XEVImageViewCtrl& cell, int key)
    {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(&cell, &press);
        Pump();
    }
    void Roll(int delta) { Roll(ActiveCell(), delta); }
    static void Roll(XEVImageViewCtrl& cell, int delta)
    {
        Wheel(cell, delta);
        Pump();
    }
    QString Counter() { return Image().ActiveCells().begin()->second->BuildCornerTexts().pageText; }
    // A page answers at once and fills as the worker decodes its frames.
    void ExpectPage(const std::vector<int>& values, size_t offset)
    {
        PumpUntil([&] { return Tiles() == Page(values, offset); });
        EXPECT_EQ(Tiles(), Page(values, offset)) << offset;
    }

    // Pages through the series as a user does: every position reached, each tile its grey.
    void PageThrough(const std::vector<int>& values)
    {
        const size_t n = values.size();
        const size_t lastPage = n - 9;   // the rows a Down step may still scroll
        EXPECT_EQ(Counter(), QStringLiteral("1 of 2"));
        Press(Qt::Key_PageDown);
        ExpectPage(values, 9);
        EXPECT_EQ(Counter(), QStringLiteral("2 of 2"));
        // The last page holds the last position: no further page.
        Press(Qt::Key_PageDown);
        ExpectPage(values, 9);
        Press(Qt::Key_PageUp);
        ExpectPage(values, 0);
        EXPECT_EQ(Counter(), QStringLiteral("1 of 2"));
        // By rows of three, as far as the last position is still below the page.
        size_t offset = 0;
        while (offset + 9 <= n - 1) {
            Press(Qt::Key_Down);
            offset += 3;
            ExpectPage(values, offset);
        }
        EXPECT_GE(offset + 3, lastPage);
        Press(Qt::Key_Down);
        ExpectPage(values, offset);
        while (offset > 0) {
            Roll(120);
            offset -= 3;
            ExpectPage(values, offset);
        }
        Roll(-120);
        ExpectPage(values, 3);
        // Right and Left move the cell by one position, and the page with it.
        Press(Qt::Key_Right);
        ExpectPage(values, 4);
        Press(Qt::Key_Left);
        Press(Qt::Key_Left);
        ExpectPage(values, 2);
        Press(Qt::Key_Home);
        ExpectPage(values, 0);
        Press(Qt::Key_End);
        ExpectPage(values, n - 9);
    }

    // The file alone, then among single files: every file and every frame in its turn.
    void PageThroughBoth()
    {
        ShowSeries(kFramesSeries, FrameValues());
        PageThrough(FrameValues());
        ShowSeries(kMixedSeries, MixedValues());
        PageThrough(MixedValues());
    }

    PlatTempFolder temp_;
    std::optional<ScopedEnv> tmpEnv_;
};

using TiledFramesTest = PagingTest;
using MissingFileTest = PagingTest;

// Pixels of the progress bar's green in the strip at the bottom of a painted cell.
int ProgressPixels(XEVImageViewCtrl& cell)
{
    const QImage image = cell.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int green = 0;
    for (int y = std::max(image.height() - 7, 0); y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            green += image.pixel(x, y) == qRgb(0, 255, 0) ? 1 : 0;
        }
    }
    return green;
}

}   // namespace

TEST_F(TiledFramesTest, FramesOfAFileTheDirectoryDoesNotCountFillTheGrid)
{
    for (const char* writer : {"dcmmkdir", "fileset"}) {
        SCOPED_TRACE(writer);
        Load(WriteDisc(writer));
        PageThroughBoth();
    }
    EXPECT_TRUE(answers.shown.isEmpty());
    EXPECT_EQ(guiReads.load(), 0);
}

// With the second reading pass the frames are counted. A user who keeps the records sees the
// frames laid over the grid as before.
TEST_F(TiledFramesTest, KeptRecordsAfterTheSecondPassStillLayTheFramesOut)
{
    SetModes(1, 0);
    Load(WriteDisc("dcmmkdir"));
    // The first double-click only asks; declined, the records stay and the next one shows.
    DoubleClickSeries(kFramesSeries);
    ASSERT_EQ(answers.asked.size(), 1);
    PageThroughBoth();
    EXPECT_TRUE(answers.shown.isEmpty());
}

// One who switches sees one entry per frame, each at its own frame.
TEST_F(TiledFramesTest, SwitchedRecordsShowEachEntryAtItsFrame)
{
    SetModes(1, 0);
    Load(WriteDisc("fileset"));
    answers.answer = 1;
    DoubleClickSeries(kFramesSeries);
    ASSERT_EQ(answers.asked.size(), 1);
    ASSERT_TRUE(PumpUntil([&] { return List().scanRecords.empty(); }));
    const SeriesInfo* split = nullptr;
    for (const StudyInfo* study : List().patients.at(0)->studies) {
        for (const SeriesInfo* series : study->series) {
            split = series->seriesInstanceUid == kFramesSeries ? series : split;
        }
    }
    ASSERT_NE(split, nullptr);
    ASSERT_EQ(split->images.size(), 10u);
    EXPECT_EQ(split->images[9]->startFrame, 9);
    ShowSeries(kFramesSeries, FrameValues());
    PageThrough(FrameValues());
    EXPECT_TRUE(answers.shown.isEmpty());
}

// The sample disc copied without DICOM/CT0001, its study opened: the message names the file
// once; the CT cell shows CT0002, the first file that loads, paints without a progress bar once
// its loader has ended, and wheel and keys reach CT0002 to CT0004 without trying CT0001 again.
TEST_F(MissingFileTest, MissingFirstFileLeavesTheRestOfItsSeriesReachable)
{
    namespace fs = std::filesystem;
    const std::string disc = temp_ / "disc";
    fs::copy(KV_SAMPLE_DIR, disc, fs::copy_options::recursive);
    ASSERT_TRUE(fs::remove(disc + "/DICOM/CT0001"));
    Load(QString::fromStdString(disc + "/DICOMDIR"));

    const StudyInfo* study = nullptr;
    for (const PatientInfo* patient : List().patients) {
        for (const StudyInfo* candidate : patient->studies) {
            for (const SeriesInfo* series : candidate->series) {
                study = series->modality == QStringLiteral("CT") ? candidate : study;
            }
        }
    }
    ASSERT_NE(study, nullptr);
    DoubleClickStudy(study);
    ASSERT_EQ(Image().activeMode, 0);
    XEVImageViewCtrl* ct = nullptr;
    for (const auto& [id, cell] : Image().ActiveCells()) {
        const auto images = cell->GetImages();
        if (!images.empty() && images.begin()->second->filePath.endsWith(QStringLiteral("CT0001"))) {
            ct = cell;
        }
    }
    ASSERT_NE(ct, nullptr);
    ASSERT_EQ(ct->GetImages().size(), 4u);
    const auto path = [&] { return ct->CurrentImage() != nullptr ? ct->CurrentImage()->filePath : QString(); };
    ASSERT_TRUE(PumpUntil(
        [&] { return ct->loadingUnderWay.load() == 0 && ct->loadDonePending.load() == 0 && ct->loadedCount == 3; }));
    Pump();

    ASSERT_EQ(answers.shown.size(), 1);
    EXPECT_TRUE(answers.shown[0].contains(QString::fromStdString(disc + "/DICOM/CT0001")))
        << answers.shown[0].toStdString();
    EXPECT_TRUE(path().endsWith(QStringLiteral("CT0002"))) << path().toStdString();
    EXPECT_TRUE(ct->HasFramePixels(ct->currentFrame));
    EXPECT_FALSE(ct->RenderedImage().isNull());
    EXPECT_EQ(ct->progressShown.load(), 0);
    EXPECT_EQ(ProgressPixels(*ct), 0);

    // The pointer over the cell makes it the active one; then the wheel and the keys step.
    Mouse(*ct, QEvent::MouseMove, QPoint(ct->width() / 2, ct->height() / 2), Qt::NoButton, Qt::NoButton);
    Pump();
    ASSERT_EQ(ct->active, 1);
    std::vector<std::string> reached;
    const auto note = [&] { reached.push_back(path().right(6).toStdString()); };
    for (int i = 0; i < 3; ++i) {
        Roll(*ct, -120);
        note();
    }
    for (int i = 0; i < 3; ++i) {
        Roll(*ct, 120);
        note();
    }
    for (int key : {Qt::Key_Down, Qt::Key_Right, Qt::Key_Right, Qt::Key_Up, Qt::Key_Left, Qt::Key_Left, Qt::Key_End,
                    Qt::Key_Home}) {
        Press(*ct, key);
        note();
    }
    EXPECT_EQ(reached,
              (std::vector<std::string>{"CT0003", "CT0004", "CT0004", "CT0003", "CT0002", "CT0002", "CT0003", "CT0004",
                                        "CT0004", "CT0003", "CT0002", "CT0002", "CT0004", "CT0002"}));
    EXPECT_TRUE(ct->HasFramePixels(ct->currentFrame));
    EXPECT_EQ(answers.shown.size(), 1);
}

class EnlargeTest : public PagingTest {
protected:
    // The study cell whose first file's name ends with the name.
    XEVImageViewCtrl* CellOf(const QString& name)
    {
        for (const auto& [id, cell] : Image().ActiveCells()) {
            const auto images = cell->GetImages();
            if (!images.empty() && images.begin()->second->filePath.endsWith(name)) {
                return cell;
            }
        }
        return nullptr;
    }
    // Opens the study holding the file, steps its cell to the fifth of ten frames, enlarges
    // it, steps once there and goes back.
    void EnlargeAndBack(const QString& name)
    {
        const StudyInfo* study = nullptr;
        for (const PatientInfo* patient : List().patients) {
            for (const StudyInfo* candidate : patient->studies) {
                for (const SeriesInfo* series : candidate->series) {
                    for (const ImageInfo* image : series->images) {
                        study = image->filePath.endsWith(name) ? candidate : study;
                    }
                }
            }
        }
        ASSERT_NE(study, nullptr);
        DoubleClickStudy(study);
        ASSERT_EQ(Image().activeMode, 0);
        XEVImageViewCtrl* cell = CellOf(name);
        ASSERT_NE(cell, nullptr);
        ASSERT_TRUE(PumpUntil([&] {
            return !Image().StudyStartPending() && cell->loadingUnderWay.load() == 0 &&
                   cell->loadDonePending.load() == 0;
        }));
        Pump();
        const QPoint centre(cell->width() / 2, cell->height() / 2);
        Mouse(*cell, QEvent::MouseMove, centre, Qt::NoButton, Qt::NoButton);
        Pump();
        ASSERT_EQ(cell->active, 1);
        // Stepped and enlarged cells get their frames from the job worker.
        const auto pageOf = [](XEVImageViewCtrl* shown, const char* text) {
            return PumpUntil([&] { return shown->BuildCornerTexts().pageText.toStdString() == text; });
        };
        for (int k = 0; k < 4; ++k) {
            Press(*cell, Qt::Key_Down);
        }
        ASSERT_TRUE(pageOf(cell, "5 of 10")) << cell->BuildCornerTexts().pageText.toStdString();

        Mouse(*cell, QEvent::MouseButtonDblClick, centre, Qt::LeftButton, Qt::LeftButton);
        Pump();
        ASSERT_EQ(Image().activeMode, 1);
        XEVImageViewCtrl* tile = Image().ActiveCells().begin()->second;
        EXPECT_TRUE(pageOf(tile, "5 of 10")) << tile->BuildCornerTexts().pageText.toStdString();
        // The keys go where the focus is.
        ASSERT_EQ(frame->focusWidget(), tile);
        Press(*tile, Qt::Key_Down);
        EXPECT_TRUE(pageOf(tile, "6 of 10")) << tile->BuildCornerTexts().pageText.toStdString();

        Mouse(*tile, QEvent::MouseButtonDblClick, centre, Qt::LeftButton, Qt::LeftButton);
        Pump();
        ASSERT_EQ(Image().activeMode, 0);
        cell = CellOf(name);
        ASSERT_NE(cell, nullptr);
        EXPECT_TRUE(pageOf(cell, "6 of 10")) << cell->BuildCornerTexts().pageText.toStdString();
        EXPECT_EQ(cell->active, 1);
        EXPECT_EQ(Image().GetFirstActiveView(), cell);
        EXPECT_EQ(frame->focusWidget(), cell);
    }
};

// A 10-frame file stepped to its fifth frame in its study cell and double-clicked: the enlarged
// cell shows that frame and takes the keys; back in the study, the cell shows the frame reached
// and is the active cell. The sample's XA record carries its frame count (an entry per frame);
// dcmmkdir's record does not (one entry for the file).
TEST_F(EnlargeTest, EnlargedCellKeepsTheFrameTheKeysAndTheActiveCell)
{
    Load(QStringLiteral(KV_SAMPLE_DIR "/DICOMDIR"));
    EnlargeAndBack(QStringLiteral("XA0001"));
    Load(WriteDisc("dcmmkdir"));
    EnlargeAndBack(QStringLiteral("/MF"));
    EXPECT_TRUE(answers.shown.isEmpty());
}
