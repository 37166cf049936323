// Large discs through the real frame: the widgets follow the screen, not the records (patient
// bars and image cells for what is in view), a load's notice costs the same whatever the
// series holds, and File Open reads the chosen DICOMDIR once.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "largedisctestsupport.h"
#include "platform/platfile.h"
#include "shell/xevdetached.h"
#include "study/xevloadstate.h"
#include "study/xevstagedread.h"
#include "study/xevvekhelper.h"
#include "viewer/xevimagememory.h"

namespace {

namespace fs = std::filesystem;

const std::string kHostile = std::string(STUDY_TEST_DATA_DIR) + "/hostile";

// Opens of the file a test watches, from any thread.
std::atomic<int> watchedOpens{0};
std::string watchedPath;

void CountWatchedOpens(const char* path)
{
    if (watchedPath == path) {
        ++watchedOpens;
    }
}

class LargeWidgetsTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        GetCommonSettings().ModeMultiFrameRead = 0;
        GetCommonSettings().ModeUnsupportSRDelList = 0;
        disc_ = temp_.Path() + "/disc";
        fs::create_directories(disc_ + "/IMG");
        fs::copy_file(kHostile + "/IMG/OK1", disc_ + "/IMG/OK1");
        frame->OnAgreementClosed(1);
        Pump();
    }
    void TearDown() override
    {
        PlatSetOpenObserver(nullptr);
        DiscOpenTest::TearDown();
    }
    // Writes the DICOMDIR, opens it through File Open and waits for the first entry to open.
    void WriteAndOpen(DicomDirWriter& dir, const std::vector<int>& top)
    {
        Chain(dir, -1, top);
        dir.Write(disc_ + "/DICOMDIR");
        chooser_.path = QString::fromStdString(disc_ + "/DICOMDIR");
        frame->OnFileOpen();
        PumpUntil([this] { return !frame->Opening(); }, 120000);
        PumpUntil([this] { return List().loaded != 0 && List().currentStudy != nullptr; }, 120000);
        ASSERT_EQ(List().loaded, 1);
    }
    // Patient bars alive under the list once the event loop has deleted what it was given.
    int BarWidgets()
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        int bars = 0;
        for (QObject* child : List().Background()->children()) {
            bars += dynamic_cast<XEVPatientBarCtrl*>(child) != nullptr ? 1 : 0;
        }
        return bars;
    }
    int BarsInView() { return List().viewport()->height() / 27 + 1; }

    std::string disc_;
};

// One patient with one study of the given series, each of images one-image records of the
// one intact file.
void AddStudyOfSeries(DicomDirWriter& dir, std::vector<int>& top, int seriesCount, int imagesPerSeries)
{
    const auto [patient, study] = PatientWithStudy(dir, "PID1", "7.1");
    std::vector<int> series;
    int number = 0;
    for (int s = 0; s < seriesCount; ++s) {
        series.push_back(AddSeries(dir, "CT", Numbered("7.%d", s), s + 1));
        std::vector<int> images;
        for (int i = 0; i < imagesPerSeries; ++i, ++number) {
            images.push_back(AddImage(dir, "IMG\\OK1", kSecondaryCapture, Numbered("8.%d", number), i + 1));
        }
        Chain(dir, series.back(), images);
    }
    Chain(dir, patient, {study});
    Chain(dir, study, series);
    top.push_back(patient);
}

}   // namespace

// 50,000 patients (10,001 listed): only the bars in view are widgets, so a repaint walks a few
// dozen siblings, not one per patient. Scrolled anywhere, the bars there show their own
// patients, and a double-click on one opens that patient as before. The sanitizers' build
// takes 3,000 patients.
TEST_F(LargeWidgetsTest, PatientBarsAreTheOnesInView)
{
    const int patients = kDiscTestSanitized ? 3000 : 50000;
    const int entries = std::min(patients, kXEVLastBarId - kXEVFirstBarId + 1);
    DicomDirWriter dir;
    WriteAndOpen(dir, AddOneImagePatients(dir, patients));
    ASSERT_EQ(List().EntryCount(), entries);
    Pump();
    const int bound = BarsInView() + 2 * 2 + 1;
    EXPECT_LE(BarWidgets(), bound);
    EXPECT_LE(int(List().Background()->children().size()), bound + 8);
    ASSERT_NE(List().Bar(kXEVFirstBarId), nullptr);
    EXPECT_TRUE(List().Bar(kXEVFirstBarId)->isVisible());
    EXPECT_EQ(List().Bar(kXEVFirstBarId)->selected, 1);
    // The scroll area still spans every patient.
    EXPECT_EQ(List().ScrollHeight(), entries * 27 + 320);

    // Scrolled to the middle: the bar at the top of the view is that patient's.
    QScrollBar* bar = List().verticalScrollBar();
    bar->setValue(bar->maximum() / 2);
    Pump();
    EXPECT_LE(BarWidgets(), bound);
    const int top = bar->value();
    const int index = (top - 10 - 300) / 27 + 1;
    XEVPatientBarCtrl* shown = List().Bar(kXEVFirstBarId + index);
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_EQ(shown->y(), 10 + 27 * index + 300);
    EXPECT_EQ(shown->Patient().patientId.toStdString(), Numbered("PID%05d", index));
    EXPECT_EQ(shown->selected, 0);
    EXPECT_EQ(List().Bar(kXEVFirstBarId + index - 50), nullptr);

    // Its double-click opens its patient, with the tree below the bar.
    GuiStallMeter meter;
    QElapsedTimer clicked;
    clicked.start();
    shown->OnLButtonDblClk();
    ASSERT_TRUE(PumpUntil([&] { return List().currentStudy == List().patients[size_t(index)]->studies[0]; }));
    std::printf("[ measured ] bar double-click with %d patients: %lld ms, longest stall %lld ms\n", patients,
                (long long)clicked.elapsed(), (long long)meter.LongestMs());
    EXPECT_EQ(List().selectedEntry, kXEVFirstBarId + index);
    EXPECT_EQ(Title().PatientView().Filled(), 1);
    XEVStudyListCtrl* tree = List().Tree(kXEVFirstTreeId + index);
    ASSERT_NE(tree, nullptr);
    EXPECT_TRUE(tree->isVisible());
    ASSERT_NE(List().Bar(kXEVFirstBarId + index), nullptr);
    EXPECT_EQ(List().Bar(kXEVFirstBarId + index)->selected, 1);
    EXPECT_EQ(tree->y(), List().Bar(kXEVFirstBarId + index)->y() + 27);
    if (XEVPatientBarCtrl* next = List().Bar(kXEVFirstBarId + index + 1)) {
        EXPECT_EQ(next->y(), tree->y() + 300);
    }
    // The last patient's bar, scrolled to, has the last entry's skin and its patient.
    bar->setValue(bar->maximum());
    Pump();
    EXPECT_LE(BarWidgets(), bound);
    ASSERT_NE(List().Bar(kXEVFirstBarId + entries - 1), nullptr);
    EXPECT_EQ(List().Bar(kXEVFirstBarId + entries - 1)->Patient().patientId.toStdString(),
              Numbered("PID%05d", entries - 1));
    // Patients past the last bar: the list said so, once.
    EXPECT_EQ(box.texts.size(), patients > entries ? 1u : 0u);
}

// File Open's check reads the whole DICOMDIR; the load walks what the check read instead of
// reading it again. The zip test and the "DICM" test open it for a few bytes each.
TEST_F(LargeWidgetsTest, FileOpenReadsTheChosenDicomDirOnce)
{
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, 200);
    watchedPath = disc_ + "/DICOMDIR";
    watchedOpens = 0;
    PlatSetOpenObserver(&CountWatchedOpens);
    WriteAndOpen(dir, top);
    PlatSetOpenObserver(nullptr);
    EXPECT_GE(watchedOpens.load(), 1);
    EXPECT_LE(watchedOpens.load(), 3);
    ASSERT_EQ(List().patients.size(), 200u);
    EXPECT_EQ(List().patients[199]->patientId.toStdString(), "PID00199");
    EXPECT_EQ(List().selectedEntry, kXEVFirstBarId);
    EXPECT_EQ(box.texts.size(), 0u);

    // A file that is no DICOMDIR still opens as the single file it is.
    fs::copy_file(kHostile + "/IMG/OK1", disc_ + "/single.dcm");
    chooser_.path = QString::fromStdString(disc_ + "/single.dcm");
    frame->OnFileOpen();
    ASSERT_TRUE(PumpUntil([&] { return !frame->Opening(); }));
    ASSERT_TRUE(PumpUntil([&] { return List().loaded != 0 && List().patients.size() == 1u; }));
    EXPECT_EQ(frame->singleFileOpened, 1);
    EXPECT_EQ(box.texts.size(), 0u);
}

// A series of thousands of images loaded into one cell: each load's notice looks at the cell's
// images once (and the set once when it changes), not at every image of the series.
TEST_F(LargeWidgetsTest, ANoticeLooksAtOneEntryOfTheSeries)
{
    const int images = kDiscTestSanitized ? 300 : 2000;
    DicomDirWriter dir;
    std::vector<int> top;
    AddStudyOfSeries(dir, top, 1, images);
    GuiStallMeter meter;
    QElapsedTimer timer;
    timer.start();
    WriteAndOpen(dir, top);
    ASSERT_EQ(List().currentStudy->series.size(), 1u);
    XEVImageViewCtrl* cell = Image().GetCell(kXEVFirstStudyCellId);
    ASSERT_NE(cell, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return cell->loadedCount >= images; }, kDiscTestSanitized ? kNoCeilingWaitMs : 120000));
    EXPECT_GE(cell->loadedCount, images);
    std::printf("[ measured ] one series of %d images, written, opened and loaded: %lld ms, longest stall %lld ms\n",
                images, (long long)timer.elapsed(), (long long)meter.LongestMs());
    // The whole set a few times over at most; one scan per notice would be images squared.
    EXPECT_LE(cell->NoticeEntriesVisited(), uint64_t(images) * 4);
    EXPECT_GT(PaintedBright({cell})[0], 0);
    EXPECT_EQ(box.texts.size(), 0u);
}

// A study of 20,000 series (300 in the sanitizers' build) fills the grid's largest layout:
// only the rows shown and one each side have cells, and only their series decode, however long
// the window waits. Scrolled anywhere, the cells there show their own series' images.
TEST_F(LargeWidgetsTest, GridCellsFollowTheRowsShown)
{
    const int seriesCount = kDiscTestSanitized ? 300 : 20000;
    DicomDirWriter dir;
    std::vector<int> top;
    AddStudyOfSeries(dir, top, seriesCount, 1);
    std::optional<GuiStallMeter> opening(std::in_place);
    WriteAndOpen(dir, top);
    const qint64 openStall = opening->LongestMs();
    opening.reset();
    StudyInfo* study = List().currentStudy;
    ASSERT_EQ(study->series.size(), size_t(seriesCount));
    CXEVImageFormView& image = Image();
    const int32_t cols = image.studyLayout.cols;
    const int32_t rows = image.studyLayout.rows;
    const size_t bound = size_t((rows + 2) * cols);
    ASSERT_GT(image.studyLayout.GetRowsNeeded(), rows + 2);
    const auto decodedSeries = [&] {
        size_t decoded = 0;
        for (SeriesInfo* series : study->series) {
            decoded += series->images[0]->GetHelper() != nullptr ? 1 : 0;
        }
        return decoded;
    };
    // The cells on screen paint; then a while with no input decodes nothing further down.
    std::vector<XEVImageViewCtrl*> shown;
    for (int32_t k = 0; k < rows * cols; ++k) {
        shown.push_back(image.GetCell(kXEVFirstStudyCellId + k));
        ASSERT_NE(shown.back(), nullptr) << k;
    }
    for (int bright : PaintedBright(shown)) {
        EXPECT_GT(bright, 0);
    }
    EXPECT_LE(image.studyCells.size(), bound);
    PumpUntil([] { return false; }, 500);
    EXPECT_LE(decodedSeries(), bound);

    const int32_t rowHeight = image.height() / rows;
    const int32_t lastTop = image.studyLayout.GetRowsNeeded() - rows;
    GuiStallMeter meter;
    for (int32_t row : {lastTop / 2, lastTop, 3}) {
        image.ScrollTo(row * rowHeight);
        ASSERT_EQ(image.FirstVisibleRow(), row);
        EXPECT_LE(image.studyCells.size(), bound) << row;
        ASSERT_TRUE(PumpUntil([&] { return !image.CellsComing(); }));
        shown.clear();
        for (int32_t k = row * cols; k < std::min((row + rows) * cols, seriesCount); ++k) {
            XEVImageViewCtrl* cell = image.GetCell(kXEVFirstStudyCellId + k);
            ASSERT_NE(cell, nullptr) << k;
            EXPECT_TRUE(cell->isVisible()) << k;
            ASSERT_FALSE(cell->GetImages().empty()) << k;
            EXPECT_EQ(cell->GetImages().begin()->second, study->series[size_t(k)]->images[0]) << k;
            shown.push_back(cell);
        }
        for (int bright : PaintedBright(shown)) {
            EXPECT_GT(bright, 0) << row;
        }
    }
    std::printf("[ measured ] %d series: longest stall %lld ms opening the study, %lld ms over three jumps of the "
                "grid with their cells painted; peak RSS %llu MB\n",
                seriesCount, (long long)openStall, (long long)meter.LongestMs(),
                (unsigned long long)(PeakResidentBytes() >> 20));
    EXPECT_LE(decodedSeries(), bound * 4);
    EXPECT_EQ(box.texts.size(), 0u);
}

namespace {

std::string Le16(uint16_t v)
{
    return std::string{char(v & 0xFF), char(v >> 8)};
}

std::string DataElement(uint16_t group, uint16_t number, const std::string& vr, std::string value)
{
    if (value.size() % 2 != 0) {
        value += vr == "UI" ? '\0' : ' ';
    }
    std::string head = Le16(group) + Le16(number) + vr;
    head +=
        vr == "OW" || vr == "OB" ? Le16(0) + DicomDirWriter::U32(uint32_t(value.size())) : Le16(uint16_t(value.size()));
    return head + value;
}

// The long series' files: 512 x 512 at 16 bits, grey 2048 left of the edge column and white
// 4095 from it on, one 0 in the corner so that the window from the values spans 0 to 4095.
constexpr int kLongSeriesFiles = 200;
constexpr int kLongSeriesSide = 512;
int EdgeColumn(int file)
{
    return 64 + 2 * file;
}

void WriteEdgeImage(const std::string& path, int file)
{
    const std::string uid = Numbered("1.2.826.0.1.3680043.2.1125.62.9.%d", file);
    const std::string meta = DataElement(0x0002, 0x0001, "OB", std::string("\0\1", 2)) +
                             DataElement(0x0002, 0x0002, "UI", "1.2.840.10008.5.1.4.1.1.2") +
                             DataElement(0x0002, 0x0003, "UI", uid) +
                             DataElement(0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    std::string pixels(size_t(kLongSeriesSide) * kLongSeriesSide * 2, '\0');
    for (int y = 0; y < kLongSeriesSide; ++y) {
        for (int x = 0; x < kLongSeriesSide; ++x) {
            const uint16_t v = x == 0 && y == 0 ? 0 : x < EdgeColumn(file) ? 2048 : 4095;
            pixels[size_t(y * kLongSeriesSide + x) * 2] = char(v & 0xFF);
            pixels[size_t(y * kLongSeriesSide + x) * 2 + 1] = char(v >> 8);
        }
    }
    const std::string body =
        DataElement(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.2") + DataElement(0x0008, 0x0018, "UI", uid) +
        DataElement(0x0008, 0x0060, "CS", "CT") + DataElement(0x0010, 0x0010, "PN", "LONG^SERIES") +
        DataElement(0x0020, 0x000D, "UI", "1.2.826.0.1.3680043.2.1125.62.7.1") +
        DataElement(0x0020, 0x000E, "UI", "1.2.826.0.1.3680043.2.1125.62.7.0") +
        DataElement(0x0028, 0x0002, "US", Le16(1)) + DataElement(0x0028, 0x0004, "CS", "MONOCHROME2") +
        DataElement(0x0028, 0x0010, "US", Le16(kLongSeriesSide)) +
        DataElement(0x0028, 0x0011, "US", Le16(kLongSeriesSide)) + DataElement(0x0028, 0x0100, "US", Le16(16)) +
        DataElement(0x0028, 0x0101, "US", Le16(16)) + DataElement(0x0028, 0x0102, "US", Le16(15)) +
        DataElement(0x0028, 0x0103, "US", Le16(0)) + DataElement(0x7FE0, 0x0010, "OW", pixels);
    std::ofstream out(path, std::ios::binary);
    out << std::string(128, '\0') << "DICM"
        << DataElement(0x0002, 0x0000, "UL", DicomDirWriter::U32(uint32_t(meta.size()))) << meta << body;
}

// What a cell paints across its middle row: white's share of the image's grey and white.
double WhiteShare(XEVImageViewCtrl* cell)
{
    const QImage image = cell->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int grey = 0;
    int white = 0;
    for (int x = 3; x < image.width() - 3; ++x) {
        const int g = qGray(image.pixel(x, image.height() / 2));
        grey += g > 64 && g < 192 ? 1 : 0;
        white += g >= 224 ? 1 : 0;
    }
    return grey + white == 0 ? -1.0 : double(white) / double(grey + white);
}

// The long series' disc: records of the edge files in turn, shown in the series grid.
class LongSeriesTest : public LargeWidgetsTest {
protected:
    void TearDown() override
    {
        XEVSetDecodedBudget(0);
        LargeWidgetsTest::TearDown();
    }
    // Writes the disc, opens it and shows its one series in the grid; null when it did not.
    SeriesInfo* OpenLongSeries(int records)
    {
        StudyInfo* shown = OpenLongSeriesStudy(records);
        if (shown == nullptr) {
            return nullptr;
        }
        List().ShowSeriesOfStudy(shown, shown->series[0]);
        return Image().activeMode == 1 ? shown->series[0] : nullptr;
    }
    // Writes the disc and opens it: its study shown, one cell loading the series.
    StudyInfo* OpenLongSeriesStudy(int records)
    {
        for (int f = 0; f < kLongSeriesFiles; ++f) {
            WriteEdgeImage(disc_ + Numbered("/IMG/F%03d", f), f);
        }
        DicomDirWriter dir;
        const auto [patient, study] = PatientWithStudy(dir, "PID1", "7.1");
        const int series = AddSeries(dir, "CT", "7.0");
        std::vector<int> images;
        for (int k = 0; k < records; ++k) {
            images.push_back(AddImage(dir, Numbered("IMG\\F%03d", k % kLongSeriesFiles), "1.2.840.10008.5.1.4.1.1.2",
                                      Numbered("8.%d", k), k + 1));
        }
        Chain(dir, series, images);
        Chain(dir, patient, {study});
        Chain(dir, study, {series});
        WriteAndOpen(dir, {patient});
        StudyInfo* shown = List().currentStudy;
        if (shown == nullptr || shown->series.size() != 1u || shown->series[0]->images.size() != size_t(records)) {
            return nullptr;
        }
        return shown;
    }
};

}   // namespace

// A series of 3,000 records over 200 files of 512 x 512 x 16 bits in the series grid: what is
// decoded stays within the decoded images' budget however long the series, and End, twenty
// PageUps and Home each paint every cell of their page with its own file's edge.
TEST_F(LongSeriesTest, LongSeriesPagesWithinTheDecodedBudget)
{
    constexpr int kRecords = 3000;
    SeriesInfo* tall = OpenLongSeries(kRecords);
    ASSERT_NE(tall, nullptr);
    const int perPage = Image().seriesLayout.rows * Image().seriesLayout.cols;
    ASSERT_EQ(perPage, 9);

    const auto decodedHeld = [&] {
        int held = 0;
        for (ImageInfo* image : tall->images) {
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            held += image->GetHelper() != nullptr && image->GetHelper()->IsFrameLoaded(0) ? 1 : 0;
        }
        return held;
    };
    // Each cell of the page at offset shows its own record's file.
    const auto pagePainted = [&](int offset) {
        int k = 0;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (k == perPage) {
                break;
            }
            const int position = offset + k++;
            const int file = position % kLongSeriesFiles;
            const double expected = double(kLongSeriesSide - EdgeColumn(file)) / kLongSeriesSide;
            if (cell->GetPosition() - 1 != position || std::abs(WhiteShare(cell) - expected) > 0.03) {
                return false;
            }
        }
        return k == perPage;
    };
    const int waitMs = kHangCeilings ? 120000 : 1200000;
    ASSERT_TRUE(PumpUntil([&] { return pagePainted(0); }, waitMs));
    // The series behind the page decodes until three quarters of the budget are held.
    ASSERT_TRUE(PumpUntil([&] { return !XEVRoomForBackgroundDecode(); }, waitMs));
    const int frameBytes = kLongSeriesSide * kLongSeriesSide * 2;
    const int bound = int(XEVDecodedBudget() / uint64_t(frameBytes));
    EXPECT_LT(decodedHeld(), bound);

    const auto press = [&](int key) {
        XEVImageViewCtrl* cell = Image().GetFirstActiveView();
        ASSERT_NE(cell, nullptr);
        QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
        QCoreApplication::sendEvent(cell, &event);
        Pump();
    };
    const size_t threadsBefore = XEVThreadsStarted();
    press(Qt::Key_End);
    const int last = kRecords - perPage;
    EXPECT_TRUE(PumpUntil([&] { return pagePainted(last); }, waitMs));
    for (int k = 0; k < 20; ++k) {
        press(Qt::Key_PageUp);
    }
    EXPECT_TRUE(PumpUntil([&] { return pagePainted(last - 20 * perPage); }, waitMs));
    press(Qt::Key_Home);
    EXPECT_TRUE(PumpUntil([&] { return pagePainted(0); }, waitMs));
    Pump();
    // The loaders and the worker of each page run on the threads kept from the pages before.
    const size_t threadsStarted = XEVThreadsStarted() - threadsBefore;
    EXPECT_LE(threadsStarted, 12u);
    // Far images went as the pages came: the budget holds, with at most a page over it.
    EXPECT_LE(decodedHeld(), bound + perPage);
    EXPECT_LE(XEVImageMemoryHeld(), XEVDecodedBudget() + uint64_t(perPage) * 2 * frameBytes);
    std::printf("[ measured ] %d records of %d files in the series grid: %d images decoded and held (budget %d), "
                "image memory %llu MB, peak RSS %llu MB, %zu threads started for 22 pages\n",
                kRecords, kLongSeriesFiles, decodedHeld(), bound, (unsigned long long)(XEVImageMemoryHeld() >> 20),
                (unsigned long long)(PeakResidentBytes() >> 20), threadsStarted);
    EXPECT_EQ(box.texts.size(), 0u);
}

// For bench/paging_memory.sh, not run as a test: the 3,000 records paged end to end by PageDown,
// each page painted; the peak resident size and the threads started are printed.
TEST_F(LongSeriesTest, DISABLED_PagingALongSeriesEndToEnd)
{
    constexpr int kRecords = 3000;
    ASSERT_NE(OpenLongSeries(kRecords), nullptr);
    const auto pageShown = [&](int offset) {
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (cell->GetPosition() - 1 != offset) {
                return false;
            }
            return cell->HasFramePixels(cell->currentFrame);
        }
        return false;
    };
    ASSERT_TRUE(PumpUntil([&] { return pageShown(0) && Image().GetFirstActiveView() != nullptr; }, 120000));
    const int perPage = Image().seriesLayout.rows * Image().seriesLayout.cols;
    const size_t threadsBefore = XEVThreadsStarted();
    int pages = 0;
    for (int offset = perPage; offset < kRecords; offset += perPage) {
        XEVImageViewCtrl* cell = Image().GetFirstActiveView();
        ASSERT_NE(cell, nullptr);
        QKeyEvent event(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QCoreApplication::sendEvent(cell, &event);
        ASSERT_TRUE(PumpUntil([&] { return pageShown(offset); }, 120000)) << offset;
        ++pages;
    }
    std::printf("[ measured ] %d records paged end to end, %d pages: peak RSS %llu MB, %zu threads started\n", kRecords,
                pages, (unsigned long long)(PeakResidentBytes() >> 20), XEVThreadsStarted() - threadsBefore);
}

// Cine on a series whose frames behind the page are not decoded (a budget of eight frames):
// each step waits on the frame it shows until the next one is decoded, so the played cell
// never paints black, and it goes on through the series in order.
TEST_F(LongSeriesTest, CineOnALoadingSeriesPaintsOnlyDecodedFrames)
{
    XEVSetDecodedBudget(uint64_t(4) << 20);
    ASSERT_NE(OpenLongSeries(400), nullptr);
    const int waitMs = kHangCeilings ? 120000 : 1200000;
    XEVImageViewCtrl* cell = nullptr;
    ASSERT_TRUE(PumpUntil(
        [&] {
            cell = Image().GetSelectedView();
            return cell != nullptr && WhiteShare(cell) > 0;
        },
        waitMs));
    Title().OnPlayPause();
    ASSERT_TRUE(Title().IsCinePlaying());
    int black = 0;
    int moves = 0;
    int position = cell->GetPosition();
    PumpUntil(
        [&] {
            const int now = cell->GetPosition();
            if (now != position) {
                EXPECT_GT(now, position);
                position = now;
                ++moves;
            }
            black += WhiteShare(cell) < 0 ? 1 : 0;
            return moves >= 30;
        },
        waitMs);
    Title().OnPlayPause();
    EXPECT_GE(moves, 30);
    EXPECT_EQ(black, 0);
    EXPECT_GT(position, 30);
    EXPECT_EQ(box.texts.size(), 0u);
}

namespace {

// The files the medium was asked for, in order, from any thread.
std::mutex readsMutex;
std::vector<std::string> readPaths;
void RecordRead(const std::string& path, int64_t, int32_t)
{
    std::lock_guard<std::mutex> lock(readsMutex);
    readPaths.push_back(path);
}

}   // namespace

// A study of 201 series, each its own file, scrolled row by row to its end without a pause:
// the rows only passed over read nothing, and once the scroll rests the cells in sight read
// their images before the row kept above them reads its own.
TEST_F(LargeWidgetsTest, ScrolledToItsEndTheGridReadsTheLastPageFirstAndNothingPassedOver)
{
    constexpr int kSeries = 201;
    DicomDirWriter dir;
    const auto file = [&](int s) { return disc_ + Numbered("/IMG/S%03d", s); };
    const auto [patient, study] = PatientWithStudy(dir, "PID1", "7.1");
    std::vector<int> series;
    for (int s = 0; s < kSeries; ++s) {
        fs::copy_file(kHostile + "/IMG/OK1", file(s));
        series.push_back(AddSeries(dir, "CT", Numbered("7.%d", s), s + 1));
        Chain(dir, series.back(),
              {AddImage(dir, Numbered("IMG\\S%03d", s), kSecondaryCapture, Numbered("8.%d", s), 1)});
    }
    Chain(dir, patient, {study});
    Chain(dir, study, series);
    WriteAndOpen(dir, {patient});
    CXEVImageFormView& image = Image();
    const int32_t cols = image.studyLayout.cols;
    const int32_t rows = image.studyLayout.rows;
    const int32_t lastTop = image.studyLayout.GetRowsNeeded() - rows;
    ASSERT_GT(lastTop, 3);
    // Every cell in place has its series' image decoded and its loader ended.
    const auto settled = [&] {
        for (const auto& [id, cell] : image.studyCells) {
            const auto images = cell->GetImages();
            if (id - kXEVFirstStudyCellId >= kSeries) {
                continue;
            }
            if (cell->loadingUnderWay.load() != 0 || cell->loadDonePending.load() != 0 || images.empty() ||
                images.begin()->second->GetHelper() == nullptr) {
                return false;
            }
        }
        return !image.studyCells.empty();
    };
    const int waitMs = kHangCeilings ? 60000 : 600000;
    ASSERT_TRUE(PumpUntil(settled, waitMs));
    {
        std::lock_guard<std::mutex> lock(readsMutex);
        readPaths.clear();
    }
    XEVSetReadObserver(RecordRead);
    const int32_t rowHeight = image.height() / rows;
    for (int32_t row = 1; row <= lastTop; ++row) {
        image.ScrollTo(row * rowHeight);
        QCoreApplication::sendPostedEvents();
    }
    ASSERT_EQ(image.FirstVisibleRow(), lastTop);
    EXPECT_TRUE(PumpUntil(settled, waitMs));
    XEVSetReadObserver(nullptr);

    std::set<std::string> inSight;
    std::set<std::string> above;
    for (int s = lastTop * cols; s < kSeries; ++s) {
        inSight.insert(file(s));
    }
    for (int s = (lastTop - 1) * cols; s < lastTop * cols; ++s) {
        above.insert(file(s));
    }
    std::lock_guard<std::mutex> lock(readsMutex);
    std::set<std::string> firstRead;
    size_t lastInSight = 0;
    size_t firstAbove = readPaths.size();
    for (size_t k = 0; k < readPaths.size(); ++k) {
        const std::string& path = readPaths[k];
        EXPECT_TRUE(inSight.count(path) != 0 || above.count(path) != 0) << "passed over, read: " << path;
        if (inSight.count(path) != 0 && firstRead.insert(path).second) {
            lastInSight = k;
        }
        if (above.count(path) != 0) {
            firstAbove = std::min(firstAbove, k);
        }
    }
    EXPECT_EQ(firstRead.size(), inSight.size());
    EXPECT_LT(firstAbove, readPaths.size());
    EXPECT_LT(lastInSight, firstAbove);
    std::printf("[ measured ] %d series scrolled row by row to the end: %zu requests, all of the %zu cells in sight "
                "and the row above\n",
                kSeries, readPaths.size(), inSight.size());
    EXPECT_EQ(box.texts.size(), 0u);
}

namespace {

// Requests for the long series' files made once the other disc was accepted.
std::atomic<bool> otherDiscOpened{false};
std::atomic<bool> otherDiscAccepted{false};
std::atomic<int> oldDiscReads{0};
std::string otherDicomDir;
// The cell loading the shown disc, and whether its loads were still under way when the check
// opened the other disc's DICOMDIR.
std::atomic<XEVImageViewCtrl*> loadingCell{nullptr};
std::atomic<int> loadingAtOpen{-1};
void MarkOtherDisc(const char* path)
{
    if (otherDicomDir == path && !otherDiscOpened.exchange(true)) {
        loadingAtOpen = loadingCell.load()->loadingUnderWay.load();
    }
}
void CountOldDiscReads(const std::string& path, int64_t, int32_t)
{
    if (otherDiscAccepted.load() && path.find("/IMG/F") != std::string::npos) {
        ++oldDiscReads;
    }
}

}   // namespace

// File Open of another disc while a cell still loads the shown one: the old disc loads on while
// the chosen DICOMDIR is checked, which might refuse it, and its reads stop once the check has
// accepted it, at most the request under way finishing after.
TEST_F(LongSeriesTest, FileOpenOfAnotherDiscStopsTheShownDiscsReadsOnceAccepted)
{
    StudyInfo* shown = OpenLongSeriesStudy(3000);
    ASSERT_NE(shown, nullptr);
    XEVImageViewCtrl* cell = Image().GetCell(kXEVFirstStudyCellId);
    ASSERT_NE(cell, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return cell->loadedCount >= 5; }));
    ASSERT_NE(cell->loadingUnderWay.load(), 0);

    const std::string other = temp_.Path() + "/other";
    fs::create_directories(other + "/IMG");
    fs::copy_file(kHostile + "/IMG/OK1", other + "/IMG/OK1");
    DicomDirWriter dir;
    const std::vector<int> top = AddOneImagePatients(dir, 1);
    Chain(dir, -1, top);
    otherDicomDir = other + "/DICOMDIR";
    dir.Write(otherDicomDir);
    otherDiscOpened = false;
    otherDiscAccepted = false;
    oldDiscReads = 0;
    loadingCell = cell;
    loadingAtOpen = -1;
    XEVSetReadObserver(CountOldDiscReads);
    PlatSetOpenObserver(&MarkOtherDisc);
    chooser_.path = QString::fromStdString(otherDicomDir);
    frame->OnFileOpen();
    // The shown disc has one patient too: its list counts only once the open has answered. The
    // answer's step accepted the disc and stopped the old one's loads.
    ASSERT_TRUE(PumpUntil([&] { return !frame->Opening(); }));
    otherDiscAccepted = true;
    ASSERT_TRUE(PumpUntil([&] { return List().loaded != 0 && List().patients.size() == 1u; }));
    PlatSetOpenObserver(nullptr);
    XEVSetReadObserver(nullptr);
    EXPECT_TRUE(otherDiscOpened.load());
    EXPECT_EQ(loadingAtOpen.load(), 1);
    EXPECT_LE(oldDiscReads.load(), 1);
    std::printf("[ measured ] reads of the old disc after the new DICOMDIR was opened: %d\n", oldDiscReads.load());
    EXPECT_EQ(box.texts.size(), 0u);
}
