// Files that fail while a study loads, through the real frame on discs written now: a failure
// costs only its own cell, the messages come one box at a time, and a file that failed is not
// read again on its own.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "discopentestsupport.h"
#include "shell/xev_uistring.h"
#include "shell/xevsplitterwnd.h"
#include "study/xevrecordkeeper.h"
#include "study/xevthread.h"
#include "testsupport/slowdisc.h"
#include "testsupport/workeridle.h"

namespace {

namespace fs = std::filesystem;

const std::string kFrameData = FRAME_TEST_DATA_DIR;

// The memory test of the loads: it fails two calls in a row from the one chosen, that of a
// cell's loader and that of the re-check its failure brings; the timer's re-check then passes.
std::atomic<int> memoryCalls{0};
std::atomic<int> memoryShortAt{-1};

bool ShortOfMemoryOnce()
{
    const int call = memoryCalls.fetch_add(1);
    const int at = memoryShortAt.load();
    return at < 0 || call < at || call >= at + 2;
}

// Reads the frame's boxes as a person does: each stays up for a few looks, then is answered
// with Enter. Keeps what each box said and the most boxes seen up at once.
class BoxReader {
public:
    explicit BoxReader(CMainFrame& frame, int looks = 3) : frame_(frame), looks_(looks)
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] { Look(); });
        timer_.start(5);
    }
    void Look()
    {
        int up = 0;
        for (const QMessageBox* shown : frame_.findChildren<QMessageBox*>()) {
            up += shown->isVisible() ? 1 : 0;
        }
        deepest = std::max(deepest, up);
        QMessageBox* box = frame_.FailureBox().Current();
        if (box == nullptr) {
            return;
        }
        if (frame_.FailureBox().Opened() != opened_) {
            opened_ = frame_.FailureBox().Opened();
            const QString details = box->detailedText();
            texts.push_back(details.isEmpty() ? box->text() : box->text() + QLatin1Char('\n') + details);
            named.push_back(details.isEmpty() ? box->text() : details);
            seen_ = 0;
        }
        if (answering && ++seen_ > looks_) {
            QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(box, &enter);
        }
    }
    // No box up and none waiting.
    bool Idle() const { return frame_.FailureBox().Current() == nullptr && frame_.FailureBox().Waiting() == 0; }
    bool Named(const QString& path) const { return Times(path) > 0; }
    // How often the boxes named the path: a box of several failures lists them all in its
    // details, the first of them in its text too.
    int Times(const QString& path) const
    {
        int times = 0;
        for (const QString& list : named) {
            times += int(list.count(path + "]"));
        }
        return times;
    }

    std::vector<QString> texts;
    std::vector<QString> named;
    int deepest = 0;
    bool answering = true;

private:
    CMainFrame& frame_;
    QTimer timer_;
    int looks_;
    int seen_ = 0;
    int32_t opened_ = 0;
};

// Counts the opens of the files it watches.
class OpenCounter {
public:
    OpenCounter() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenCounter() { ::close(fd_); }
    bool Watch(const std::string& path) { return inotify_add_watch(fd_, path.c_str(), IN_OPEN) >= 0; }
    int Opens()
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t got = 0;
        while ((got = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (const char* p = buffer; p < buffer + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                ++opens_;
                p += sizeof(inotify_event) + event->len;
            }
        }
        return opens_;
    }

private:
    int fd_;
    int opens_ = 0;
};

// No hang ceiling under the sanitizers, which slow a load many times: only the test's timeout.
constexpr int kPaintWaitMs = kDiscTestSanitized ? kNoCeilingWaitMs : 30000;

class LoadFailureTest : public DiscOpenTest {
protected:
    void SetUp() override
    {
        DiscOpenTest::SetUp();
        frame->OnAgreementClosed(1);
    }
    void TearDown() override
    {
        DiscOpenTest::TearDown();
        XEVSetMessageBox(nullptr);
        memoryShortAt = -1;
        GetLoadState().memoryShort = 0;
        GetLoadState().memoryShortStudy = 0;
    }

    // A study of count series of images each, the series named in missing (from 1) listed
    // with no files; the DICOMDIR's path.
    std::string WriteDisc(int count, int images, const std::vector<int>& missing)
    {
        disc_ = temp_.Path() + "/disc" + std::to_string(count);
        std::string command = "/usr/bin/python3 " + kFrameData + "/write_series_disc.py " + disc_ + " " +
                              std::to_string(count) + " " + std::to_string(images);
        for (int k : missing) {
            command += " " + std::to_string(k);
        }
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return disc_ + "/DICOMDIR";
    }

    // Opens the disc and waits until its study is shown in study mode.
    void OpenStudy(const std::string& dicomDir)
    {
        Open(dicomDir);
        ASSERT_TRUE(PumpUntil(
            [&] {
                return Image().activeMode == 0 && !Image().ActiveCells().empty() &&
                       !Image().ActiveCells().begin()->second->GetImages().empty();
            },
            kPaintWaitMs));
    }

    // The series (from 1) whose files the cell holds, 0 for none.
    int SeriesOf(const XEVImageViewCtrl* cell) const
    {
        const auto images = cell->GetImages();
        if (images.empty()) {
            return 0;
        }
        const QString path = images.begin()->second->filePath;
        const QString folder = QString::fromStdString(disc_ + "/S");
        if (!path.startsWith(folder)) {
            return 0;
        }
        return path.mid(folder.size()).section(QLatin1Char('/'), 0, 0).toInt();
    }

    // Scrolls through the grid a page at a time: every present series' cell paints its image
    // once it is in sight, and every missing one's cell ends its loads. The series that painted.
    std::set<int> PaintedSeries()
    {
        std::set<int> painted;
        CXEVImageFormView& image = Image();
        const int rows = std::max(image.studyLayout.rows, 1);
        const int needed = image.studyLayout.GetRowsNeeded();
        for (int row = 0;; row += rows) {
            const int first = std::min(row, std::max(needed - rows, 0));
            image.ScrollTo(first * std::max(image.ScrollBar().singleStep(), 1));
            PumpUntil([&] { return !image.CellsComing(); });
            // The page's loads end, the missing files' too, before the next page retires them.
            WaitForTheLoads();
            for (const auto& [id, cell] : image.ActiveCells()) {
                const int series = SeriesOf(cell);
                if (series == 0 || !cell->isVisible() || !cell->geometry().intersects(image.rect())) {
                    continue;
                }
                if (missing_.count(series) != 0) {
                    // Stays on the page until the cell has tried each of its files.
                    EXPECT_TRUE(PumpUntil(
                        [&] { return cell->loadingUnderWay.load() == 0 && cell->loadDonePending.load() == 0; },
                        kPaintWaitMs))
                        << "series " << series << " in cell " << id << " never ended its loads";
                    continue;
                }
                if (PumpUntil([&] { return BrightPixels(cell) > 0; }, kPaintWaitMs)) {
                    painted.insert(series);
                } else {
                    ADD_FAILURE() << "series " << series << " in cell " << id << " never painted";
                }
            }
            if (row + rows >= needed) {
                break;
            }
        }
        return painted;
    }

    // Waits until no study cell loads any more.
    void WaitForTheLoads()
    {
        ASSERT_TRUE(PumpUntil(
            [&] {
                if (Image().StudyStartPending()) {
                    return false;
                }
                for (const auto& [id, cell] : Image().studyCells) {
                    if (cell->loadingUnderWay.load() != 0 || cell->loadDonePending.load() != 0) {
                        return false;
                    }
                }
                return true;
            },
            kPaintWaitMs));
        Pump();
    }

    // Waits until the job worker has no job left, and the failures it told have come in.
    void WaitForTheWorker()
    {
        ASSERT_TRUE(PumpUntilWorkerIdle(GetLoadState().GetLoaderWindow(), kNoCeilingWaitMs));
        Pump();
    }

    // The missing files of the series, by path.
    std::vector<QString> MissingFiles(const std::vector<int>& series, int images) const
    {
        std::vector<QString> paths;
        for (int k : series) {
            for (int n = 1; n <= images; ++n) {
                paths.push_back(QString::fromStdString(disc_ + "/S" + std::to_string(k) + "/I" + std::to_string(n)));
            }
        }
        return paths;
    }

    std::set<int> Present(int count) const
    {
        std::set<int> present;
        for (int k = 1; k <= count; ++k) {
            if (missing_.count(k) == 0) {
                present.insert(k);
            }
        }
        return present;
    }

    // Series first to last are to be written without their files; their numbers.
    std::vector<int> LoseSeries(int first, int last)
    {
        std::vector<int> lost;
        for (int k = first; k <= last; ++k) {
            lost.push_back(k);
        }
        missing_ = std::set<int>(lost.begin(), lost.end());
        return lost;
    }

    std::string disc_;
    std::set<int> missing_;
};

// Failures open the frame's own boxes.
class FrameBoxTest : public LoadFailureTest {
protected:
    FrameBoxTest() { frameBox_ = true; }

    // Holds the scroll bar's trough beyond its handle, as a person holds the mouse button, until
    // the bar's own repeat has paged three times or reached its end; then lets go.
    void HoldTrough(QScrollBar& bar, bool down)
    {
        const QPoint at(bar.width() / 2, down ? bar.height() - bar.width() - 2 : bar.width() + 2);
        int steps = 0;
        const QMetaObject::Connection counting =
            QObject::connect(&bar, &QScrollBar::valueChanged, [&steps] { ++steps; });
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), QPointF(bar.mapToGlobal(at)), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&bar, &press);
        EXPECT_TRUE(PumpUntil([&] { return steps >= 3 || bar.value() == (down ? bar.maximum() : bar.minimum()); },
                              kPaintWaitMs));
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), QPointF(bar.mapToGlobal(at)), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(&bar, &release);
        QObject::disconnect(counting);
    }

    // No window of the program is left on screen: the loop of a program ends then.
    static bool NoWindowShown()
    {
        const QWidgetList windows = QApplication::topLevelWidgets();
        return std::none_of(windows.begin(), windows.end(), [](const QWidget* w) { return w->isVisible(); });
    }
};

}   // namespace

// 40 series of 2 images with the third series' files missing, and 201 with the tenth: after
// the message every other series' cell paints its image when it is scrolled to.
TEST_F(LoadFailureTest, AMissingSeriesCostsOnlyItsOwnCell)
{
    for (const auto& [count, lost] : {std::pair{40, 3}, std::pair{201, 10}}) {
        SCOPED_TRACE(count);
        missing_ = {lost};
        OpenStudy(WriteDisc(count, 2, {lost}));
        ASSERT_TRUE(PumpUntil([&] { return !box.texts.empty(); }, kPaintWaitMs));
        EXPECT_EQ(PaintedSeries(), Present(count));
    }
}

// One cell's loader ends short of memory while the study loads: the turn goes on once the
// re-check finds memory again, and every series still paints.
TEST_F(LoadFailureTest, ALoaderEndedShortOfMemoryHandsTheTurnOn)
{
    missing_ = {3};
    const std::string dicomDir = WriteDisc(40, 2, {3});
    memoryCalls = 0;
    memoryShortAt = 60;
    XEVSetMemoryTest(&ShortOfMemoryOnce);
    OpenStudy(dicomDir);
    EXPECT_EQ(PaintedSeries(), Present(40));
    // The cells may all paint before the timer's re-check finds memory again.
    EXPECT_TRUE(PumpUntil([] { return GetLoadState().memoryShort.load() == 0; }, kPaintWaitMs));
    // The loader's call, the re-check that found memory short, and the timer's that did not.
    EXPECT_GE(memoryCalls.load(), 63);
}

// 190 of 201 series missing: the boxes come one at a time, and each missing file is named once,
// whether a cell or the job worker alone read it, or both tried it; the eleven other series
// paint.
TEST_F(FrameBoxTest, ManyFailuresComeOneBoxAtATime)
{
    std::vector<int> lost;
    for (int k = 1; k <= 201; ++k) {
        if (k % 20 != 1) {
            lost.push_back(k);
        }
    }
    ASSERT_EQ(lost.size(), 190u);
    missing_ = std::set<int>(lost.begin(), lost.end());
    BoxReader reader(*frame);
    OpenStudy(WriteDisc(201, 2, lost));
    WaitForTheLoads();
    EXPECT_EQ(PaintedSeries(), Present(201));
    WaitForTheLoads();
    WaitForTheWorker();
    ASSERT_TRUE(PumpUntil([&] { return reader.Idle(); }, kPaintWaitMs));
    EXPECT_EQ(reader.deepest, 1);
    EXPECT_LT(reader.texts.size(), 380u);
    for (const QString& path : MissingFiles(lost, 2)) {
        EXPECT_EQ(reader.Times(path), 1) << path.toStdString();
    }
}

// A file of a series shown tile by tile, past the first page: the job worker reads it in the
// background with no cell to tell, and it is named all the same.
TEST_F(FrameBoxTest, AFileTheWorkerAloneReadsIsNamed)
{
    BoxReader reader(*frame);
    OpenStudy(WriteDisc(40, 12, {}));
    const QString lost = QString::fromStdString(disc_ + "/S40/I11");
    ASSERT_TRUE(fs::remove(lost.toStdString()));
    Image().ShowSeries(List().patients.at(0)->studies.at(0)->series.at(39));
    ASSERT_TRUE(PumpUntil([&] { return Image().activeMode == 1; }));
    WaitForTheWorker();
    ASSERT_TRUE(PumpUntil([&] { return reader.Idle() && !reader.texts.empty(); }, kPaintWaitMs));
    for (const auto& [id, cell] : Image().ActiveCells()) {
        const ImageInfo* shown = cell->CurrentImage();
        ASSERT_FALSE(shown != nullptr && shown->filePath == lost && cell->isVisible()) << "its cell is in sight";
    }
    EXPECT_TRUE(reader.Named(lost));
    EXPECT_EQ(reader.texts.size(), 1u);
}

// The disc's folder goes while the study loads: one message says the disc's DICOMDIR cannot
// be read and the loads end; put back meanwhile, nothing of it is read again; a close given
// while the message is up closes it with the window.
TEST_F(FrameBoxTest, ADiscThatGoesDuringTheLoadsEndsThemWithOneMessage)
{
    BoxReader reader(*frame);
    reader.answering = false;
    const std::string dicomDir = WriteDisc(201, 2, {});
    OpenStudy(dicomDir);
    XEVImageViewCtrl* first = Image().studyCells.begin()->second;
    ASSERT_TRUE(PumpUntil([&] { return BrightPixels(first) > 0; }, kPaintWaitMs));
    const std::string moved = temp_.Path() + "/gone";
    fs::rename(disc_, moved);
    ASSERT_TRUE(PumpUntil([&] { return !reader.texts.empty(); }, kPaintWaitMs));
    WaitForTheLoads();
    WaitForTheWorker();

    // Back in place: whatever was left of the loads, stopped or queued, reads nothing of it.
    fs::rename(moved, disc_);
    OpenCounter counter;
    for (int k = 1; k <= 201; ++k) {
        ASSERT_TRUE(counter.Watch(disc_ + "/S" + std::to_string(k)));
    }
    Pump();
    WaitForTheLoads();
    WaitForTheWorker();
    // Nor does the pre-load, which would read it once its pause after the last paint ends.
    EXPECT_EQ(GetLoadState().IsPreloadRunning(), 0);
    EXPECT_EQ(counter.Opens(), 0);
    ASSERT_EQ(reader.texts.size(), 1u);
    const QString told = GetMessageString(10003) + QStringLiteral("\n      [") + QString::fromStdString(dicomDir) +
                         QStringLiteral("]\n");
    EXPECT_EQ(reader.texts[0].toStdString(), told.toStdString());

    ASSERT_NE(frame->FailureBox().Current(), nullptr);
    frame->close();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_EQ(frame->FailureBox().Current(), nullptr);
    EXPECT_TRUE(PumpUntil([] { return NoWindowShown(); }));
}

// 201 series with the files of series 37 to 100 gone, the grid paged by the scroll bar's own
// repeat while the boxes come and are answered with Enter: the cells retired meanwhile are
// never reached through a box, every missing file is named once, and the window closes after.
TEST_F(FrameBoxTest, PagingWhileBoxesComeRetiresCellsSafely)
{
    const std::vector<int> lost = LoseSeries(37, 100);
    BoxReader reader(*frame, 6);
    OpenStudy(WriteDisc(201, 2, lost));
    QScrollBar& bar = const_cast<QScrollBar&>(Image().ScrollBar());
    ASSERT_GT(bar.maximum(), bar.minimum());
    int underBox = 0;
    for (int round = 0; round < 8; ++round) {
        PumpUntil([&] { return frame->FailureBox().Current() != nullptr; }, 2000);
        underBox += frame->FailureBox().Current() != nullptr ? 1 : 0;
        HoldTrough(bar, round % 4 < 2);
    }
    EXPECT_GT(underBox, 0);
    EXPECT_EQ(PaintedSeries(), Present(201));
    WaitForTheLoads();
    WaitForTheWorker();
    ASSERT_TRUE(PumpUntil([&] { return reader.Idle(); }, kPaintWaitMs));
    EXPECT_EQ(reader.deepest, 1);
    for (const QString& path : MissingFiles(lost, 2)) {
        EXPECT_EQ(reader.Times(path), 1) << path.toStdString();
    }
    frame->close();
    EXPECT_TRUE(PumpUntil([] { return NoWindowShown(); }));
}

// A close while a box is up, with more failures waiting behind it: the box and the window go,
// and nothing that waited opens after.
TEST_F(FrameBoxTest, ACloseWhileABoxIsUpEndsTheFrame)
{
    const std::vector<int> lost = LoseSeries(2, 40);
    BoxReader reader(*frame);
    reader.answering = false;
    OpenStudy(WriteDisc(40, 2, lost));
    ASSERT_TRUE(PumpUntil([&] { return frame->FailureBox().Waiting() > 0; }, kPaintWaitMs));
    const int32_t opened = frame->FailureBox().Opened();
    frame->close();
    EXPECT_TRUE(frame->IsShutDown());
    EXPECT_EQ(frame->FailureBox().Current(), nullptr);
    EXPECT_TRUE(PumpUntil([] { return NoWindowShown(); }));
    WaitForTheWorker();
    EXPECT_EQ(frame->FailureBox().Opened(), opened);
}

namespace {

// A disc that asks a question and fails: the 10-frame disc as dcmmkdir lists it, without its
// single-frame files S1 and S2, so that the scan offers the series-composition switch and the
// study's cells name the missing files.
void WriteAskingDisc(const std::string& out)
{
    const std::string command = "PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=" KV_SAMPLE_DIR
                                "/../app/testsupport/python /usr/bin/python3 -W ignore " +
                                kFrameData + "/write_frames_disc.py " + out + " dcmmkdir";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_TRUE(fs::remove(out + "/disc/S1"));
    EXPECT_TRUE(fs::remove(out + "/disc/S2"));
}

// Windows of the program on screen other than the frame.
int OtherWindowsShown(const QWidget* frame)
{
    int shown = 0;
    for (const QWidget* window : QApplication::topLevelWidgets()) {
        shown += window != frame && window->isVisible() ? 1 : 0;
    }
    return shown;
}

}   // namespace

// A disc's failure box up with its switch question and another failure waiting, then a clean
// disc of three patients opened by File Open, and again by a drop: once its first images show
// no window but the frame is open and none opens after, its list is whole, the old question
// can no longer be answered, and a failure an old disc's thread tells late names nothing.
TEST_F(FrameBoxTest, AnotherDiscClosesTheLastDiscsBoxesAndQuestion)
{
    if (!OnSlowDisc()) {
        const std::string command = "/usr/bin/python3 " + kFrameData + "/write_series_disc.py " +
                                    (temp_ / "medium/clean") + " 3 2 --patients 3";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        WriteAskingDisc(temp_ / "medium/asking1");
        WriteAskingDisc(temp_ / "medium/asking2");
        RunTestOnSlowDisc({temp_ / "medium", 6e6, 100, 0});
        return;
    }
    const std::string medium = SlowDiscRoot();
    const long guiReads = SlowDiscGuiReads();
    BoxReader reader(*frame);
    reader.answering = false;
    GetCommonSettings().ModeMultiFrameRead = 1;
    const QString clean = QString::fromStdString(medium + "/clean/DICOMDIR");
    const std::vector<std::pair<const char*, std::function<void()>>> routes = {
        {"File Open", [&] { Open(clean.toStdString()); }},
        {"a drop",
         [&] {
             XEVDropFiles drop;
             drop.paths = {clean};
             XEVSendMessage(List().Handle(), WM_XEV_DROPFILES, 0, reinterpret_cast<XEVLParam>(&drop));
             // The drop is checked first, as File Open's path is.
             ASSERT_TRUE(PumpUntil([&] { return !frame->Opening() && List().loaded != 0; }, kPaintWaitMs));
         }},
    };
    int round = 0;
    for (const auto& [route, replace] : routes) {
        SCOPED_TRACE(route);
        const std::string asking = medium + "/asking" + std::to_string(++round);
        Open(asking + "/disc/DICOMDIR");
        ASSERT_TRUE(
            PumpUntil([&] { return List().scanDone != 0 && frame->FailureBox().Current() != nullptr; }, kPaintWaitMs));
        // The first patient's bar may have asked already, once the scan was done.
        if (!frame->IsSwitchLocked()) {
            ASSERT_TRUE(frame->CanSwitchSeriesDisplay());
            XEVSendMessage(List().Handle(), WM_XEV_STUDY_DBLCLK, kXEVFirstTreeId, 0);
        }
        // The failures are answered until the question is up.
        QPointer<QMessageBox> question;
        ASSERT_TRUE(PumpUntil(
            [&] {
                QMessageBox* up = frame->FailureBox().Current();
                if (up != nullptr && up->icon() == QMessageBox::Question) {
                    question = up;
                    return true;
                }
                if (up != nullptr) {
                    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                    QApplication::sendEvent(up, &enter);
                }
                return false;
            },
            kPaintWaitMs));
        // A missing file of this disc that a thread of it reads again: its failure waits behind
        // the question, and the same read after the next disc has come tells nothing.
        ImageInfo* missing = nullptr;
        for (SeriesInfo* series : List().patients.at(0)->studies.at(0)->series) {
            for (ImageInfo* image : series->images) {
                missing = image->filePath.endsWith(QStringLiteral("/S2")) ? image : missing;
            }
        }
        ASSERT_NE(missing, nullptr);
        const std::shared_ptr<const void> hold = XEVHoldRecords();
        const auto readAgain = [missing] {
            std::thread([missing] {
                // As a new selection would: what the file failed on before is forgotten, so it
                // is read and fails again whether or not a loader named it already.
                missing->FreeHelper();
                int32_t frameNumber = 0;
                (void)missing->LoadImage(frameNumber, XEVWindowHandle(), 1);
            }).join();
        };
        readAgain();
        ASSERT_TRUE(PumpUntil([&] { return frame->FailureBox().Waiting() > 0; }, kPaintWaitMs));
        const QString oldFolder = QString::fromStdString(asking);

        replace();
        const size_t told = reader.texts.size();
        const int32_t opened = frame->FailureBox().Opened();
        EXPECT_EQ(frame->FailureBox().Current(), nullptr);
        EXPECT_EQ(frame->FailureBox().Waiting(), 0);
        ASSERT_TRUE(PumpUntil([&] { return frame->FirstCellsLoaded(); }, kPaintWaitMs));
        EXPECT_EQ(OtherWindowsShown(frame.get()), 0);
        EXPECT_EQ(List().patients.size(), 3u);
        // The old question, if it could still be reached, answered OK.
        if (!question.isNull()) {
            EXPECT_FALSE(question->isVisible());
            question->button(QMessageBox::Ok)->click();
        }
        readAgain();
        WaitForTheLoads();
        WaitForTheWorker();
        Pump();
        EXPECT_EQ(OtherWindowsShown(frame.get()), 0);
        EXPECT_EQ(frame->FailureBox().Opened(), opened);
        for (size_t k = told; k < reader.texts.size(); ++k) {
            EXPECT_FALSE(reader.texts[k].contains(oldFolder)) << reader.texts[k].toStdString();
        }
        EXPECT_EQ(List().patients.size(), 3u);
        EXPECT_NE(List().Bar(kXEVFirstBarId + 2), nullptr);
        // The new disc may be asked its own question.
        EXPECT_FALSE(frame->IsSwitchLocked());
    }
    EXPECT_EQ(SlowDiscGuiReads(), guiReads) << "the GUI thread read " << SlowDiscFirstGuiRead();
    // The pre-load and the scans may be in a read of the medium: they end before the settings
    // they read change and before this process ends.
    GetLoadState().HaltPreload();
    GetLoadState().preloadThread.WaitAll();
    EXPECT_TRUE(PumpUntil([&] { return List().scanner.Running() == 0 && XEVDetachedRunning() == 0; }));
    GetCommonSettings().ModeMultiFrameRead = 0;
}

namespace {

// The read-ahead's opens of the unreadable series' files: it warms the cache with every file of
// the disc once, whenever it gets there, and is no load.
std::atomic<int> g_readAheadOpens{0};

void CountReadAheadOpen(const QString& path)
{
    if (path.contains(QStringLiteral("/S3/"))) {
        g_readAheadOpens.fetch_add(1);
    }
}

}   // namespace

// A series of files that are no DICOM files: each is read once and told once; showing its
// series and the study again neither reads them nor tells them again.
TEST_F(LoadFailureTest, AFileThatFailedIsNotReadAgainOnItsOwn)
{
    g_readAheadOpens = 0;
    List().readAheadObserver = CountReadAheadOpen;
    disc_ = temp_.Path() + "/disc";
    const std::string command =
        "/usr/bin/python3 " + kFrameData + "/write_series_disc.py " + disc_ + " 4 2 --unreadable 3";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    missing_ = {3};
    OpenCounter counter;
    ASSERT_TRUE(counter.Watch(disc_ + "/S3/I1"));
    ASSERT_TRUE(counter.Watch(disc_ + "/S3/I2"));
    OpenStudy(disc_ + "/DICOMDIR");
    WaitForTheLoads();
    EXPECT_EQ(PaintedSeries(), Present(4));
    ASSERT_EQ(box.texts.size(), 2u);
    // Each read once, also when the job worker and the cell's loader reach it together.
    const int opens = counter.Opens();
    const int readAhead = g_readAheadOpens.load();
    EXPECT_EQ(opens - readAhead, 2);

    StudyInfo* study = List().patients.at(0)->studies.at(0);
    Image().ShowSeries(study->series.at(2));
    Wait(300);
    Image().ShowFitted(study);
    WaitForTheLoads();
    EXPECT_EQ(PaintedSeries(), Present(4));
    EXPECT_EQ(counter.Opens() - g_readAheadOpens.load(), opens - readAhead);
    EXPECT_EQ(box.texts.size(), 2u);
}

// An image file of 2 GiB (a sparse tail after its header): the message says it cannot be
// read, not that it is missing.
TEST_F(LoadFailureTest, AnImageOfTwoGigabytesCannotBeRead)
{
    const std::string dicomDir = WriteDisc(2, 1, {});
    fs::resize_file(disc_ + "/S2/I1", uint64_t(1) << 31);
    missing_ = {2};
    OpenStudy(dicomDir);
    WaitForTheLoads();
    EXPECT_EQ(PaintedSeries(), Present(2));
    ASSERT_EQ(box.texts.size(), 1u);
    const QString told = GetMessageString(10008) + QStringLiteral("\n      [") +
                         QString::fromStdString(disc_ + "/S2/I1") + QStringLiteral("]\n");
    EXPECT_EQ(box.texts[0].toStdString(), told.toStdString());
}

// A progressive JPEG file (dcmcjpeg +ep) opened as a single file, as File Open and the command
// line open it: its patient is listed, as a DICOMDIR's record would list it, and its cell says
// that the image cannot be read; the open itself does not fail.
TEST_F(LoadFailureTest, AProgressiveJpegFileOpensAndItsImageSaysItCannotBeRead)
{
    WriteDisc(1, 1, {});
    const std::string progressive = temp_.Path() + "/progressive.dcm";
    const std::string command = "dcmcjpeg +ep " + disc_ + "/S1/I1 " + progressive;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    Open(progressive);
    ASSERT_EQ(List().patients.size(), 1u);
    EXPECT_EQ(List().patients[0]->patientId.toStdString(), "MS1");
    ASSERT_TRUE(PumpUntil([&] { return !box.texts.empty(); }, kPaintWaitMs));
    Wait(200);
    ASSERT_EQ(box.texts.size(), 1u);
    EXPECT_TRUE(box.texts[0].startsWith(GetMessageString(10008))) << box.texts[0].toStdString();
    EXPECT_TRUE(box.texts[0].contains(QString::fromStdString(progressive))) << box.texts[0].toStdString();
}

namespace {

// A frame made at a smaller size than it is shown at, as start-up makes it, with its list.
class StartPathTest : public FrameTest {
protected:
    void SetUp() override
    {
        FrameTest::SetUp();
        GetCommonSettings().ModeOrvix = 1;
        MakeFrame(800, 560);
        ASSERT_NE(frame->InstallStudyList(), nullptr);
    }
    void TearDown() override
    {
        frame->close();
        frame.reset();
        GetCommonSettings().ModeOrvix = 0;
        FrameTest::TearDown();
    }
    PlatTempFolder temp_;
};

}   // namespace

// A folder and a text file named on the command line fail to open: the list pane, grown with
// the window meanwhile, is painted whole in its own colour.
TEST_F(StartPathTest, AFailedStartPathLeavesTheListPanePaintedWhole)
{
    const std::string folder = temp_.Path() + "/folder";
    fs::create_directory(folder);
    const std::string text = temp_.Path() + "/notes.txt";
    std::ofstream(text) << "not an image\n";
    for (const std::string& path : {folder, text}) {
        SCOPED_TRACE(path);
        const size_t before = box.texts.size();
        frame->StartPathLoad(QString::fromStdString(path));
        frame->resize(1280, 1024);
        Pump();
        frame->OnAgreementClosed(1);
        ASSERT_TRUE(PumpUntil([&] { return box.texts.size() > before; }));
        Pump();
        CXEVListFormView& list = *frame->GetStudyList();
        const QImage pane = list.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        ASSERT_GT(pane.height(), 560);
        const QRgb fill = list.widget()->palette().color(QPalette::Window).rgb();
        for (const QPoint& p : {QPoint(2, pane.height() - 2), QPoint(pane.width() - 2, pane.height() - 2),
                                QPoint(pane.width() - 2, pane.height() / 2)}) {
            EXPECT_EQ(pane.pixel(p), fill) << p.x() << "," << p.y();
        }
        frame->resize(800, 560);
        Pump();
    }
}
