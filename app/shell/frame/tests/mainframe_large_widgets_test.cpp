// Large discs through the real frame: the widgets follow the screen, not the records (patient
// bars and image cells for what is in view), a load's notice costs the same whatever the
// series holds, and File Open reads the chosen DICOMDIR once.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QScrollBar>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "discopentestsupport.h"
#include "largedisctestsupport.h"
#include "platform/platfile.h"

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
        std::string body;
        DicomDirWriter::Element(body, 0x0008, 0x0060, "CS", "CT");
        DicomDirWriter::Element(body, 0x0020, 0x000E, "UI", Numbered("1.2.826.0.1.3680043.2.1125.62.7.%d", s));
        DicomDirWriter::Element(body, 0x0020, 0x0011, "IS", std::to_string(s + 1));
        series.push_back(dir.Add("SERIES", body));
        std::vector<int> images;
        for (int i = 0; i < imagesPerSeries; ++i, ++number) {
            body.clear();
            DicomDirWriter::Element(body, 0x0004, 0x1500, "CS", "IMG\\OK1");
            DicomDirWriter::Element(body, 0x0004, 0x1510, "UI", "1.2.840.10008.5.1.4.1.1.7");
            DicomDirWriter::Element(body, 0x0004, 0x1511, "UI", Numbered("1.2.826.0.1.3680043.2.1125.62.8.%d", number));
            DicomDirWriter::Element(body, 0x0020, 0x0013, "IS", std::to_string(i + 1));
            images.push_back(dir.Add("IMAGE", body));
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
    EXPECT_EQ(box.texts.size(), 0u);
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
