// The viewer on a slow medium (one drive head, a seek for each request that is not sequential,
// then the bytes at 6 MB/s), through the real frame: the GUI thread never reads the medium.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextEdit>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "discopentestsupport.h"
#include "plat_temp_folder.h"
#include "shell/xevreportdlg.h"
#include "shell/xevsplitterwnd.h"
#include "study/xevrecordkeeper.h"
#include "study/xevstagedread.h"
#include "study/xevthread.h"
#include "testsupport/slowdisc.h"

namespace {

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}   // namespace

// The medium itself: what it counts is what the frame tests below assert.
TEST(SlowDiscMedium, CountsTheGuiThreadsReadsAndTheHeadsSeeks)
{
    PlatTempFolder temp;
    if (!OnSlowDisc()) {
        temp.Write("disc/A", std::string(300000, 'a'));
        temp.Write("disc/B", std::string(300000, 'b'));
        temp.Write("C", "off the medium");
        RunTestOnSlowDisc({temp / "disc", 50e6, 1, 0});
        return;
    }
    const std::string root = SlowDiscRoot();
    const std::string outside = root.substr(0, root.rfind('/')) + "/C";
    EXPECT_EQ(SlowDiscGuiReads(), 0);
    EXPECT_EQ(Slurp(outside), "off the medium");
    EXPECT_EQ(SlowDiscReads(), 0);

    // The main thread through a stream: counted, one seek to reach the file.
    EXPECT_EQ(Slurp(root + "/A").size(), 300000u);
    const long guiReads = SlowDiscGuiReads();
    EXPECT_GT(guiReads, 0);
    EXPECT_EQ(SlowDiscFirstGuiRead(), root + "/A");
    EXPECT_EQ(SlowDiscSeeks(), 1);

    // Another thread by fread and pread: not the GUI thread's; a seek to the other file.
    std::thread([&] {
        std::FILE* file = std::fopen((root + "/B").c_str(), "rb");
        ASSERT_NE(file, nullptr);
        char buffer[1000];
        EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, file), sizeof buffer);
        std::fclose(file);
        const int fd = open((root + "/B").c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, buffer, sizeof buffer, 200000), ssize_t(sizeof buffer));
        close(fd);
    }).join();
    EXPECT_EQ(SlowDiscGuiReads(), guiReads);
    EXPECT_EQ(SlowDiscSeeks(), 2);

    // What was read is cached: read again, it moves no head, and is still counted as a read.
    const long reads = SlowDiscReads();
    std::thread([&] { EXPECT_EQ(Slurp(root + "/A").size(), 300000u); }).join();
    EXPECT_EQ(SlowDiscSeeks(), 2);
    EXPECT_GT(SlowDiscReads(), reads);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads);
}

namespace {

// File Open on a disc in the slow drive, through the real frame, its study list, its cells and
// their loaders; the medium counts every read the GUI thread makes of it.
class SlowDiscOpenTest : public DiscOpenTest {};

}   // namespace

TEST_F(SlowDiscOpenTest, FileOpenOfADiscAZipAndAFileNeverReadsOnTheGuiThread)
{
    if (!OnSlowDisc()) {
        // The sample disc and a zip of it, both on the medium.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/disc", "sample"));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/zip", "samplezip"));
        RunTestOnSlowDisc({temp_ / "medium", 6e6, 100, 0});
        return;
    }
    const std::string medium = SlowDiscRoot();
    for (const std::string& path :
         {medium + "/disc/DICOMDIR", medium + "/zip/disc.zip", medium + "/disc/DICOM/CT0001"}) {
        const long guiReads = SlowDiscGuiReads();
        ExpectCheap(Open(path));
        ASSERT_FALSE(SeriesSizes().empty()) << path;
        // The series grid with its cells painted.
        Image().ShowSeries(Series(0));
        EXPECT_TRUE(PumpUntil([this] {
            for (const auto& [id, cell] : Image().ActiveCells()) {
                if (cell->CurrentImage() != nullptr && cell->HasFramePixels(cell->currentFrame)) {
                    return BrightPixels(cell) > 0;
                }
            }
            return false;
        })) << path;
        EXPECT_EQ(SlowDiscGuiReads(), guiReads) << path << ": the GUI thread read " << SlowDiscFirstGuiRead();
    }
    EXPECT_GT(SlowDiscReads(), 0);
}

TEST_F(SlowDiscOpenTest, TheStudysReportIsCheckedAndReadOffTheGuiThread)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "sample"));
        RunTestOnSlowDisc({temp_ / "disc", 6e6, 100, 0});
        return;
    }
    // Report series are listed only with SR support.
    GetCommonSettings().ModeSupportSR = 1;
    Open(SlowDiscRoot() + "/DICOMDIR");
    StudyInfo* withReport = nullptr;
    for (PatientInfo* patient : List().patients) {
        for (StudyInfo* study : patient->studies) {
            withReport = XEVFindReportSeries(study) != nullptr ? study : withReport;
        }
    }
    ASSERT_NE(withReport, nullptr);
    List().ShowStudy(withReport);
    Pump();
    const long guiReads = SlowDiscGuiReads();
    frame->OnReportRequest();
    // The request returns before its answer, which only the event loop can take: nothing was
    // waited for, and nothing shows until the worker has read the document.
    EXPECT_TRUE(frame->ReportPending());
    EXPECT_EQ(frame->ReportDialog(), nullptr);
    ASSERT_TRUE(PumpUntil([this] { return !frame->ReportPending(); }));
    ASSERT_NE(frame->ReportDialog(), nullptr);
    EXPECT_TRUE(frame->ReportDialog()->isVisible());
    // As the script that made the sample disc wrote it.
    EXPECT_TRUE(
        frame->ReportDialog()->ReportText()->toPlainText().contains(QStringLiteral("No acute intracranial findings.")));
    EXPECT_EQ(box.texts.size(), 0u);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
}

namespace {

// Joins the GUI thread began while the thread joined might still be running.
std::atomic<int> guiJoins{0};
void CountGuiJoin()
{
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {
        ++guiJoins;
    }
}

// Whether some cell of the image area shows its current frame.
bool AnyCellShows(CXEVImageFormView& image)
{
    for (const auto& [id, cell] : image.ActiveCells()) {
        if (cell->CurrentImage() != nullptr && cell->HasFramePixels(cell->currentFrame)) {
            return true;
        }
    }
    return false;
}

}   // namespace

// A disc opened while the read-ahead starts, then the study switched to a series and back
// while the cells' loaders read, at 1.2 MB/s: the GUI thread waits for no reader and reads
// nothing, nothing is read while an image's lock is held, and each stopped reader asks the
// medium for at most one request more.
TEST_F(SlowDiscOpenTest, StartAndStudySwitchWaitForNoReaderAndReadNothingUnderALock)
{
    if (!OnSlowDisc()) {
        // One study of 4 series of 8 images of 512 x 512 x 16 bits: 16 MB, 14 s of drive.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {4, 8, 512}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook()});
    XEVSetJoinObserver(CountGuiJoin);
    const long guiReads = SlowDiscGuiReads();
    // The user took the agreement: an opened disc shows its first study.
    frame->OnAgreementClosed(1);
    // Viewing starts with the read-ahead under way: it is stopped, not waited for.
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return AnyCellShows(Image()); })) << "the study's first images";
    StudyInfo* study = List().patients.at(0)->studies.at(0);
    ASSERT_EQ(study->series.size(), 4u);
    // Each switch comes while the loaders of what it replaces are reading.
    List().ShowSeriesOfStudy(study, study->series[2]);
    ASSERT_TRUE(PumpUntil([this] { return Image().activeMode == 1 && AnyCellShows(Image()); })) << "the series";
    List().ShowStudy(study);
    ASSERT_TRUE(PumpUntil([this] { return Image().activeMode == 0 && AnyCellShows(Image()); })) << "the study again";
    XEVSetJoinObserver(nullptr);
    EXPECT_EQ(guiJoins.load(), 0);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
    EXPECT_EQ(SlowDiscLockedBytes(), 0);
    // Three stops (viewing, the series, the study), each of at most the read-ahead, the job
    // worker and one loader: one request more each at most.
    EXPECT_LE(SlowDiscStoppedReads(), 9);
    EXPECT_GT(SlowDiscReads(), 0);
    XEVSetMediumProbe({});
}

namespace {

// Whether every cell on screen that holds an image shows its frame, and one does.
bool EveryCellShows(CXEVImageFormView& image)
{
    int shown = 0;
    for (const auto& [id, cell] : image.ActiveCells()) {
        if (!cell->isVisible() || cell->CurrentImage() == nullptr) {
            continue;
        }
        if (!cell->HasFramePixels(cell->currentFrame)) {
            return false;
        }
        ++shown;
    }
    return shown > 0;
}

// Loaders of the image area's cells still in their bodies.
size_t RunningLoaders(CXEVImageFormView& image)
{
    size_t running = 0;
    for (const auto& [id, cell] : image.ActiveCells()) {
        running += cell->loader.Running();
    }
    return running;
}

}   // namespace

// Each way of clearing every view comes while the cells' loaders read the shown disc at
// 1.2 MB/s: File Open of a second disc, a drop of the first, the series-composition switch and a
// study switch; then the window closes while they read. The GUI thread waits for no reader and
// reads nothing, its timer keeps firing, every cell of each new view paints, and the records
// the stopped readers held are freed once they end (the sanitizer runs catch a record touched
// after).
TEST_F(SlowDiscOpenTest, ClearingTheViewsOrClosingWhileTheirLoadersReadWaitsForNone)
{
    if (!OnSlowDisc()) {
        // 16 MB and 12 MB of 512 x 512 x 16-bit images: 14 s and 10 s of drive.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/one", "mr", {4, 8, 512}));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/two", "mr", {3, 8, 512}));
        RunTestOnSlowDisc({temp_ / "medium", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook()});
    XEVSetJoinObserver(CountGuiJoin);
    int ticks = 0;
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        longestGap = std::max(longestGap, sinceTick.restart());
    });
    sinceTick.start();
    timer.start(5);
    const long guiReads = SlowDiscGuiReads();
    frame->OnAgreementClosed(1);
    const std::string medium = SlowDiscRoot();
    Open(medium + "/one/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return EveryCellShows(Image()); })) << "the first disc";

    const auto step = [&](const char* what, const std::function<void()>& clear) {
        ASSERT_GT(RunningLoaders(Image()), 0u) << what << ": no loader was reading";
        const int before = ticks;
        sinceTick.restart();
        longestGap = 0;
        clear();
        EXPECT_EQ(guiJoins.load(), 0) << what;
        EXPECT_TRUE(PumpUntil([this] { return EveryCellShows(Image()); })) << what << ": the new view";
        EXPECT_GT(ticks, before) << what;
        std::printf("[ figures  ] %s: longest pause of the GUI thread's timer %lld ms\n", what,
                    static_cast<long long>(longestGap));
    };
    step("File Open of another disc", [&] { Open(medium + "/two/DICOMDIR"); });
    // The scan makes the second record set that the series-composition switch takes.
    GetCommonSettings().ModeMultiFrameRead = 1;
    step("a drop", [&] {
        XEVDropFiles drop;
        drop.paths = {QString::fromStdString(medium + "/one/DICOMDIR")};
        XEVSendMessage(List().Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop));
        ASSERT_TRUE(PumpUntil([this] { return List().loaded != 0 && List().scanDone != 0; }, 60000));
    });
    ASSERT_FALSE(List().scanRecords.empty());
    step("the series-composition switch", [&] {
        frame->PerformSeriesSwitch();
        List().ShowStudy(List().patients.at(0)->studies.at(0));
    });
    step("a study switch", [&] {
        StudyInfo* study = List().patients.at(0)->studies.at(0);
        List().ShowSeriesOfStudy(study, study->series.at(1));
    });
    // Closing the window while they read: the stops are raised, and nothing waits for them.
    List().ShowStudy(List().patients.at(0)->studies.at(0));
    ASSERT_TRUE(PumpUntil([this] { return EveryCellShows(Image()) && RunningLoaders(Image()) > 0; }));
    frame->close();
    EXPECT_EQ(guiJoins.load(), 0) << "the close";
    // The readers let go end after their blocks, and the records they held go.
    EXPECT_TRUE(PumpUntil([] { return XEVRecordSetsAwaitingFree() == 0 && XEVThread::ReapLetGo() == 0; }));
    XEVSetJoinObserver(nullptr);
    EXPECT_EQ(guiJoins.load(), 0);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
    EXPECT_EQ(SlowDiscLockedBytes(), 0);
    XEVSetMediumProbe({});
    GetCommonSettings().ModeMultiFrameRead = 0;
}
