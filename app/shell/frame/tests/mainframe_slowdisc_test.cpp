// The viewer on a slow medium (one drive head, a seek for each request that is not sequential,
// then the bytes at 6 MB/s), through the real frame: the GUI thread never reads the medium.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QThread>
#include <QTimer>
#include <QWheelEvent>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discopentestsupport.h"
#include "plat_temp_folder.h"
#include "shell/xev_uistring.h"
#include "shell/xevreportdlg.h"
#include "shell/xevsplitterwnd.h"
#include "study/xevrecordkeeper.h"
#include "study/xevstagedread.h"
#include "study/xevthread.h"
#include "testsupport/slowdisc.h"
#include "testsupport/zipmaker.h"

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
    EXPECT_EQ(SlowDiscHeadBusyUntil(), 0);

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
    const long long busyUntil = SlowDiscHeadBusyUntil();
    EXPECT_GT(busyUntil, 0);
    std::thread([&] { EXPECT_EQ(Slurp(root + "/A").size(), 300000u); }).join();
    EXPECT_EQ(SlowDiscSeeks(), 2);
    EXPECT_EQ(SlowDiscHeadBusyUntil(), busyUntil);
    EXPECT_GT(SlowDiscReads(), reads);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads);
}

namespace {

// The log's reads of path, in the order they took the head.
std::vector<SlowDiscEvent> ReadsOf(const std::string& path)
{
    std::vector<SlowDiscEvent> reads;
    for (const SlowDiscEvent& event : SlowDiscLog()) {
        if (event.kind == SlowDiscEvent::Read && event.path == path) {
            reads.push_back(event);
        }
    }
    std::sort(reads.begin(), reads.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    return reads;
}

}   // namespace

// As a mount: a request that misses the cache pulls the read-ahead window in after it, the
// cache keeps its size by letting the oldest pages go, a scratched file fails from its byte
// on, and the log has each read with whom its thread said it serves.
TEST(SlowDiscMedium, ReadsAheadKeepsABoundedCacheFailsWhereToldAndLogsEachRead)
{
    PlatTempFolder temp;
    if (!OnSlowDisc()) {
        temp.Write("disc/A", std::string(2 << 20, 'a'));
        temp.Write("disc/F", std::string(300000, 'f'));
        SlowDiscSettings settings{temp / "disc", 100e6, 1, 0};
        settings.cacheMb = 1;
        settings.fail = "/F:100000";
        RunTestOnSlowDisc(settings);
        return;
    }
    const std::string a = SlowDiscRoot() + "/A";
    const std::string f = SlowDiscRoot() + "/F";
    std::thread([&] {
        char buffer[4096];
        const int fd = open(a.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        SlowDiscReaderPriorityHook()(0);
        EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 4096);
        // Within the window the first read pulled in: the cache serves it.
        EXPECT_EQ(pread(fd, buffer, sizeof buffer, 100000), 4096);
        SlowDiscReaderPriorityHook()(-1);
        // The whole file is twice the cache: its head has left by the end.
        std::string whole(2 << 20, '\0');
        EXPECT_EQ(pread(fd, whole.data(), whole.size(), 0), ssize_t(whole.size()));
        EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 4096);
        close(fd);
    }).join();
    const std::vector<SlowDiscEvent> reads = ReadsOf(a);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads[0].driveBytes, 4096 + 128 * 1024);
    EXPECT_EQ(reads[0].priority, 0);
    EXPECT_EQ(reads[1].driveBytes, 0);
    EXPECT_EQ(reads[2].priority, -1);
    EXPECT_EQ(reads[2].driveBytes, (2 << 20) - 4096 - 128 * 1024);
    EXPECT_GT(reads[3].driveBytes, 0);
    EXPECT_FALSE(reads[0].gui);
    int asked = 0;
    int given = 0;
    for (const SlowDiscEvent& event : SlowDiscLog()) {
        asked += event.kind == SlowDiscEvent::TurnAsked && event.priority == 0 && event.start < reads[0].start;
        given += event.kind == SlowDiscEvent::TurnGiven && event.start > reads[1].end && event.start < reads[2].start;
    }
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(given, 1);

    // Before its failing byte a read is short, at it the read fails; each failing read counts.
    const int fd = open(f.c_str(), O_RDONLY);
    char buffer[1000];
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 0), 1000);
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 99500), 500);
    errno = 0;
    EXPECT_EQ(pread(fd, buffer, sizeof buffer, 100000), -1);
    EXPECT_EQ(errno, EIO);
    close(fd);
    std::FILE* stream = std::fopen(f.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    std::fseek(stream, 150000, SEEK_SET);
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, stream), 0u);
    std::fclose(stream);
    EXPECT_EQ(SlowDiscFailedReads(), 2);
    EXPECT_EQ(SlowDiscFailingOpens(), 2);
}

namespace {

// File Open on a disc in the slow drive, through the real frame, its study list, its cells and
// their loaders; the medium counts every read the GUI thread makes of it.
class SlowDiscOpenTest : public DiscOpenTest {
protected:
    StudyInfo* OpenUntilTheStudyShows(size_t series);
};

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

// The chosen DICOMDIR is read from its start onwards, as its parse reads it: the check that
// tells it from a zip does not send the head to its end first, and its walk waits for the
// medium's turn only for a header it reads (none for records of one frame). A zip is still one.
TEST_F(SlowDiscOpenTest, FileOpenReadsTheDicomDirFromItsStartOnwardsWithNoTurnPerRecord)
{
    if (!OnSlowDisc()) {
        // 40 records: a DICOMDIR of some pages.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/disc", "mr", {2, 20, 16}));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/zip", "samplezip"));
        RunTestOnSlowDisc({temp_ / "medium", 6e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    const std::string dicomDir = SlowDiscRoot() + "/disc/DICOMDIR";
    Open(dicomDir);
    ASSERT_EQ(SeriesSizes().size(), 2u);
    const std::vector<SlowDiscEvent> reads = ReadsOf(dicomDir);
    ASSERT_FALSE(reads.empty());
    EXPECT_EQ(reads.front().offset, 0);
    long long driven = -1;
    for (const SlowDiscEvent& read : reads) {
        if (read.driveBytes > 0) {
            EXPECT_GT(read.offset, driven) << "the drive went back to " << read.offset;
            driven = read.offset;
        }
    }
    // From the DICOMDIR's first read to the first image's: the check's turns and the walk's,
    // and the image's own; 40 records would make 40 more.
    long firstImage = std::numeric_limits<long>::max();
    for (const SlowDiscEvent& event : SlowDiscLog()) {
        if (event.kind == SlowDiscEvent::Read && event.path != dicomDir) {
            firstImage = std::min(firstImage, event.start);
        }
    }
    int turns = 0;
    for (const SlowDiscEvent& event : SlowDiscLog()) {
        turns +=
            event.kind == SlowDiscEvent::TurnAsked && event.start > reads.front().start && event.start < firstImage;
    }
    EXPECT_LE(turns, 8);
    XEVSetMediumProbe({});
    Open(SlowDiscRoot() + "/zip/disc.zip");
    EXPECT_FALSE(SeriesSizes().empty());
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

// Past the agreement, the slow disc opened until a cell shows its first study; the study, or
// null when none shows or it has other than `series` series.
StudyInfo* SlowDiscOpenTest::OpenUntilTheStudyShows(size_t series)
{
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    if (!PumpUntil([this] { return AnyCellShows(Image()); })) {
        ADD_FAILURE() << "the study's first images";
        return nullptr;
    }
    StudyInfo* study = List().patients.at(0)->studies.at(0);
    EXPECT_EQ(study->series.size(), series);
    return study->series.size() == series ? study : nullptr;
}

}   // namespace

// Zips whose CT0001 is damaged or stored as a symbolic link, on the medium: each cell that
// shows the member names it by its name in the archive, and nothing of the archive is read
// while an image's lock is held, its name included.
TEST_F(SlowDiscOpenTest, AMemberThatFailsIsNamedWithNothingReadUnderTheImageLock)
{
    if (!OnSlowDisc()) {
        std::filesystem::create_directories(temp_ / "medium");
        const std::string command =
            "/usr/bin/python3 " FRAME_TEST_DATA_DIR "/write_damaged_zips.py " KV_SAMPLE_DIR " " + temp_ / "medium";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        RunTestOnSlowDisc({temp_ / "medium", 20e6, 10, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    frame->OnAgreementClosed(1);
    for (const char* name : {"brokenmember.zip", "linkmember.zip"}) {
        SCOPED_TRACE(name);
        const std::string zip = SlowDiscRoot() + "/" + name;
        box.texts.clear();
        const long before = SlowDiscLockedBytes();
        Open(zip);
        ASSERT_TRUE(PumpUntil([this] { return !box.texts.empty(); }));
        EXPECT_TRUE(box.texts.front().contains(QString::fromStdString(zip + "/CD/DICOM/CT0001")))
            << box.texts.front().toStdString();
        EXPECT_EQ(SlowDiscLockedBytes(), before);
    }
    XEVSetMediumProbe({});
}

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
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    XEVSetJoinObserver(CountGuiJoin);
    const long guiReads = SlowDiscGuiReads();
    // The user took the agreement: an opened disc shows its first study. Viewing starts with
    // the read-ahead under way: it is stopped, not waited for.
    StudyInfo* study = OpenUntilTheStudyShows(4);
    ASSERT_NE(study, nullptr);
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

// For every turn asked for the screen, until that thread gives it up: the reads that started
// on the drive for anything else (a background turn, or no turn at all). Each beyond the
// first of a turn is described: that one may have been let go before the screen asked.
struct ScreenTurns {
    int asked = 0;
    std::vector<std::string> overtaken;
};
ScreenTurns BackgroundReadsWhileTheScreenWaits(std::vector<SlowDiscEvent> log)
{
    std::sort(log.begin(), log.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    ScreenTurns turns;
    for (size_t k = 0; k < log.size(); ++k) {
        if (log[k].kind != SlowDiscEvent::TurnAsked || log[k].priority != 0) {
            continue;
        }
        ++turns.asked;
        int others = 0;
        for (size_t j = k + 1; j < log.size(); ++j) {
            const SlowDiscEvent& event = log[j];
            if (event.kind == SlowDiscEvent::TurnGiven && event.thread == log[k].thread) {
                break;
            }
            if (event.kind == SlowDiscEvent::Read && event.priority != 0 && event.driveBytes > 0 && ++others > 1) {
                turns.overtaken.push_back(event.path + " at " + std::to_string(event.offset) + ", priority " +
                                          std::to_string(event.priority));
            }
        }
    }
    return turns;
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
        // The loaders start once the worker has read the first images. On a busy machine they may
        // have read everything before the last step's wait ended: the clear then finds none reading.
        ASSERT_TRUE(PumpUntil([this] { return RunningLoaders(Image()) > 0 || !Image().StudyStartPending(); }));
        const int before = ticks;
        sinceTick.restart();
        longestGap = 0;
        clear();
        EXPECT_EQ(guiJoins.load(), 0) << what;
        // A view that shows at once may come before the timer's next tick.
        EXPECT_TRUE(PumpUntil([&] { return EveryCellShows(Image()) && ticks > before; })) << what << ": the new view";
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
    EXPECT_TRUE(PumpUntil([] { return XEVRecordSetsAwaitingFree() == 0 && XEVDetachedRunning() == 0; }));
    XEVSetJoinObserver(nullptr);
    EXPECT_EQ(guiJoins.load(), 0);
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
    EXPECT_EQ(SlowDiscLockedBytes(), 0);
    XEVSetMediumProbe({});
    GetCommonSettings().ModeMultiFrameRead = 0;
}

// Whether a background turn was asked for last and is not given up yet: a loader reads
// behind the page now, or waits to.
bool BackgroundTurnOpen(const std::vector<SlowDiscEvent>& log)
{
    const SlowDiscEvent* last = nullptr;
    for (const SlowDiscEvent& event : log) {
        if (event.kind != SlowDiscEvent::Read && (last == nullptr || event.start > last->start)) {
            last = &event;
        }
    }
    return last != nullptr && last->kind == SlowDiscEvent::TurnAsked && last->priority == 1;
}

long BackgroundDriveReads(const std::vector<SlowDiscEvent>& log)
{
    long count = 0;
    for (const SlowDiscEvent& event : log) {
        count += event.kind == SlowDiscEvent::Read && event.priority == 1 && event.driveBytes > 0 ? 1 : 0;
    }
    return count;
}

// A series of 30 images of two blocks each paged down twice while its loader reads the rest of
// the series behind the page: once a cell asks for its image, no read for anything else starts
// on the drive until that image is read, but the one let go before.
TEST_F(SlowDiscOpenTest, WhatTheScreenAsksForIsReadBeforeAnyBackgroundBlockQueuedAfterIt)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {2, 30, 768}));
        RunTestOnSlowDisc({temp_ / "disc", 10e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    StudyInfo* study = OpenUntilTheStudyShows(2);
    ASSERT_NE(study, nullptr);
    List().ShowSeriesOfStudy(study, study->series[0]);
    ASSERT_TRUE(PumpUntil([this] { return Image().activeMode == 1 && frame->FirstCellsLoaded(); })) << "the series";
    const int32_t perPage = Image().seriesLayout.rows * Image().seriesLayout.cols;
    for (int page = 1; page <= 2; ++page) {
        // Each page is asked for while the loader reads behind the one before.
        ASSERT_TRUE(PumpUntil([] { return BackgroundTurnOpen(SlowDiscLog()); })) << page;
        XEVImageViewCtrl* cell = Image().GetFirstActiveView();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QCoreApplication::sendEvent(cell != nullptr ? cell : Image().ActiveCells().begin()->second, &press);
        ASSERT_EQ(Image().pageOffset, page * perPage);
        ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); })) << "page " << page;
    }
    const std::vector<SlowDiscEvent> log = SlowDiscLog();
    XEVSetMediumProbe({});
    const ScreenTurns turns = BackgroundReadsWhileTheScreenWaits(log);
    // The pages stepped to asked for their images; one the loader behind the page had read
    // before the key needs no turn.
    EXPECT_GT(turns.asked, 2 * perPage);
    EXPECT_TRUE(turns.overtaken.empty()) << turns.overtaken.size() << " reads overtook the screen, the first "
                                         << turns.overtaken.front();
    std::printf("[ measured ] %d turns for the screen, %ld background reads of the drive\n", turns.asked,
                BackgroundDriveReads(log));
    EXPECT_EQ(box.texts.size(), 0u);
}

// A file whose pixels the drive cannot read (a scratch after its header): the drive is asked
// for it once, one open and one failing read, before its box names it; the other series show.
TEST_F(SlowDiscOpenTest, AFailingFileIsAskedOfTheDriveOnceBeforeItsBox)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {2, 3, 256}));
        SlowDiscSettings settings(temp_ / "disc", 1.2e6, 100, 0);
        settings.fail = "/DICOM/S002/I0001:2000";
        RunTestOnSlowDisc(settings);
        return;
    }
    frame->OnAgreementClosed(1);
    Open(SlowDiscRoot() + "/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return !box.texts.empty(); })) << "the box";
    EXPECT_EQ(SlowDiscFailingOpens(), 1);
    EXPECT_EQ(SlowDiscFailedReads(), 1);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].contains(QStringLiteral("S002/I0001"))) << box.texts[0].toStdString();
    ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }));
    EXPECT_TRUE(AnyCellShows(Image()));
    EXPECT_EQ(SlowDiscFailedReads(), 1);
    EXPECT_EQ(box.texts.size(), 1u);
}

namespace {

// Set once a reader has asked for the medium's turn for the screen; the medium logs each ask.
PlatEvent screenAsked{true, false};

void TellScreenAsked(int priority)
{
    SlowDiscReaderPriorityHook()(priority);
    if (priority == 0) {
        screenAsked.Set();
    }
}

// A background read of the file's first block, then, once between has returned, of the rest in
// the same turn, given to the screen between blocks as the medium says.
std::thread ReadBehind(const std::string& path, const std::function<void()>& between)
{
    return std::thread([path, between] {
        XEVMediumTurn turn(XEVReadPriority::Background, nullptr);
        XEVStagedFile file;
        ASSERT_TRUE(file.Open(path));
        file.SetTurn(&turn);
        EXPECT_TRUE(file.Fetch(0, kXEVReadBlock, nullptr));
        between();
        turn.Yield();
        EXPECT_TRUE(file.Fetch(kXEVReadBlock, file.Size(), nullptr));
    });
}

// The whole file in one turn.
void ReadWhole(const std::string& path, XEVReadPriority priority)
{
    XEVMediumTurn turn(priority, nullptr);
    XEVStagedFile file;
    ASSERT_TRUE(file.Open(path));
    EXPECT_TRUE(file.Fetch(0, file.Size(), nullptr));
}

}   // namespace

// The medium's turn between two readers: a background read of a file of eight blocks, and a
// read for the screen asked for while the background one is under way. The screen's file is
// read before the background's next block, and the background read ends after it.
TEST(SlowDiscMedium, AReadForTheScreenGoesBeforeTheBackgroundsNextBlock)
{
    PlatTempFolder temp;
    if (!OnSlowDisc()) {
        temp.Write("disc/Behind", std::string(8 * kXEVReadBlock, 'b'));
        temp.Write("disc/Shown", std::string(300000, 's'));
        RunTestOnSlowDisc({temp / "disc", 10e6, 1, 0});
        return;
    }
    const std::string behind = SlowDiscRoot() + "/Behind";
    XEVSetMediumProbe({nullptr, nullptr, TellScreenAsked});
    // The rest of the file once the screen has asked: however late either thread runs on a busy
    // machine, the ask falls within the read.
    std::thread background = ReadBehind(behind, [] { screenAsked.Wait(); });
    // Asked for once the background read is under way.
    ASSERT_TRUE(PumpUntil([&] {
        for (const SlowDiscEvent& event : SlowDiscLog()) {
            if (event.kind == SlowDiscEvent::Read && event.path == behind) {
                return true;
            }
        }
        return false;
    }));
    ReadWhole(SlowDiscRoot() + "/Shown", XEVReadPriority::OnScreen);
    background.join();
    XEVSetMediumProbe({});

    const std::vector<SlowDiscEvent> log = SlowDiscLog();
    const ScreenTurns turns = BackgroundReadsWhileTheScreenWaits(log);
    EXPECT_EQ(turns.asked, 1);
    EXPECT_TRUE(turns.overtaken.empty()) << turns.overtaken.size() << " reads overtook the screen, the first "
                                         << turns.overtaken.front();
    const std::vector<SlowDiscEvent> shown = ReadsOf(SlowDiscRoot() + "/Shown");
    const std::vector<SlowDiscEvent> behindReads = ReadsOf(behind);
    ASSERT_EQ(shown.size(), 1u);
    ASSERT_EQ(behindReads.size(), 8u);
    EXPECT_GT(behindReads.back().start, shown.back().end);
}

namespace {

// Set once a background reader waits for the head only while something holds the screen's turns,
// and once another thread than the test's asks for a turn for the screen.
PlatEvent backgroundHeldOff{true, false};
PlatEvent otherScreenAsked{true, false};
thread_local bool testThread = false;

void TellHeldOff(int state)
{
    SlowDiscMediumTurnHook()(state);
    if (state == 3) {
        backgroundHeldOff.Set();
    }
}

void TellOtherScreenAsked(int priority)
{
    SlowDiscReaderPriorityHook()(priority);
    if (priority == 0 && !testThread) {
        otherScreenAsked.Set();
    }
}

}   // namespace

// A background read of eight blocks, then a hold on the screen's turns made after its first
// block, as File Open makes while the shown disc loads: the background gives up the head at its
// next block and stays off it through the hold's two reads and the gap between them, and a read
// for the shown disc's screen asked for before the second waits for it; both go on once the
// hold goes.
TEST(SlowDiscMedium, AHoldOnTheScreensTurnsKeepsEveryOtherReaderOffTheHeadUntilItGoes)
{
    PlatTempFolder temp;
    if (!OnSlowDisc()) {
        temp.Write("disc/Behind", std::string(8 * kXEVReadBlock, 'b'));
        temp.Write("disc/Check", std::string(100000, 'c'));
        temp.Write("disc/Walk", std::string(100000, 'w'));
        temp.Write("disc/Shown", std::string(300000, 's'));
        RunTestOnSlowDisc({temp / "disc", 10e6, 1, 0});
        return;
    }
    testThread = true;
    const std::string behind = SlowDiscRoot() + "/Behind";
    XEVSetMediumProbe({nullptr, nullptr, TellOtherScreenAsked, TellHeldOff});
    PlatEvent firstBlock(true, false);
    PlatEvent holdMade(true, false);
    std::thread background = ReadBehind(behind, [&] {
        firstBlock.Set();
        holdMade.Wait();
    });
    firstBlock.Wait();
    std::thread screen;
    {
        auto hold = std::make_unique<XEVScreenHold>();
        const XEVHeldReads reads;
        holdMade.Set();
        EXPECT_TRUE(backgroundHeldOff.Wait(kPumpTimeoutMs)) << "the background kept the head";
        ReadWhole(SlowDiscRoot() + "/Check", XEVReadPriority::OnScreen);
        backgroundHeldOff.Reset();
        // Past the grace after the hold's read, as a check's walk between its reads may be.
        EXPECT_TRUE(backgroundHeldOff.Wait(kPumpTimeoutMs)) << "the background took the head between";
        screen = std::thread([] { ReadWhole(SlowDiscRoot() + "/Shown", XEVReadPriority::OnScreen); });
        EXPECT_TRUE(otherScreenAsked.Wait(kPumpTimeoutMs));
        ReadWhole(SlowDiscRoot() + "/Walk", XEVReadPriority::OnScreen);
    }
    background.join();
    screen.join();
    XEVSetMediumProbe({});

    const std::vector<SlowDiscEvent> walk = ReadsOf(SlowDiscRoot() + "/Walk");
    const std::vector<SlowDiscEvent> shown = ReadsOf(SlowDiscRoot() + "/Shown");
    const std::vector<SlowDiscEvent> behindReads = ReadsOf(behind);
    ASSERT_EQ(walk.size(), 1u);
    ASSERT_EQ(shown.size(), 1u);
    ASSERT_EQ(behindReads.size(), 8u);
    EXPECT_GT(shown.front().start, walk.back().end);
    EXPECT_GT(behindReads[1].start, walk.back().end);
}

namespace {

// The scanner is the one thread started at the lowest priority (a higher nice value than the
// test's): its first read from the drive waits here until the test lets it end, as a header
// read of a slow drive does.
int testNice = 0;
std::atomic<PlatEvent*> scanHold{nullptr};
std::atomic<PlatEvent*> scanEntered{nullptr};
void HoldTheScansRead(int priority)
{
    if (priority != 1 || getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid))) <= testNice) {
        return;
    }
    if (PlatEvent* entered = scanEntered.exchange(nullptr)) {
        entered->Set();
        scanHold.load()->Wait();
    }
}

// Whether every record path the list holds, in both its record sets, is under folder.
bool ListHoldsOnly(const XEVPatientList& list, const std::string& folder)
{
    const QString prefix = QString::fromStdString(folder + "/");
    for (const auto* records : {&list.patients, &list.scanRecords}) {
        for (const PatientInfo* patient : *records) {
            for (const StudyInfo* study : patient->studies) {
                for (const SeriesInfo* series : study->series) {
                    for (const ImageInfo* image : series->images) {
                        if (!image->filePath.startsWith(prefix)) {
                            return false;
                        }
                    }
                }
            }
        }
    }
    return !list.patients.empty();
}

// A mark in the medium's log, made by the GUI thread: what comes after it came after now.
long MarkTheLog()
{
    SlowDiscReaderPriorityHook()(-1);
    long mark = -1;
    for (const SlowDiscEvent& event : SlowDiscLog()) {
        mark = event.gui && event.kind == SlowDiscEvent::TurnGiven ? std::max(mark, event.start) : mark;
    }
    return mark;
}

// Since the mark, by readers that first read after it: each first image the page's cells show is
// read, and before any other image of their series begins to be read. What went wrong, or "".
std::string FirstImagesReadFirst(const std::vector<SlowDiscEvent>& log, long mark, const CXEVImageFormView& image)
{
    std::set<std::string> firsts;
    std::set<std::string> rest;
    for (const auto& [id, cell] : image.studyCells) {
        const auto images = cell->GetImages();
        if (images.empty() || !cell->isVisible()) {
            continue;
        }
        firsts.insert(images.begin()->second->filePath.toStdString());
        for (const auto& [k, other] : images) {
            rest.insert(other->filePath.toStdString());
        }
    }
    // A reader let go still reads the block it began: the reads of a turn asked before the mark.
    // Threads are kept from one reader to the next, so a thread's later turns are new readers'.
    std::vector<SlowDiscEvent> ordered = log;
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const SlowDiscEvent& a, const SlowDiscEvent& b) { return a.start < b.start; });
    std::set<int> inOldTurn;
    long firstRest = std::numeric_limits<long>::max();
    std::string restPath;
    // When each first image was first read: a loader may read it again later, from the cache.
    std::map<std::string, long> firstRead;
    for (const SlowDiscEvent& event : ordered) {
        if (event.kind == SlowDiscEvent::TurnAsked && event.start < mark) {
            inOldTurn.insert(event.thread);
        } else if (event.kind == SlowDiscEvent::TurnGiven) {
            inOldTurn.erase(event.thread);
        }
        if (event.kind != SlowDiscEvent::Read || event.start < mark || inOldTurn.count(event.thread) != 0) {
            continue;
        }
        if (firsts.count(event.path) != 0) {
            auto [at, added] = firstRead.emplace(event.path, event.end);
            at->second = std::min(at->second, event.end);
        } else if (rest.count(event.path) != 0 && event.start < firstRest) {
            firstRest = event.start;
            restPath = event.path;
        }
    }
    if (firstRead.size() != firsts.size()) {
        return std::to_string(firsts.size() - firstRead.size()) + " of " + std::to_string(firsts.size()) +
               " first images not read";
    }
    long lastFirst = -1;
    for (const auto& [path, end] : firstRead) {
        lastFirst = std::max(lastFirst, end);
    }
    return lastFirst < firstRest ? std::string() : restPath + " was read before the last first image";
}

// The study cells on screen that show their first images.
size_t StudyCellsShown(CXEVImageFormView& image)
{
    size_t shown = 0;
    for (const auto& [id, cell] : image.studyCells) {
        shown += cell->isVisible() && cell->CurrentImage() != nullptr && cell->HasFramePixels(cell->currentFrame);
    }
    return shown;
}

}   // namespace

// With the scan on, File Open of a second disc, then a drop of the first, each while the scan of
// the disc shown is inside a read: the GUI thread waits for none, the new disc loads and is
// scanned, and once the old scan's read ends the list still holds the new disc's records alone.
TEST_F(SlowDiscOpenTest, FileOpenOrADropWhileTheScanReadsWaitsForItNotAndTakesNothingOfIt)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/one", "mr", {2, 3, 256}));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/two", "mr", {3, 2, 256}));
        RunTestOnSlowDisc({temp_ / "medium", 6e6, 100, 0});
        return;
    }
    errno = 0;
    testNice = getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)));
    if (errno != 0 || testNice >= 19) {
        GTEST_SKIP() << "the scanner's priority cannot be told from the test's";
    }
    const std::string medium = SlowDiscRoot();
    PlatEvent hold(true, false);
    PlatEvent entered(true, false);
    // A failed step never leaves the scan held for the teardown to wait on.
    struct Release {
        PlatEvent& hold;
        ~Release()
        {
            scanEntered = nullptr;
            hold.Set();
        }
    } release{hold};
    scanHold = &hold;
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), HoldTheScansRead});
    GetCommonSettings().ModeUnsupportSRDelList = 1;
    frame->OnAgreementClosed(1);

    const auto step = [&](const char* what, const std::string& shown, const std::string& next,
                          const std::function<void(const std::string&)>& replace) {
        hold.Reset();
        entered.Reset();
        scanEntered = &entered;
        Open(medium + shown + "/DICOMDIR");
        ASSERT_TRUE(PumpUntil([&] { return entered.Wait(0); })) << what << ": the scan's read";
        guiJoins = 0;
        XEVSetJoinObserver(CountGuiJoin);
        replace(medium + next + "/DICOMDIR");
        EXPECT_EQ(guiJoins.load(), 0) << what;
        EXPECT_TRUE(PumpUntil([&] { return List().loaded != 0 && List().scanDone != 0; }, 60000)) << what;
        hold.Set();
        EXPECT_TRUE(PumpUntil([&] { return List().scanner.Running() == 0 && List().Running() == 0; })) << what;
        XEVSetJoinObserver(nullptr);
        EXPECT_EQ(guiJoins.load(), 0) << what;
        EXPECT_TRUE(ListHoldsOnly(List(), medium + next)) << what;
        EXPECT_FALSE(List().scanRecords.empty()) << what;
    };
    step("File Open of another disc", "/one", "/two", [&](const std::string& path) { Open(path); });
    step("a drop", "/two", "/one", [&](const std::string& path) {
        XEVDropFiles drop;
        drop.paths = {QString::fromStdString(path)};
        XEVSendMessage(List().Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop));
    });
    XEVSetMediumProbe({});
    GetCommonSettings().ModeUnsupportSRDelList = 0;
}

// A study switch and File Open of a second disc at 1.2 MB/s, each while the cells' loaders
// read: the GUI thread never waits for the job worker to read the page's first images, and
// those are still read before any cell loader reads the rest of its series.
TEST_F(SlowDiscOpenTest, TheGridWaitsForNoWorkerAndItsFirstImagesAreReadFirst)
{
    if (!OnSlowDisc()) {
        // Series long enough that the loaders still read after each step's check, however late
        // the test gets to it: the first disc's study is 8 MB, 7 s of drive.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/one", "mr", {4, 16, 256}));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/two", "mr", {3, 16, 256}));
        RunTestOnSlowDisc({temp_ / "medium", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    // Only the worker's word starts the loaders here, however busy the machine.
    Image().firstImagesWaitMs = kNoCeilingWaitMs;
    const long guiReads = SlowDiscGuiReads();
    frame->OnAgreementClosed(1);
    const std::string medium = SlowDiscRoot();
    long mark = MarkTheLog();
    Open(medium + "/one/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return StudyCellsShown(Image()) == 4 && !Image().StudyStartPending(); }));
    EXPECT_EQ(FirstImagesReadFirst(SlowDiscLog(), mark, Image()), "") << "the first disc";

    const auto step = [&](const char* what, size_t series, const std::function<void()>& act) {
        mark = MarkTheLog();
        act();
        ASSERT_TRUE(PumpUntil([&] { return StudyCellsShown(Image()) == series && !Image().StudyStartPending(); }))
            << what;
        ASSERT_TRUE(PumpUntil([this] { return RunningLoaders(Image()) > 0; })) << what;
        EXPECT_EQ(FirstImagesReadFirst(SlowDiscLog(), mark, Image()), "") << what;
    };
    StudyInfo* study = List().patients.at(0)->studies.at(0);
    List().ShowSeriesOfStudy(study, study->series.at(2));
    ASSERT_TRUE(PumpUntil([this] { return Image().activeMode == 1 && AnyCellShows(Image()); })) << "the series";
    // A reader of the series let go by the switch still reads the block it began, however late
    // its thread got to it: the series' loads end first, so that what is read after the switch
    // is the study's. The tiles' images are the job worker's, not their loaders'.
    ASSERT_TRUE(PumpUntil([this] {
        for (const auto& [id, cell] : Image().seriesCells) {
            if (!CellLoadsFinished(*cell) ||
                (cell->CurrentImage() != nullptr && !cell->HasFramePixels(cell->currentFrame))) {
                return false;
            }
        }
        return true;
    })) << "the series";
    step("a study switch", 4, [&] {
        List().ShowStudy(study);
        // Its loaders wait for the worker, and the window for neither.
        EXPECT_TRUE(Image().StudyStartPending());
    });
    ASSERT_GT(RunningLoaders(Image()), 0u);
    step("File Open of another disc", 3, [&] { Open(medium + "/two/DICOMDIR"); });
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
    EXPECT_EQ(SlowDiscLockedBytes(), 0);
    XEVSetMediumProbe({});
}

namespace {

// The files of the study cells' series, those on screen and those kept out of sight each side.
void StudyFiles(const CXEVImageFormView& image, std::set<std::string>& shown, std::set<std::string>& kept)
{
    for (const auto& [id, cell] : image.studyCells) {
        for (const auto& [k, entry] : cell->GetImages()) {
            (cell->isVisible() ? shown : kept).insert(entry->filePath.toStdString());
        }
    }
}

// Since the mark, the reads for the screen and the reads of new readers: what went wrong, or "".
// Only the page in view is read for the screen; a new reader reads the rows kept beside it only
// once the page's last image read for the screen has been read; the rows passed over are not
// read for the screen at all.
std::string ThePageInViewGoesFirst(const std::vector<SlowDiscEvent>& log, long mark, const CXEVImageFormView& image)
{
    std::set<std::string> shown;
    std::set<std::string> kept;
    StudyFiles(image, shown, kept);
    std::set<int> oldReaders;
    for (const SlowDiscEvent& event : log) {
        if (event.start < mark) {
            oldReaders.insert(event.thread);
        }
    }
    // A reader let go before the mark may still finish the file it was in: one file a reader.
    std::map<int, std::string> lateFiles;
    long lastShown = -1;
    for (const SlowDiscEvent& event : log) {
        if (event.kind == SlowDiscEvent::Read && event.start >= mark && event.priority == 0) {
            if (shown.count(event.path) == 0) {
                if (oldReaders.count(event.thread) != 0 &&
                    lateFiles.try_emplace(event.thread, event.path).first->second == event.path) {
                    continue;
                }
                return event.path + " was read for the screen after the page settled";
            }
            lastShown = std::max(lastShown, event.end);
        }
    }
    for (const SlowDiscEvent& event : log) {
        if (event.kind == SlowDiscEvent::Read && event.start >= mark && oldReaders.count(event.thread) == 0 &&
            shown.count(event.path) == 0 && event.start < lastShown) {
            return event.path +
                   (kept.count(event.path) != 0 ? " (a row kept beside the page)" : " (a row passed over)") +
                   " was read before the page in view";
        }
    }
    return "";
}

}   // namespace

// A 201-series grid paged to its end by clicks in the scroll bar's trough 0.5 s and 0.3 s apart,
// each page settling before the next click: the job worker's reads for the pages passed over are
// taken back with their cells, so after the landing page settles only its images are read for
// the screen, and the rows kept beside it wait for them.
TEST_F(SlowDiscOpenTest, TheGridPagedByTroughClicksReadsThePageInViewFirst)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "mr", {201, 1, 256}));
        RunTestOnSlowDisc({temp_ / "disc", 6e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    frame->OnAgreementClosed(1);
    for (const int apartMs : {500, 300}) {
        SCOPED_TRACE(apartMs);
        Open(SlowDiscRoot() + "/DICOMDIR");
        // The grid keeps its row across discs: each round starts at the top.
        Image().ScrollTo(0);
        ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded() && !Image().CellsComing(); }))
            << "the first page";
        auto& bar = const_cast<QScrollBar&>(Image().ScrollBar());
        ASSERT_GT(bar.maximum(), 3 * bar.pageStep());
        int clicks = 0;
        while (bar.value() < bar.maximum()) {
            Wait(apartMs);
            bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
            ++clicks;
        }
        EXPECT_GE(clicks, 4);
        ASSERT_TRUE(PumpUntil([this] { return !Image().CellsComing(); }));
        const long mark = MarkTheLog();
        ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); })) << "the landing page";
        EXPECT_EQ(ThePageInViewGoesFirst(SlowDiscLog(), mark, Image()), "");
        // Let the rows kept beside it load too, so that the next open stops nothing under way.
        // Each cell whose loads have not ended, with its counts.
        const auto unsettled = [this] {
            std::string cells;
            for (const auto& [id, cell] : Image().studyCells) {
                if (!CellLoadsFinished(*cell)) {
                    cells += " cell " + std::to_string(cell->GetPosition()) + (cell->isVisible() ? " (shown)" : "") +
                             ": under way " + std::to_string(cell->loadingUnderWay.load()) + ", running " +
                             std::to_string(cell->loaderRunning.load()) + ", done pending " +
                             std::to_string(cell->loadDonePending.load()) + ";";
                }
            }
            return cells;
        };
        ASSERT_TRUE(PumpUntil([&] { return unsettled().empty(); })) << "loads never ended:" << unsettled();
    }
    EXPECT_EQ(box.texts.size(), 0u);
    XEVSetMediumProbe({});
}

// A file of 20 frames of 256 x 256 whose reads fail from within its eleventh frame, shown tile
// by tile and played as cine round and round: each frame the drive cannot read is asked for
// once, cine passes over it from then on, and two more rounds ask the drive once more at most.
TEST_F(SlowDiscOpenTest, CineAtFramesTheDriveCannotReadAsksForThemOnce)
{
    if (!OnSlowDisc()) {
        // Larger than a read block: its frames are read one by one.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "multiframe", {20, 256}));
        SlowDiscSettings settings(temp_ / "disc", 6e6, 100, 0);
        settings.fail = "/DICOM/S001/I0001:" + std::to_string(10 * 256 * 256 * 2 + 65536);
        RunTestOnSlowDisc(settings);
        return;
    }
    StudyInfo* study = OpenUntilTheStudyShows(3);
    ASSERT_NE(study, nullptr);
    List().ShowSeriesOfStudy(study, study->series[0]);
    ASSERT_TRUE(PumpUntil([this] { return Image().activeMode == 1 && AnyCellShows(Image()); })) << "the series";
    XEVImageViewCtrl* cell = Image().ActiveCells().begin()->second;
    ASSERT_TRUE(PumpUntil([&] { return cell->TileCount() == 20; })) << cell->TileCount();
    Image().SelectCell(cell->ControlId());
    ASSERT_EQ(Image().GetSelectedView(), cell);
    Title().OnPlayPause();
    ASSERT_TRUE(Title().IsCinePlaying());
    int rounds = 0;
    int32_t last = cell->TilePosition();
    const auto playRounds = [&](int count) {
        const int until = rounds + count;
        return PumpUntil([&] {
            const int32_t now = cell->TilePosition();
            rounds += now < last ? 1 : 0;
            last = now;
            return rounds >= until;
        });
    };
    ASSERT_TRUE(playRounds(2)) << "cine stays at position " << last;
    const long failed = SlowDiscFailedReads();
    EXPECT_GE(failed, 1);
    ASSERT_TRUE(playRounds(2)) << "cine stays at position " << last;
    EXPECT_LE(SlowDiscFailedReads() - failed, 1);
    Title().OnPlayPause();
    EXPECT_FALSE(Title().IsCinePlaying());
    EXPECT_FALSE(box.texts.empty());
}

namespace {

// Where a member's data lies in the archive: [begin, end).
std::pair<long long, long long> MemberData(const std::string& zip, const std::string& member)
{
    ZipArchive archive;
    uint64_t start = 0;
    unz_file_info64 info{};
    if (archive.Open(zip) != kZipOk ||
        archive.Locate([&](const std::string& name, const unz_file_info64&) { return name == member; }) != kZipOk ||
        archive.CurrentDataStart(start, info) != kZipOk) {
        return {0, 0};
    }
    return {static_cast<long long>(start), static_cast<long long>(start + info.compressed_size)};
}

// When the drive last read inside the range of the archive; -1 when it never did.
long LastDriveReadIn(const std::vector<SlowDiscEvent>& log, const std::string& zip,
                     std::pair<long long, long long> range)
{
    long last = -1;
    for (const SlowDiscEvent& event : log) {
        if (event.kind == SlowDiscEvent::Read && event.path == zip && event.driveBytes > 0 &&
            event.offset < range.second && event.offset + event.length > range.first) {
            last = std::max(last, event.end);
        }
    }
    return last;
}

// The files the medium was asked for, in order.
std::mutex readsMutex;
std::vector<std::string> readPaths;
void RecordRead(const std::string& path, int64_t, int32_t)
{
    std::lock_guard<std::mutex> lock(readsMutex);
    if (readPaths.empty() || readPaths.back() != path) {
        readPaths.push_back(path);
    }
}

// Files of folder read after mark and before the first read of target; -1 when target was not
// read after mark.
int ReadBefore(size_t mark, const std::string& target, const std::string& folder)
{
    std::lock_guard<std::mutex> lock(readsMutex);
    std::set<std::string> before;
    for (size_t k = mark; k < readPaths.size(); ++k) {
        if (readPaths[k].size() >= target.size() &&
            readPaths[k].compare(readPaths[k].size() - target.size(), target.size(), target) == 0) {
            return int(before.size());
        }
        if (readPaths[k].find(folder) != std::string::npos) {
            before.insert(readPaths[k]);
        }
    }
    return -1;
}

size_t ReadsSoFar()
{
    std::lock_guard<std::mutex> lock(readsMutex);
    return readPaths.size();
}

}   // namespace

// A zip whose first member is a 31 MB multi-frame file, stored, beside two series of 0.5 MB
// members, at 6 MB/s: the drive begins at the archive's directory, not at the large member
// before it; the cells of the small members show while the large member is still being
// extracted, the drive reads their members before the large member's last block, and then the
// large member's cell shows too.
TEST_F(SlowDiscOpenTest, SmallMembersInViewAreNotHeldBehindALargeMembersExtraction)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/zip", "multiframezip", {60, 512}));
        RunTestOnSlowDisc({temp_ / "medium", 6e6, 100, 0});
        return;
    }
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    frame->OnAgreementClosed(1);
    const std::string zip = SlowDiscRoot() + "/zip/disc.zip";
    Open(zip);
    const std::string folder = GetLoadState().GetExtractFolder();
    const std::string large = folder + "/DICOM/S001/I0001";
    // The members the study cells show, below the extraction folder, once they show.
    const auto shownMembers = [&] {
        std::vector<std::string> shown;
        for (const auto& [id, cell] : Image().studyCells) {
            ImageInfo* image = cell->CurrentImage();
            if (cell->isVisible() && image != nullptr && cell->HasFramePixels(cell->currentFrame)) {
                shown.push_back(image->filePath.toStdString().substr(folder.size() + 1));
            }
        }
        std::sort(shown.begin(), shown.end());
        return shown;
    };
    const std::vector<std::string> small = {"DICOM/S002/I0001", "DICOM/S003/I0001"};
    ASSERT_TRUE(PumpUntil([&] { return shownMembers() == small || std::filesystem::exists(large); }));
    EXPECT_EQ(shownMembers(), small);
    EXPECT_FALSE(std::filesystem::exists(large)) << "the small members waited for the large one's extraction";

    ASSERT_TRUE(PumpUntil([&] { return shownMembers().size() == 3; }));
    EXPECT_EQ(shownMembers(), (std::vector<std::string>{"DICOM/S001/I0001", small[0], small[1]}));
    const std::vector<SlowDiscEvent> log = SlowDiscLog();
    const std::vector<SlowDiscEvent> reads = ReadsOf(zip);
    ASSERT_FALSE(reads.empty());
    EXPECT_GT(reads.front().offset, MemberData(zip, "DICOM/S001/I0001").second)
        << "the drive went to the large member before the directory";
    const long largeEnd = LastDriveReadIn(log, zip, MemberData(zip, "DICOM/S001/I0001"));
    for (const std::string& member : small) {
        const long end = LastDriveReadIn(log, zip, MemberData(zip, member));
        EXPECT_GE(end, 0) << member;
        EXPECT_LT(end, largeEnd) << member << " was read after the large member's last block";
    }
    EXPECT_EQ(box.texts.size(), 0u);
    XEVSetMediumProbe({});
}

// Two series of a study at 1.2 MB/s, cine played in one cell and the wheel turned in the other
// while their loaders read: what the wheel steps to is read before cine's next frame, both
// cells only ever show decoded images (the wheeled one keeps its image until the one stepped
// to has come), and the wheeled cell ends on the last image asked, every step counted.
TEST_F(SlowDiscOpenTest, TheWheelBesideCineIsReadFirstAndLosesNoStep)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "ct", {2, 24, 512}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    StudyInfo* study = OpenUntilTheStudyShows(2);
    ASSERT_NE(study, nullptr);
    XEVImageViewCtrl* played = nullptr;
    XEVImageViewCtrl* wheeled = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        played = wheeled = nullptr;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            ImageInfo* image = cell->CurrentImage();
            if (image == nullptr || !cell->HasFramePixels(cell->currentFrame)) {
                continue;
            }
            const std::string path = image->filePath.toStdString();
            (path.find("/S001/") != std::string::npos ? played : wheeled) = cell;
        }
        return played != nullptr && wheeled != nullptr;
    })) << "both series' first images";
    ASSERT_EQ(wheeled->GetCineLength(), 24);
    Image().SelectCell(played->ControlId());
    Image().ActivateCell(wheeled->ControlId());
    ASSERT_EQ(Image().GetSelectedView(), played);
    ASSERT_NE(wheeled->active, 0);
    {
        std::lock_guard<std::mutex> lock(readsMutex);
        readPaths.clear();
    }
    XEVSetReadObserver(RecordRead);
    Title().OnPlayPause();
    ASSERT_TRUE(Title().IsCinePlaying());

    int black = 0;
    int playedMoves = 0;
    int playedAt = played->GetPosition();
    const auto watch = [&] {
        black += played->HasFramePixels(played->currentFrame) ? 0 : 1;
        black += wheeled->HasFramePixels(wheeled->currentFrame) ? 0 : 1;
        const int now = played->GetPosition();
        playedMoves += now != playedAt ? 1 : 0;
        playedAt = now;
    };
    const auto turn = [&](int steps, int delta) {
        for (int k = 0; k < steps; ++k) {
            QWheelEvent wheel(QPointF(10, 10), QPointF(wheeled->mapToGlobal(QPoint(10, 10))), QPoint(),
                              QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(wheeled, &wheel);
            watch();
        }
    };
    // Cine has begun to ask the drive for frames of its own.
    ASSERT_TRUE(PumpUntil([&] {
        watch();
        return playedMoves >= 2;
    })) << "cine stays at "
        << played->GetPosition() << ", its loader under way " << played->loadingUnderWay.load() << ", running "
        << played->loaderRunning.load();

    // Nine steps down at once: the tenth image.
    const size_t mark = ReadsSoFar();
    turn(9, -120);
    ASSERT_TRUE(PumpUntil([&] {
        watch();
        return wheeled->GetPosition() == 10 && wheeled->StepAwaited() == -1;
    })) << "at "
        << wheeled->GetPosition();
    // At most the frame cine's read had under way when the wheel turned, and the one the
    // played cell's loader was reading.
    const int cineFirst = ReadBefore(mark, "/S002/I0010", "/S001/");
    EXPECT_GE(cineFirst, 0);
    EXPECT_LE(cineFirst, 2);

    // Five down and five up before anything comes: back where it was.
    turn(5, -120);
    turn(5, 120);
    Pump();
    watch();
    EXPECT_EQ(wheeled->GetPosition(), 10);
    // Then all the way up, faster than the drive reads: the first image.
    turn(9, 120);
    ASSERT_TRUE(PumpUntil([&] {
        watch();
        return wheeled->GetPosition() == 1 && wheeled->StepAwaited() == -1;
    })) << "at "
        << wheeled->GetPosition();
    EXPECT_TRUE(PumpUntil([&] {
        watch();
        return playedMoves >= 6;
    }));
    EXPECT_EQ(black, 0);
    Title().OnPlayPause();
    XEVSetReadObserver(nullptr);
    EXPECT_EQ(wheeled->GetPosition(), 1);
    EXPECT_EQ(box.texts.size(), 0u);
}

namespace {

// The frames of the multi-frame file each read covered, in the order asked.
constexpr int kFileFrames = 40;
constexpr int64_t kFrameBytes = 512 * 512 * 2;
std::mutex frameReadsMutex;
std::vector<std::pair<int, int>> frameReads;
int64_t framesStart = 0;
void RecordFrameRead(const std::string& path, int64_t offset, int32_t bytes)
{
    static const std::string file = "/S001/I0001";
    if (path.size() < file.size() || path.compare(path.size() - file.size(), file.size(), file) != 0 ||
        offset + bytes <= framesStart) {
        return;
    }
    const int first = int((std::max(offset, framesStart) - framesStart) / kFrameBytes);
    const int last = int((offset + bytes - 1 - framesStart) / kFrameBytes);
    std::lock_guard<std::mutex> lock(frameReadsMutex);
    frameReads.emplace_back(first, last);
}

void WatchFrameReads(const std::string& path)
{
    framesStart = int64_t(std::filesystem::file_size(path)) - kFileFrames * kFrameBytes;
    {
        std::lock_guard<std::mutex> lock(frameReadsMutex);
        frameReads.clear();
    }
    XEVSetReadObserver(RecordFrameRead);
}

size_t FrameReadsSoFar()
{
    std::lock_guard<std::mutex> lock(frameReadsMutex);
    return frameReads.size();
}

// Frames within [low, high] read after mark and before the first read of target; -1 when
// target was not read after mark.
int FramesReadBefore(size_t mark, int target, int low, int high)
{
    std::lock_guard<std::mutex> lock(frameReadsMutex);
    std::set<int> before;
    for (size_t k = mark; k < frameReads.size(); ++k) {
        const auto [first, last] = frameReads[k];
        if (first <= target && target <= last) {
            return int(before.size());
        }
        for (int frame = std::max(first, low); frame <= std::min(last, high); ++frame) {
            before.insert(frame);
        }
    }
    return -1;
}

}   // namespace

// A 40-frame file at 1.2 MB/s whose cell's loader reads its frames in order, wheeled through
// its frames while cine plays the series beside: each step to a frame not decoded keeps the
// frame shown until the one stepped to has come, that frame is read before the loader's next
// ones and cine's, the frames passed over are not read, and the cell ends on the last frame
// asked, every step counted.
TEST_F(SlowDiscOpenTest, TheWheelThroughFramesStillLoadingWaitsForEachAndLosesNoStep)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "multiframe", {kFileFrames, 512}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    StudyInfo* study = OpenUntilTheStudyShows(3);
    ASSERT_NE(study, nullptr);
    XEVImageViewCtrl* played = nullptr;
    XEVImageViewCtrl* wheeled = nullptr;
    ASSERT_TRUE(PumpUntil([&] {
        for (const auto& [id, cell] : Image().ActiveCells()) {
            ImageInfo* image = cell->CurrentImage();
            if (image == nullptr || !cell->HasFramePixels(cell->currentFrame)) {
                continue;
            }
            const std::string path = image->filePath.toStdString();
            if (path.find("/S001/") != std::string::npos) {
                wheeled = cell;
            } else if (path.find("/S002/") != std::string::npos) {
                played = cell;
            }
        }
        return played != nullptr && wheeled != nullptr && wheeled->GetCineLength() == kFileFrames;
    })) << "the file's first frame and the series beside";
    Image().SelectCell(played->ControlId());
    Image().ActivateCell(wheeled->ControlId());
    ASSERT_NE(wheeled->active, 0);
    ASSERT_EQ(wheeled->GetPosition(), 1);
    WatchFrameReads(wheeled->CurrentImage()->filePath.toStdString());
    {
        std::lock_guard<std::mutex> lock(readsMutex);
        readPaths.clear();
    }
    Title().OnPlayPause();
    ASSERT_TRUE(Title().IsCinePlaying());

    int black = 0;
    const auto watch = [&] {
        black += played->HasFramePixels(played->currentFrame) ? 0 : 1;
        black += wheeled->HasFramePixels(wheeled->currentFrame) ? 0 : 1;
    };
    const auto turn = [&](int steps, int delta) {
        for (int k = 0; k < steps; ++k) {
            QWheelEvent wheel(QPointF(10, 10), QPointF(wheeled->mapToGlobal(QPoint(10, 10))), QPoint(),
                              QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(wheeled, &wheel);
            watch();
        }
    };
    const auto arrives = [&](int frame) {
        return PumpUntil([&] {
            watch();
            return wheeled->GetPosition() == frame + 1 && wheeled->StepAwaited() == -1;
        });
    };

    // Thirty steps down at once, far ahead of the loader: the thirty-first frame. The loader
    // reads on in order while the steps are sent (slowly under the sanitizers) and while the
    // request waits in the window's queue; from its hand-over on, at most the frames it had
    // under way, in its block, come first.
    turn(30, -120);
    size_t mark = FrameReadsSoFar();
    EXPECT_NE(wheeled->StepAwaited(), -1);
    EXPECT_EQ(wheeled->StepAwaitedFrame(), 30);
    Pump();
    if (FramesReadBefore(mark, 30, 1, kFileFrames - 1) < 0) {
        mark = FrameReadsSoFar();
    }
    ASSERT_TRUE(arrives(30)) << "at " << wheeled->GetPosition();
    const int loaderFirst = FramesReadBefore(mark, 30, 1, kFileFrames - 1);
    EXPECT_GE(loaderFirst, 0);
    // Under the sanitizers on a busy machine the worker may begin its next block before it
    // takes the request up: one block more, never the rest of the file.
    EXPECT_LE(loaderFirst, kDiscTestSanitized ? 6 : 3);

    // Five down and five up before anything comes: back where it was, waiting for nothing.
    turn(5, -120);
    EXPECT_EQ(wheeled->StepAwaitedFrame(), 35);
    turn(5, 120);
    EXPECT_EQ(wheeled->StepAwaited(), -1);
    EXPECT_EQ(wheeled->GetPosition(), 31);

    // Ten up, faster than the drive reads: the frames passed over are not read before the one
    // asked, but for the first, under way.
    mark = FrameReadsSoFar();
    turn(10, 120);
    ASSERT_TRUE(arrives(20)) << "at " << wheeled->GetPosition();
    const int passedOver = FramesReadBefore(mark, 20, 21, 29);
    EXPECT_GE(passedOver, 0);
    EXPECT_LE(passedOver, 2);
    std::printf("[ measured ] frames read before the one stepped to: %d of the loader's, %d passed over\n", loaderFirst,
                passedOver);
    Title().OnPlayPause();
    XEVSetReadObserver(nullptr);
    EXPECT_EQ(black, 0);
    EXPECT_EQ(wheeled->GetPosition(), 21);
    EXPECT_EQ(box.texts.size(), 0u);
}

// The same file shown tile by tile in the series grid, its page settled: Right pressed in the
// page's last cell, again and again, faster than the drive reads, keeps its tile until the one
// stepped to has come, reads that one before those passed over, and then the page follows the
// cell; Right and Left as many times each before anything comes leave it where it stands.
TEST_F(SlowDiscOpenTest, TileStepsByKeyWaitForTheirFrameAndThePageFollows)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "disc", "multiframe", {kFileFrames, 512}));
        RunTestOnSlowDisc({temp_ / "disc", 1.2e6, 100, 0});
        return;
    }
    StudyInfo* study = OpenUntilTheStudyShows(3);
    ASSERT_NE(study, nullptr);
    List().ShowSeriesOfStudy(study, study->series[0]);
    ASSERT_TRUE(PumpUntil([this] { return Image().activeMode == 1 && AnyCellShows(Image()); })) << "the series";
    XEVImageViewCtrl* first = Image().ActiveCells().begin()->second;
    ASSERT_TRUE(PumpUntil([&] { return first->TileCount() == kFileFrames; })) << first->TileCount();
    // The page settled: every cell shows its tile.
    XEVImageViewCtrl* keyed = nullptr;
    int index = 0;
    ASSERT_TRUE(PumpUntil([&] {
        keyed = nullptr;
        int k = 0;
        for (const auto& [id, cell] : Image().ActiveCells()) {
            if (cell->CurrentImage() == nullptr) {
                continue;
            }
            if (!cell->HasFramePixels(cell->currentFrame)) {
                return false;
            }
            if (keyed == nullptr || cell->GetPosition() > keyed->GetPosition()) {
                keyed = cell;
                index = k;
            }
            ++k;
        }
        return keyed != nullptr;
    }));
    const int shown = keyed->GetPosition() - 1;
    ASSERT_LT(shown + 8, kFileFrames);
    Image().ActivateCell(keyed->ControlId());
    ASSERT_NE(keyed->active, 0);
    WatchFrameReads(keyed->CurrentImage()->filePath.toStdString());

    int black = 0;
    const auto press = [&](int times, int key) {
        for (int k = 0; k < times; ++k) {
            QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(keyed, &event);
            black += keyed->HasFramePixels(keyed->currentFrame) ? 0 : 1;
        }
    };
    const size_t mark = FrameReadsSoFar();
    press(6, Qt::Key_Right);
    EXPECT_EQ(keyed->GetPosition() - 1, shown);
    EXPECT_EQ(keyed->StepAwaitedFrame(), shown + 6);
    ASSERT_TRUE(PumpUntil([&] {
        black += keyed->HasFramePixels(keyed->currentFrame) ? 0 : 1;
        return keyed->GetPosition() - 1 == shown + 6 && keyed->StepAwaited() == -1 &&
               first->GetPosition() - 1 == shown + 6 - index;
    })) << "at "
        << keyed->GetPosition() - 1 << " from " << shown << ", waiting for " << keyed->StepAwaitedFrame()
        << ", the page from " << first->GetPosition() - 1 << ", the cell " << index << " of the page";
    const int passedOver = FramesReadBefore(mark, shown + 6, shown + 1, shown + 5);
    EXPECT_GE(passedOver, 0);
    EXPECT_LE(passedOver, 2);
    std::printf("[ measured ] tiles read before the one stepped to: %d passed over\n", passedOver);

    press(3, Qt::Key_Right);
    press(3, Qt::Key_Left);
    EXPECT_EQ(keyed->StepAwaited(), -1);
    Pump();
    EXPECT_EQ(keyed->GetPosition() - 1, shown + 6);
    XEVSetReadObserver(nullptr);
    EXPECT_EQ(black, 0);
    EXPECT_EQ(box.texts.size(), 0u);
}

namespace {

// Images of the study whose first frame is decoded.
size_t DecodedImages(const StudyInfo& study)
{
    size_t decoded = 0;
    for (const SeriesInfo* series : study.series) {
        for (ImageInfo* image : series->images) {
            std::lock_guard<PlatRecursiveLock> guard(image->GetLock());
            const XEVVEKHelper* helper = image->GetHelper();
            const FrameImageInfo* frame = helper != nullptr ? helper->GetFrame(0) : nullptr;
            decoded += frame != nullptr && frame->Size() != 0 ? 1 : 0;
        }
    }
    return decoded;
}

}   // namespace

// A text file, a zip whose DICOMDIR lists no patient and a zip whose only image is a member
// stored as a link, dropped on the list, and chosen in File Open, while the cells' loaders still
// read a study of 8 series: the refusals stop none of them. Every image of the study is decoded
// in the end, and the keys step a cell to its series' last image.
TEST_F(SlowDiscOpenTest, ARefusedPathLeavesTheOpenDiscLoadingToItsLastImage)
{
    // 8 series of 40 images of 128 x 128, 10 MB: seconds of drive. The sanitizers slow each
    // decode many times: there a quarter of them.
    constexpr int kImages = kDiscTestSanitized ? 10 : 40;
    constexpr size_t kAll = 8 * kImages;
    constexpr int kLoadWaitMs = kDiscTestSanitized ? kNoCeilingWaitMs : kPumpTimeoutMs;
    if (!OnSlowDisc()) {
        // A disc for each route: the second must not find the first's files in the cache.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/one", "mr", {8, kImages, 128}));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/two", "mr", {8, kImages, 128}));
        temp_.Write("medium/notes.txt", "plain text\n");
        const std::string command = "/usr/bin/python3 " FRAME_TEST_DATA_DIR "/write_patientless.py " + temp_ / "made";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const std::string image = Slurp(temp_ / "made/nopatient/IM1");
        ASSERT_TRUE(MakeZip(temp_ / "medium/nopatient.zip",
                            {{"DICOMDIR", Slurp(temp_ / "made/nopatient/DICOMDIR")}, {"IM1", image}}));
        ASSERT_TRUE(MakeZip(temp_ / "medium/linkonly.zip",
                            {{"DICOMDIR", Slurp(temp_ / "made/onepatient/DICOMDIR")}, {"IM1", "/etc/hostname", true}}));
        RunTestOnSlowDisc({temp_ / "medium", 3e6, 10, 0});
        return;
    }
    const long guiReads = SlowDiscGuiReads();
    frame->OnAgreementClosed(1);
    const std::string medium = SlowDiscRoot();
    const auto route = [&](const std::string& disc, const std::function<void(const std::string&)>& refuse) {
        Open(medium + disc + "/DICOMDIR");
        StudyInfo* study = List().GetCurrentStudy();
        ASSERT_NE(study, nullptr);
        ASSERT_EQ(study->series.size(), 8u);
        ASSERT_TRUE(PumpUntil([this] { return frame->FirstCellsLoaded(); }, kLoadWaitMs));
        ASSERT_LT(DecodedImages(*study), kAll) << "the disc loaded before the refusal";
        for (const auto& [name, message] : {std::pair{"/notes.txt", 10027u}, std::pair{"/nopatient.zip", 10027u},
                                            std::pair{"/linkonly.zip", kXEVLinkMemberMessage}}) {
            SCOPED_TRACE(name);
            const size_t failures = box.texts.size();
            refuse(medium + name);
            ASSERT_TRUE(PumpUntil([&] { return box.texts.size() > failures && !frame->Opening(); }));
            EXPECT_EQ(box.texts.back(), GetMessageString(message));
            ASSERT_EQ(List().GetCurrentStudy(), study);
        }
        EXPECT_TRUE(PumpUntil([&] { return DecodedImages(*study) == kAll; }, kLoadWaitMs))
            << DecodedImages(*study) << " of " << kAll << " images decoded";
        XEVImageViewCtrl* cell = Image().ActiveCells().begin()->second;
        Image().ActivateCell(cell->ControlId());
        cell->setFocus(Qt::MouseFocusReason);
        for (int32_t k = 1; k < kImages; ++k) {
            QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
            QCoreApplication::sendEvent(cell, &down);
            ASSERT_TRUE(PumpUntil([&] { return cell->currentImage == k; })) << "at " << cell->currentImage;
        }
        EXPECT_TRUE(PumpUntil([&] { return cell->HasFramePixels(cell->currentFrame); }));
    };
    {
        SCOPED_TRACE("a drop");
        route("/one", [this](const std::string& path) {
            XEVDropFiles drop;
            drop.paths = {QString::fromStdString(path)};
            XEVSendMessage(List().Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop));
        });
    }
    {
        SCOPED_TRACE("File Open");
        route("/two", [this](const std::string& path) {
            chooser_.path = QString::fromStdString(path);
            frame->OnFileOpen();
        });
    }
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
}

namespace {

// Reads of the files under shown that began on the drive after mark and before until, by a
// thread that took or kept the head after mark: a frame's read the medium let go before the
// mark ends as it began. Each described.
std::vector<std::string> ShownDiscReadsBetween(std::vector<SlowDiscEvent> log, long mark, long until,
                                               const std::string& shown)
{
    std::stable_sort(log.begin(), log.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
    std::map<int, long> held;
    std::vector<std::string> found;
    for (const SlowDiscEvent& event : log) {
        if (event.kind == SlowDiscEvent::HeadHeld) {
            held[event.thread] = event.start;
        }
        if (event.kind != SlowDiscEvent::Read || event.ahead || event.start <= mark || event.start >= until ||
            event.path.rfind(shown, 0) != 0) {
            continue;
        }
        const auto at = held.find(event.thread);
        if (at == held.end() || at->second > mark) {
            found.push_back(event.path + " at " + std::to_string(event.offset) + ", priority " +
                            std::to_string(event.priority));
        }
    }
    return found;
}

// When the first read of a file under folder, other than its DICOMDIR, began after mark; -1: none.
long FirstImageReadAfter(const std::vector<SlowDiscEvent>& log, long mark, const std::string& folder)
{
    long first = -1;
    for (const SlowDiscEvent& event : log) {
        if (event.kind == SlowDiscEvent::Read && event.start > mark && event.path.rfind(folder, 0) == 0 &&
            event.path != folder + "DICOMDIR" && (first < 0 || event.start < first)) {
            first = event.start;
        }
    }
    return first;
}

}   // namespace

// File Open while the cells' loaders read the shown disc at 1.2 MB/s: a text file and a zip of no
// patient are refused, and the shown disc's background reads go on after each; a second disc is
// checked and shown with no read of the shown disc begun between its choice and its first image,
// though its answer waits behind a GUI thread busy for 0.4 s once its check has read.
TEST_F(SlowDiscOpenTest, FileOpenDuringALoadReadsTheChosenPathAndItsFirstImagesBeforeTheShownDisc)
{
    if (!OnSlowDisc()) {
        // The first disc is 8 MB, 7 s of drive: its loaders read through every step.
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/one", "mr", {4, 16, 256}));
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/two", "mr", {3, 4, 256}));
        temp_.Write("medium/notes.txt", "plain text\n");
        const std::string command = "/usr/bin/python3 " FRAME_TEST_DATA_DIR "/write_patientless.py " + temp_ / "made";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        ASSERT_TRUE(MakeZip(temp_ / "medium/nopatient.zip", {{"DICOMDIR", Slurp(temp_ / "made/nopatient/DICOMDIR")},
                                                             {"IM1", Slurp(temp_ / "made/nopatient/IM1")}}));
        RunTestOnSlowDisc({temp_ / "medium", 1.2e6, 100, 0});
        return;
    }
    XEVSetMediumProbe(
        {SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook(), SlowDiscMediumTurnHook()});
    frame->OnAgreementClosed(1);
    const std::string medium = SlowDiscRoot();
    const std::string one = medium + "/one/";
    Open(one + "DICOMDIR");
    StudyInfo* study = List().GetCurrentStudy();
    ASSERT_NE(study, nullptr);
    ASSERT_TRUE(PumpUntil([this] { return RunningLoaders(Image()) > 0; }));

    for (const char* name : {"/notes.txt", "/nopatient.zip"}) {
        SCOPED_TRACE(name);
        const size_t failures = box.texts.size();
        chooser_.path = QString::fromStdString(medium + name);
        frame->OnFileOpen();
        ASSERT_TRUE(PumpUntil([&] { return box.texts.size() > failures && !frame->Opening(); }));
        ASSERT_EQ(List().GetCurrentStudy(), study);
        const long refused = MarkTheLog();
        EXPECT_TRUE(PumpUntil([&] { return FirstImageReadAfter(SlowDiscLog(), refused, one) >= 0; }))
            << "the shown disc's reads did not go on";
    }

    ASSERT_GT(RunningLoaders(Image()), 0u) << "the shown disc loaded before the second was chosen";
    const long chosen = MarkTheLog();
    chooser_.path = QString::fromStdString(medium + "/two/DICOMDIR");
    frame->OnFileOpen();
    // The GUI thread is busy when the check ends: its answer, which stops the shown disc's
    // loads, comes late.
    const auto dicomDirRead = [&] {
        for (const SlowDiscEvent& event : SlowDiscLog()) {
            if (event.kind == SlowDiscEvent::Read && event.start > chosen && event.path == medium + "/two/DICOMDIR") {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(Eventually(dicomDirRead));
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(PumpUntil([this] { return StudyCellsShown(Image()) == 3; }));
    const std::vector<SlowDiscEvent> log = SlowDiscLog();
    XEVSetMediumProbe({});
    const long firstImage = FirstImageReadAfter(log, chosen, medium + "/two/");
    ASSERT_GT(firstImage, chosen);
    const std::vector<std::string> overtaking = ShownDiscReadsBetween(log, chosen, firstImage, one);
    EXPECT_TRUE(overtaking.empty()) << overtaking.size() << " reads of the shown disc came before the new one's "
                                    << "first image, the first " << overtaking.front();
}

namespace {

// Whom the calling thread's reads serve now, as the medium was told.
thread_local int readsServe = -1;
void NoteReadsServe(int priority)
{
    readsServe = priority;
}

// The first images of the second and third series, read for the screen, wait here after their
// read until the test lets them go on.
std::atomic<PlatEvent*> laterSeriesHold{nullptr};
void HoldLaterSeriesReads(const std::string& path, int64_t, int32_t)
{
    PlatEvent* hold = laterSeriesHold.load();
    if (hold != nullptr && readsServe == 0 &&
        (path.find("/two/S2/") != std::string::npos || path.find("/two/S3/") != std::string::npos)) {
        hold->Wait(kNoCeilingWaitMs);
    }
}

}   // namespace

// A disc of three crossing series opened while another loads at 1.2 MB/s, its first series'
// image decoded and its cell made active before the other two are read: those two draw the
// active cell's planes as soon as they show, and again once the active cell steps.
TEST_F(SlowDiscOpenTest, CrossingSeriesOpenedDuringALoadDrawTheirReferenceLinesAsTheyShow)
{
    if (!OnSlowDisc()) {
        ASSERT_TRUE(MakeSlowDisc(temp_ / "medium/one", "mr", {4, 16, 256}));
        const std::string command = "PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 -W ignore " FRAME_TEST_DATA_DIR
                                    "/write_crossing_planes.py " +
                                    temp_ / "medium/two" + " 0 3";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        RunTestOnSlowDisc({temp_ / "medium", 1.2e6, 100, 0});
        return;
    }
    PlatEvent hold(true, false);
    // A failed step never leaves a reader held for the teardown to wait on.
    struct Release {
        PlatEvent& hold;
        ~Release()
        {
            hold.Set();
            XEVSetReadObserver(nullptr);
            XEVSetMediumProbe({});
        }
    } release{hold};
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), NoteReadsServe});
    frame->OnAgreementClosed(1);
    const std::string medium = SlowDiscRoot();
    Open(medium + "/one/DICOMDIR");
    ASSERT_TRUE(PumpUntil([this] { return RunningLoaders(Image()) > 0; }));

    laterSeriesHold = &hold;
    XEVSetReadObserver(HoldLaterSeriesReads);
    Open(medium + "/two/DICOMDIR");
    const auto cellOf = [this](const char* folder) -> XEVImageViewCtrl* {
        for (const auto& [id, cell] : Image().studyCells) {
            const auto images = cell->GetImages();
            if (!images.empty() && images.begin()->second->filePath.contains(QLatin1String(folder))) {
                return cell;
            }
        }
        return nullptr;
    };
    ASSERT_TRUE(PumpUntil([&] {
        XEVImageViewCtrl* first = cellOf("/S1/");
        return first != nullptr && first->active != 0 && first->HasFramePixels(first->currentFrame);
    }));
    hold.Set();
    XEVImageViewCtrl* axial = cellOf("/S1/");
    XEVImageViewCtrl* sagittal = cellOf("/S2/");
    XEVImageViewCtrl* coronal = cellOf("/S3/");
    ASSERT_TRUE(axial != nullptr && sagittal != nullptr && coronal != nullptr);
    const auto linesShown = [&] {
        for (XEVImageViewCtrl* cell : {sagittal, coronal}) {
            if (!cell->HasFramePixels(cell->currentFrame) || cell->referenceLineShown == 0) {
                return false;
            }
        }
        return true;
    };
    EXPECT_TRUE(PumpUntil(linesShown)) << "sagittal " << sagittal->referenceLineShown << ", coronal "
                                       << coronal->referenceLineShown;
    EXPECT_EQ(axial->referenceLineShown, 0);
    // The active cell steps: the others follow it.
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QCoreApplication::sendEvent(axial, &down);
    ASSERT_TRUE(PumpUntil([&] { return axial->currentImage == 1 && axial->HasFramePixels(axial->currentFrame); }));
    Pump();
    EXPECT_TRUE(linesShown());
}
