// The viewer as its own main starts it on a path, with what bench/slow_disc.sh times, one line
// each on stdout, times in ns of the monotonic clock:
//   first T        the first cell shows a frame, painted
//   all T          every cell on screen shows its first frame (or failed)
//   stall MS       the longest the GUI thread did not answer, from start to the close
//   preload T      the pre-load has opened its first file (it reads it next)
//   close T        the user asks the window to close: hold ms after "all", or close_at ms after
//                  the start when that comes first (then while the disc is still being read)
//   closing T      the GUI thread takes that request up
// With an action, the user's steps while the disc is read, each printed once its page is
// shown as "step NAME STALL_MS PAGE_MS DRIVE_MS": the longest the GUI thread did not answer
// during it, the time from the step to every cell on screen showing its image (or failing),
// and the drive time of those images (a seek and the bytes of each at the medium's rate), with
// that of a file the step reads before them and its page cannot come without (open: the second
// disc's DICOMDIR, a seek and its bytes):
//   start    the start alone
//   switch   the study's third series once a first image shows, then the study again
//   open     File Open of OTHER (a second disc's DICOMDIR) once a first image shows; also
//            "enter MS", from the chosen path to the new disc's first image painted, and
//            "dicomdir MS", the drive time of OTHER its step counts
//   scroll   the study's grid scrolled row by row to its end once its first page shows
//   cine     the first series shown and played for 2 s once a first image shows
//   troughMS the study's grid paged to its end by clicks in the scroll bar's trough, MS ms
//            apart, once its first page shows; then "landing", timed from the last click
//   drag     the same by the scroll bar's thumb, dragged to the end in 0.4 s
//   layout   the study's grid stepped by clicks on the status pane's layout arrows 0.3 s apart,
//            from its fitted layout to 1 x 1, then up to 4 x 4, once a first image shows; then
//            "landing", timed from the last click
//   tiles    the study's first series enlarged into tiles by a double click on its cell once it
//            shows an image, then stepped by the layout arrows 0.3 s apart from the layout it
//            opens with to 1 x 1, then up to 4 x 4, while it loads; then "landing", timed from
//            the last click to every tile in view showing its image
//   keys     PageDown presses 0.3 s apart, sent to the widget with the focus (else the grid),
//            once the study's grid shows its first page, to the grid's end, then PageUp back to
//            its top; then "landing", timed from the last key; also "keys N M": the presses sent
//            and those after which the grid did not move
// The hold then counts from the last step.
// With "report", once every cell on screen shows its image the first study's SR report is
// asked for, and the close as soon as its worker reads the medium (or has answered):
//   report T       the report is asked for
// KV_SLOW_DISC_PROGRAM, when set, is the folder taken for the program's (its ZYLV.INI).
// The process then ends as the viewer's does; the caller takes the time it ended. If the
// viewer's run returns rather than ending the process:
//   detached N     the viewer's workers still running then
//   slow_disc_viewer PATH [HOLD_MS, default 1000] [CLOSE_AT_MS, default 300000] [ACTION [OTHER] | report]
#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platfolder.h"
#include "shell/kestroapp.h"
#include "shell/mainframe.h"
#include "shell/xevdetached.h"
#include "shell/xevslider.h"
#include "shell/xevstatusformview.h"
#include "shell/xevtitleformview.h"
#include "study/xevlistformview.h"
#include "study/xevloadstate.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "testsupport/discmeter.h"
#include "testsupport/slowdisc.h"
#include "viewer/xevimageformview.h"

namespace {

long long Now()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool AnyCellShows(CMainFrame* frame)
{
    CXEVImageFormView* image = frame->GetImageFormView();
    if (image == nullptr) {
        return false;
    }
    for (const auto& [id, cell] : image->ActiveCells()) {
        if (cell->CurrentImage() != nullptr && cell->HasFramePixels(cell->currentFrame)) {
            return true;
        }
    }
    return false;
}

// The drive time of bytes of a file read in one pass: a seek and the bytes at the medium's
// rate; 0 off the medium.
double FileDriveMs(double bytes)
{
    const char* rate = std::getenv("KV_SLOWDISC_RATE");
    const char* seek = std::getenv("KV_SLOWDISC_SEEK_MS");
    if (rate == nullptr || std::atof(rate) <= 0) {
        return 0;
    }
    return (seek != nullptr ? std::atof(seek) : 100.0) + bytes * 1000.0 / std::atof(rate);
}

// The drive time of a whole file; 0 when it is not there.
long long WholeFileDriveMs(const QString& path)
{
    struct stat status {};
    return stat(path.toLocal8Bit().constData(), &status) == 0
               ? static_cast<long long>(FileDriveMs(double(status.st_size)))
               : 0;
}

// The drive time of the images the cells on screen show: each file's (of one frame of a
// multi-frame file).
long long DriveMs(CMainFrame* frame)
{
    CXEVImageFormView* image = frame->GetImageFormView();
    if (image == nullptr) {
        return 0;
    }
    std::set<std::string> files;
    double ms = 0;
    for (const auto& [id, cell] : image->ActiveCells()) {
        ImageInfo* shown = cell->CurrentImage();
        if (shown == nullptr || !files.insert(shown->filePath.toStdString()).second) {
            continue;
        }
        struct stat status {};
        if (stat(shown->filePath.toLocal8Bit().constData(), &status) != 0) {
            continue;
        }
        ms += FileDriveMs(double(status.st_size) / std::max(1, shown->fileFrames.load()));
    }
    return static_cast<long long>(ms);
}

// Whether a cell on screen shows an image of a file under folder.
bool ShowsFrom(CMainFrame* frame, const QString& folder)
{
    CXEVImageFormView* image = frame->GetImageFormView();
    if (image == nullptr) {
        return false;
    }
    for (const auto& [id, cell] : image->ActiveCells()) {
        if (cell->CurrentImage() != nullptr && cell->CurrentImage()->filePath.startsWith(folder) &&
            cell->HasFramePixels(cell->currentFrame)) {
            return true;
        }
    }
    return false;
}

// File Open's dialog, answered with the other disc.
class OtherDisc : public XEVOpenFileDialog {
public:
    QString Choose(QWidget*) override { return path; }
    QString path;
};

// The user's steps while the disc is read, each begun once the one before it is ready and
// timed to its page shown.
class Steps {
public:
    struct Step {
        const char* name;
        std::function<void(CMainFrame*)> begin;
        std::function<bool(CMainFrame*)> ready;
        // The drive time of what the step reads before its page and the page needs.
        long long beforeMs = 0;
    };
    explicit Steps(std::vector<Step> steps) : steps_(std::move(steps)) {}
    // No action: nothing to do, the run times the start alone.
    bool Done() const { return steps_.empty() || next_ > steps_.size(); }
    void Poll(CMainFrame* frame)
    {
        if (Done()) {
            return;
        }
        // The step under way (the start: number 0, begun with the process).
        if (next_ > 0 && !steps_[next_ - 1].ready(frame)) {
            return;
        }
        if (next_ > 0) {
            const Step& step = steps_[next_ - 1];
            std::printf("step %s %lld %lld %lld\n", step.name, static_cast<long long>(meter_->LongestMs()),
                        (Now() - began_) / 1000000, step.beforeMs + DriveMs(frame));
        }
        if (next_ < steps_.size()) {
            meter_ = std::make_unique<GuiStallMeter>();
            began_ = Now();
            if (steps_[next_].begin) {
                steps_[next_].begin(frame);
            }
        }
        ++next_;
    }
    void Start(long long began)
    {
        meter_ = std::make_unique<GuiStallMeter>();
        began_ = began;
        next_ = 1;
    }

private:
    std::vector<Step> steps_;
    size_t next_ = 0;
    long long began_ = 0;
    std::unique_ptr<GuiStallMeter> meter_;
};

// Asks for the first report the list holds; false when it holds none.
bool RequestFirstReport(CMainFrame* frame)
{
    CXEVListFormView* list = frame->GetStudyList();
    if (list == nullptr) {
        return false;
    }
    for (PatientInfo* patient : list->patients) {
        for (StudyInfo* study : patient->studies) {
            if (const SeriesInfo* series = XEVFindReportSeries(study)) {
                frame->RequestReport(series, true);
                return frame->ReportPending();
            }
        }
    }
    return false;
}

StudyInfo* FirstStudy(CMainFrame* frame)
{
    CXEVListFormView* list = frame->GetStudyList();
    return list == nullptr || list->patients.empty() || list->patients[0]->studies.empty()
               ? nullptr
               : list->patients[0]->studies[0];
}

bool PageShown(CMainFrame* frame)
{
    return frame->FirstCellsLoaded();
}

// The steps of an action; the start's page is the first image where the next step comes while
// the disc is still read.
std::vector<Steps::Step> ActionSteps(const std::string& action, OtherDisc& other, long long& enter)
{
    const auto firstShown = [](CMainFrame* frame) { return AnyCellShows(frame); };
    if (action == "switch") {
        return {{"start", nullptr, firstShown},
                {"series",
                 [](CMainFrame* frame) {
                     StudyInfo* study = FirstStudy(frame);
                     if (study != nullptr && study->series.size() > 2) {
                         frame->GetStudyList()->ShowSeriesOfStudy(study, study->series[2]);
                     }
                 },
                 PageShown},
                {"study", [](CMainFrame* frame) { frame->GetStudyList()->ShowStudy(FirstStudy(frame)); }, PageShown}};
    }
    if (action == "open") {
        const QString folder = other.path.left(other.path.lastIndexOf(QLatin1Char('/')) + 1);
        // The new disc's page comes after its DICOMDIR is read, which the drive cannot skip.
        const long long dicomDirMs = WholeFileDriveMs(other.path);
        std::printf("dicomdir %lld\n", dicomDirMs);
        return {{"start", nullptr, firstShown},
                {"open",
                 [&enter](CMainFrame* frame) {
                     // File Open as the mode that offers it has it.
                     frame->SetFileOpenEnabled(true);
                     enter = Now();
                     frame->OnFileOpen();
                 },
                 [folder, &enter](CMainFrame* frame) {
                     if (enter > 0 && ShowsFrom(frame, folder)) {
                         (void)frame->grab();
                         std::printf("enter %lld\n", (Now() - enter) / 1000000);
                         enter = -1;
                     }
                     return enter < 0 && PageShown(frame);
                 },
                 dicomDirMs}};
    }
    if (action == "scroll") {
        return {{"start", nullptr, PageShown},
                {"scroll",
                 [](CMainFrame* frame) {
                     CXEVImageFormView* image = frame->GetImageFormView();
                     const int32_t rows = image->studyLayout.rows;
                     const int32_t rowHeight = image->height() / std::max(1, rows);
                     for (int32_t row = 1; row <= image->studyLayout.GetRowsNeeded() - rows; ++row) {
                         image->ScrollTo(row * rowHeight);
                         QCoreApplication::sendPostedEvents();
                     }
                 },
                 PageShown}};
    }
    if (action.rfind("trough", 0) == 0 || action == "drag") {
        // Each move is a person's: a click in the trough pages once, a drag moves the thumb in
        // twenty steps; the landing page is timed from the last.
        const bool drag = action == "drag";
        const int32_t apartMs = drag ? 20 : std::max(1, std::atoi(action.c_str() + 6));
        auto done = std::make_shared<bool>(false);
        auto timer = std::make_shared<QTimer>();
        return {{"start", nullptr, PageShown},
                {"moves",
                 [drag, apartMs, done, timer](CMainFrame* frame) {
                     auto& bar = const_cast<QScrollBar&>(frame->GetImageFormView()->ScrollBar());
                     const int32_t step = std::max(1, bar.maximum() / 20);
                     const auto move = [&bar, drag, step, done, timer] {
                         if (drag) {
                             bar.setSliderDown(true);
                             bar.setSliderPosition(std::min(bar.sliderPosition() + step, bar.maximum()));
                         } else {
                             bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
                         }
                         if (bar.value() >= bar.maximum()) {
                             bar.setSliderDown(false);
                             timer->stop();
                             *done = true;
                         }
                     };
                     QObject::connect(timer.get(), &QTimer::timeout, move);
                     move();
                     if (!*done) {
                         timer->start(apartMs);
                     }
                 },
                 [done](CMainFrame*) { return *done; }},
                {"landing", nullptr, PageShown}};
    }
    if (action == "layout" || action == "tiles") {
        auto done = std::make_shared<bool>(false);
        auto fewer = std::make_shared<bool>(true);
        auto timer = std::make_shared<QTimer>();
        const bool tiles = action == "tiles";
        const auto firstCellShows = [](CMainFrame* frame) {
            const auto& cells = frame->GetImageFormView()->studyCells;
            return !cells.empty() && cells.begin()->second->CurrentImage() != nullptr &&
                   cells.begin()->second->HasFramePixels(cells.begin()->second->currentFrame);
        };
        return {{"start", nullptr, tiles ? std::function<bool(CMainFrame*)>(firstCellShows) : firstShown},
                {"moves",
                 [done, fewer, timer, tiles](CMainFrame* frame) {
                     if (tiles) {
                         // The first series enlarged into tiles by a double click on its cell.
                         XEVImageViewCtrl* cell = frame->GetImageFormView()->studyCells.begin()->second;
                         const QPoint at = cell->rect().center();
                         for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease,
                                                         QEvent::MouseButtonDblClick, QEvent::MouseButtonRelease}) {
                             const Qt::MouseButtons held =
                                 type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
                             QMouseEvent event(type, QPointF(at), QPointF(cell->mapToGlobal(at)), Qt::LeftButton, held,
                                               Qt::NoModifier);
                             QCoreApplication::sendEvent(cell, &event);
                         }
                     }
                     // A click on an arrow as a person makes it: fewer cells to 1 x 1, then more.
                     const auto click = [frame, done, fewer, timer] {
                         CXEVStatusFormView* status = frame->GetStatusPane();
                         CXEVImageFormView* image = frame->GetImageFormView();
                         const int32_t cells = image->ActiveLayout().rows * image->ActiveLayout().cols;
                         *fewer = *fewer && cells > 1;
                         // The last click: the landing is timed once its layout is applied.
                         if (!*fewer && cells >= 9) {
                             timer->stop();
                             *done = true;
                         }
                         const QRect slider = status->Slider().geometry();
                         const QPoint at = *fewer ? QPoint(slider.right() + 21, slider.y() + 12)
                                                  : QPoint(slider.x() - 24, slider.y() + 12);
                         for (const QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
                             QMouseEvent event(type, QPointF(at), QPointF(status->mapToGlobal(at)), Qt::LeftButton,
                                               type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton,
                                               Qt::NoModifier);
                             QCoreApplication::sendEvent(status, &event);
                         }
                     };
                     QObject::connect(timer.get(), &QTimer::timeout, click);
                     // The tiles' first click comes 0.3 s after the double click.
                     if (!tiles) {
                         click();
                     }
                     timer->start(300);
                 },
                 [done, tiles](CMainFrame* frame) {
                     const CXEVImageFormView* image = frame->GetImageFormView();
                     const LayoutInfo& layout = image->ActiveLayout();
                     return *done && layout.rows * layout.cols >= 16 && (!tiles || image->activeMode == 1);
                 }},
                {"landing", nullptr, PageShown}};
    }
    if (action == "keys") {
        // PageDown to the grid's end, then PageUp to its top, 0.3 s apart, each sent where a
        // person's key goes: the widget with the focus, else the grid.
        auto done = std::make_shared<bool>(false);
        auto down = std::make_shared<bool>(true);
        auto sent = std::make_shared<int>(0);
        auto lost = std::make_shared<int>(0);
        auto timer = std::make_shared<QTimer>();
        return {{"start", nullptr, PageShown},
                {"moves",
                 [done, down, sent, lost, timer](CMainFrame* frame) {
                     const auto press = [frame, done, down, sent, lost, timer] {
                         CXEVImageFormView* image = frame->GetImageFormView();
                         const QScrollBar& bar = image->ScrollBar();
                         *down = *down && bar.value() < bar.maximum();
                         const int32_t before = image->FirstVisibleRow();
                         // The release goes where the focus is then: the page may have retired the
                         // cell that took the press.
                         for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
                             QWidget* keys = QApplication::focusWidget();
                             QKeyEvent event(type, *down ? Qt::Key_PageDown : Qt::Key_PageUp, Qt::NoModifier);
                             QCoreApplication::sendEvent(keys != nullptr ? keys : image, &event);
                         }
                         ++*sent;
                         // The grid scrolls as the key is taken: a press that left it where it was is lost.
                         *lost += image->FirstVisibleRow() == before ? 1 : 0;
                         // Lost keys would not end the run.
                         if ((!*down && bar.value() <= bar.minimum()) || *sent >= 500) {
                             timer->stop();
                             *done = true;
                             std::printf("keys %d %d\n", *sent, *lost);
                         }
                     };
                     QObject::connect(timer.get(), &QTimer::timeout, press);
                     press();
                     if (!*done) {
                         timer->start(300);
                     }
                 },
                 [done](CMainFrame*) { return *done; }},
                {"landing", nullptr, PageShown}};
    }
    if (action == "cine") {
        auto playing = std::make_shared<long long>(0);
        return {{"start", nullptr, firstShown},
                {"cine",
                 [playing](CMainFrame* frame) {
                     frame->GetStudyList()->ShowSeriesOfStudy(FirstStudy(frame), FirstStudy(frame)->series[0]);
                     *playing = 0;
                 },
                 [playing](CMainFrame* frame) {
                     CXEVImageFormView* image = frame->GetImageFormView();
                     if (*playing == 0 && image->activeMode == 1 && AnyCellShows(frame)) {
                         if (image->GetSelectedView() == nullptr) {
                             image->SelectCell(image->ActiveCells().begin()->first);
                         }
                         frame->GetTitlePane()->OnPlayPause();
                         *playing = Now();
                     }
                     if (*playing == 0 || Now() - *playing < 2000000000LL) {
                         return false;
                     }
                     frame->GetTitlePane()->OnPlayPause();
                     return true;
                 }}};
    }
    return {{"start", nullptr, PageShown}};
}

// Whether the close was asked for; the clock's thread may outlive main's objects.
std::atomic<bool> requested{false};

void Request()
{
    if (!requested.exchange(true)) {
        std::printf("close %lld\n", Now());
    }
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: slow_disc_viewer PATH [HOLD_MS] [CLOSE_AT_MS]\n");
        return 2;
    }
    // One line at a time: a test reads them as they come.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const long long start = Now();
    const long long holdNs = (argc > 2 ? std::atoll(argv[2]) : 1000) * 1000000LL;
    const long long closeAtNs = (argc > 3 ? std::atoll(argv[3]) : 300000) * 1000000LL;
    std::vector<char*> args = {argv[0], const_cast<char*>("/Agree"), argv[1], nullptr};
    int count = 3;
    if (const char* program = std::getenv("KV_SLOW_DISC_PROGRAM")) {
        PlatSetModuleFolderForTest(program);
    }
    // The medium counts what is read under an image's lock and after a stop.
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    CKestroApp app(count, args.data());
    GuiStallMeter meter;
    const std::string mode = argc > 4 ? argv[4] : "";
    OtherDisc other;
    other.path = argc > 5 ? QString::fromLocal8Bit(argv[5]) : QString();
    XEVSetOpenFileDialog(&other);
    long long enter = 0;
    const bool acting = argc > 4 && mode != "report";
    Steps steps(acting ? ActionSteps(mode, other, enter) : std::vector<Steps::Step>{});
    if (acting) {
        steps.Start(start);
    }
    bool reportAsked = false;
    long readsAtReport = 0;
    long long first = 0;
    long long all = 0;
    bool preloading = false;
    // The request is made once, by the GUI thread or by the clock; the GUI thread takes it up
    // when it next runs its timers, as it does a window manager's close.
    // The clock's thread is not joined: the viewer may end the process at once when it closes.
    std::thread([start, closeAtNs] {
        while (!requested.load() && Now() - start < closeAtNs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Request();
    }).detach();
    bool closing = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        CMainFrame* frame = app.MainFrame();
        if (frame == nullptr || closing) {
            return;
        }
        if (requested.load()) {
            closing = true;
            std::printf("closing %lld\nstall %lld\n", Now(), static_cast<long long>(meter.LongestMs()));
            frame->close();
            return;
        }
        if (first == 0 && AnyCellShows(frame)) {
            // Shown once painted: a paint that waits for the loader delays it.
            (void)frame->grab();
            first = Now();
            std::printf("first %lld\n", first);
        }
        if (all == 0 && frame->FirstCellsLoaded()) {
            all = Now();
            std::printf("all %lld\n", all);
        }
        if (!preloading && GetLoadState().preloadFilesRead.load() > 0) {
            preloading = true;
            std::printf("preload %lld\n", Now());
        }
        if (!steps.Done()) {
            steps.Poll(frame);
            if (steps.Done()) {
                all = Now();
            }
            return;
        }
        if (all != 0 && mode == "report") {
            if (!reportAsked) {
                reportAsked = true;
                readsAtReport = SlowDiscReads();
                if (RequestFirstReport(frame)) {
                    std::printf("report %lld\n", Now());
                } else {
                    Request();
                }
                return;
            }
            // The close comes once the report's worker reads the medium, or has answered.
            if (SlowDiscReads() > readsAtReport || !frame->ReportPending()) {
                Request();
            }
            return;
        }
        if (all != 0 && Now() - all >= holdNs) {
            Request();
        }
    });
    poll.start(10);
    const int status = app.Run();
    requested = true;
    std::printf("detached %zu\n", XEVDetachedRunning());
    XEVSetOpenFileDialog(nullptr);
    return status;
}
