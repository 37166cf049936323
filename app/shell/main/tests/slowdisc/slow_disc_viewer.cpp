// The viewer as its own main starts it on a path, with what bench/slow_disc.sh times, one line
// each on stdout, times in ns of the monotonic clock:
//   first T        the first cell shows a frame, painted
//   all T          every cell on screen shows its first frame (or failed)
//   stall MS       the longest the GUI thread did not answer, from start to the close
//   preload T      the pre-load has opened its first file (it reads it next)
//   close T        the user asks the window to close: hold ms after "all", or close_at ms after
//                  the start when that comes first (then while the disc is still being read)
//   closing T      the GUI thread takes that request up
//   gone T         the window has gone (hidden by its close, whatever asked for it)
// With an action, the user's steps while the disc is read, each printed once its page is
// shown as "step NAME STALL_MS PAGE_MS DRIVE_MS": the longest the GUI thread did not answer
// during it, the time from the step to every cell on screen showing its image (or failing),
// and the drive time of those images (a seek and the bytes of each at the medium's rate; a zip
// member's, all its bytes in the archive), with that of a file the step reads before them and
// its page cannot come without (open: the second disc's DICOMDIR, a seek and its bytes):
//   start    the start alone
//   switch   the study's third series once a first image shows, then the study again
//   open     File Open of OTHER (a second disc's DICOMDIR) once a first image shows; also
//            "enter MS", from the chosen path to the new disc's first image painted, and
//            "dicomdir MS", the drive time of OTHER its step counts
//   reopen   File Open of OTHER (a zip, a DICOMDIR or a file) once a first image shows and the
//            file KV_SLOW_DISC_OPEN_WHEN names is there (when that is set); then "reopened MS"
//            once a cell shows an image of OTHER, or "refused MS" once OTHER was refused, from
//            the choice
//   scroll   the study's grid scrolled row by row to its end once its first page shows
//   cine     the first series shown and played for 2 s once a first image shows
//   troughMS the study's grid paged to its end by clicks in the scroll bar's trough, MS ms
//            apart, once its first page shows; then "landing", timed from the last click
//   drag     the same by the scroll bar's thumb, dragged to the end in 0.4 s
//   layout   the study's grid stepped by clicks on the status pane's layout arrows 0.3 s apart,
//            from its fitted layout to 1 x 1, then up to 4 x 4, once a first image shows; then
//            "landing", timed from the last click
//   wheel    once the study's grid shows, cine played in the first series' cell, then once it
//            has stepped twice, the pointer over the second series' cell and the wheel turned
//            there 10 notches 0.1 s apart; then "landing", timed from the last notch to that
//            cell showing, painted, the image it settled on, its drive time that image's; also
//            "wheel ASKED SHOWN", the image the notches asked for and the one shown (a lost
//            step makes them differ), and "busy MS", what the drive's request under way at the
//            last notch still took
//   zip      the start on an archive: "small" is timed to every cell on screen whose image is a
//            member after the archive's first (which is large) showing it, then "start" to
//            every cell, both from the start; their drive times count the archive's directory
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
// KV_SLOW_DISC_REPORT_SPINUP_MS, when set: the drive spins down as the report is asked, and the
// next read pays that many ms first.
// KV_SLOW_DISC_PROGRAM, when set, is the folder taken for the program's (its ZYLV.INI).
// KV_SLOW_DISC_RUN_OUT=1: a process that ends at once with workers still counted first ends
// their reads of the medium and lets them run on to what they touch after, while the process
// is whole. Memory freed meanwhile is kept, poisoned (without a sanitizer, which does that
// itself): a worker that follows a pointer out of what was freed under it crashes, and one
// that writes to it is told:
//   runout N       the workers still counted as the process ends at once
//   outlived N     those of them still counted long after the medium let them out
//   touched N      blocks freed before that were written to after (then "touched at SIZE")
// The process then ends as the viewer's does; the caller takes the time it ended. If the
// viewer's run returns rather than ending the process:
//   detached N     the viewer's workers still running then
//   slow_disc_viewer PATH [HOLD_MS, default 1000] [CLOSE_AT_MS, default 300000] [ACTION [OTHER] | report]
// PATH is a disc's DICOMDIR or a zip.

#include <QApplication>
#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTimer>
#include <QWheelEvent>

#include <fcntl.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platfolder.h"
#include "shell/kestroapp.h"
#include "shell/mainframe.h"
#include "shell/xevdetached.h"
#include "shell/xevendsignals.h"
#include "shell/xevfailurebox.h"
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

// Says when the window goes, on any road.
class GoneWatch : public QObject {
protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Hide && !said_) {
            said_ = true;
            std::printf("gone %lld\n", Now());
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool said_ = false;
};

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

// An archive's members and their bytes in it, and the one stored first.
struct ZipIndex {
    std::map<std::string, uint64_t> members;
    std::string first;
    // The central directory and the end record: read before any member.
    uint64_t directory = 0;
};

// From the central directory, read through a mapping: the medium neither slows nor counts what
// a mapping reads, so the figure costs the timed run nothing.
ZipIndex ReadZipIndex(const std::string& zip)
{
    ZipIndex index;
    auto& members = index.members;
    const int fd = open(zip.c_str(), O_RDONLY);
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0 || status.st_size < 22) {
        if (fd >= 0) {
            close(fd);
        }
        return index;
    }
    const size_t size = static_cast<size_t>(status.st_size);
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        return index;
    }
    const auto* bytes = static_cast<const unsigned char*>(mapped);
    const auto u16 = [bytes](size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8; };
    const auto u32 = [&u16](size_t at) { return u16(at) | u16(at + 2) << 16; };
    // The end record lies in the last 22 bytes and the comment after them.
    size_t end = size - 22;
    const size_t lowest = size > 22 + 65535 ? size - 22 - 65535 : 0;
    while (end > lowest && u32(end) != 0x06054b50) {
        --end;
    }
    if (u32(end) == 0x06054b50) {
        size_t at = u32(end + 16);
        index.directory = at < size ? size - at : 0;
        for (uint32_t k = 0, count = u16(end + 10); k < count && at + 46 <= size && u32(at) == 0x02014b50; ++k) {
            const uint32_t name = u16(at + 28);
            if (at + 46 + name > size) {
                break;
            }
            const std::string member(reinterpret_cast<const char*>(bytes + at + 46), name);
            // Its local header, then its data as stored.
            members[member] = 30 + name + u32(at + 20);
            index.first = u32(at + 42) == 0 ? member : index.first;
            at += 46 + name + u16(at + 30) + u16(at + 32);
        }
    }
    munmap(mapped, size);
    return index;
}

// The index of the archive the viewer extracts from; empty without one.
const ZipIndex& Archive()
{
    static std::string of;
    static ZipIndex index;
    if (const std::string zip = GetLoadState().GetZipPath(); zip != of) {
        of = zip;
        index = zip.empty() ? ZipIndex() : ReadZipIndex(zip);
    }
    return index;
}

// The cells on screen that were given images, each with the entry it shows or waits for.
std::vector<std::pair<XEVImageViewCtrl*, ImageInfo*>> CellsInView(CMainFrame* frame)
{
    std::vector<std::pair<XEVImageViewCtrl*, ImageInfo*>> cells;
    CXEVImageFormView* image = frame->GetImageFormView();
    if (image == nullptr) {
        return cells;
    }
    for (const auto& [id, cell] : image->ActiveCells()) {
        const QWidget* parent = cell->parentWidget();
        if (!cell->isVisible() || (parent != nullptr && !cell->geometry().intersects(parent->rect()))) {
            continue;
        }
        ImageInfo* entry = cell->CurrentImage();
        if (entry == nullptr) {
            const std::map<int32_t, ImageInfo*> images = cell->GetImages();
            entry = images.empty() ? nullptr : images.begin()->second;
        }
        if (entry != nullptr) {
            cells.emplace_back(cell, entry);
        }
    }
    return cells;
}

// The member of the extracted archive a file is; empty when it is none.
std::string MemberOf(const QString& path)
{
    const std::string folder = GetLoadState().GetExtractFolder();
    const std::string file = path.toStdString();
    return !folder.empty() && file.size() > folder.size() + 1 && file.compare(0, folder.size() + 1, folder + "/") == 0
               ? file.substr(folder.size() + 1)
               : std::string();
}

using CellFilter = std::function<bool(XEVImageViewCtrl*, ImageInfo*)>;

// The drive time of the images the cells on screen show (those of counted, when given): a seek
// and the bytes of each file (of one frame of a multi-frame file) at the medium's rate; for a
// member of a zip, its bytes in the archive, which is extracted whole before it is read, and
// with opening, a seek and the archive's directory, which is read before any member; 0 off the
// medium.
long long DriveMs(CMainFrame* frame, const CellFilter& counted = nullptr, bool opening = false)
{
    if (frame->GetImageFormView() == nullptr) {
        return 0;
    }
    const std::map<std::string, uint64_t>& members = Archive().members;
    std::set<std::string> files;
    double ms = opening && Archive().directory > 0 ? FileDriveMs(double(Archive().directory)) : 0;
    for (const auto& [cell, shown] : CellsInView(frame)) {
        if (cell->CurrentImage() != shown || (counted && !counted(cell, shown)) ||
            !files.insert(shown->filePath.toStdString()).second) {
            continue;
        }
        if (const auto member = members.find(MemberOf(shown->filePath)); member != members.end()) {
            ms += FileDriveMs(double(member->second));
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

// Whether every cell on screen that counted takes shows its image, one at least.
bool CellsShow(CMainFrame* frame, const CellFilter& counted)
{
    int32_t shown = 0;
    for (const auto& [cell, entry] : CellsInView(frame)) {
        if (!counted(cell, entry)) {
            continue;
        }
        if (cell->CurrentImage() == nullptr || !cell->HasFramePixels(cell->currentFrame)) {
            return false;
        }
        ++shown;
    }
    return shown > 0;
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
        // The cells whose images its drive time counts; all on screen when none.
        CellFilter counted = nullptr;
        // Timed from where the step before was: both pages come of the same step of the user's.
        bool sameClock = false;
        // Timed from the opening of an archive: its directory counts too.
        bool opening = false;
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
                        (Now() - began_) / 1000000, step.beforeMs + DriveMs(frame, step.counted, step.opening));
        }
        if (next_ < steps_.size() && !steps_[next_].sameClock) {
            meter_ = std::make_unique<GuiStallMeter>();
            began_ = Now();
        }
        if (next_ < steps_.size()) {
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
        std::vector<Steps::Step> steps = {{"start", nullptr, firstShown},
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
                                           }}};
        steps.back().beforeMs = dicomDirMs;
        return steps;
    }
    if (action == "reopen") {
        const QString folder = other.path.left(other.path.lastIndexOf(QLatin1Char('/')) + 1);
        const char* openWhen = std::getenv("KV_SLOW_DISC_OPEN_WHEN");
        auto boxes = std::make_shared<int32_t>(0);
        return {{"start", nullptr,
                 [openWhen](CMainFrame* frame) {
                     return AnyCellShows(frame) && (openWhen == nullptr || ::access(openWhen, F_OK) == 0);
                 }},
                {"reopen",
                 [&enter, boxes](CMainFrame* frame) {
                     *boxes = frame->FailureBox().Opened();
                     frame->SetFileOpenEnabled(true);
                     enter = Now();
                     frame->OnFileOpen();
                 },
                 [folder, other, &enter, boxes](CMainFrame* frame) {
                     if (enter <= 0 || frame->Opening()) {
                         return enter < 0;
                     }
                     // An archive's images are its members, under its own folder.
                     const bool archive = GetLoadState().GetZipPath() == other.path.toStdString();
                     const QString from =
                         archive ? QString::fromStdString(GetLoadState().GetExtractFolder() + "/") : folder;
                     const bool refused = frame->FailureBox().Opened() > *boxes;
                     if (!refused && !ShowsFrom(frame, from)) {
                         return false;
                     }
                     (void)frame->grab();
                     if (refused && frame->FailureBox().Current() != nullptr) {
                         std::printf("box %s\n", frame->FailureBox().Current()->text().toUtf8().constData());
                     }
                     std::printf("%s %lld\n", refused ? "refused" : "reopened", (Now() - enter) / 1000000);
                     enter = -1;
                     return true;
                 }}};
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
    if (action == "wheel") {
        // Cine in the first series' cell, the wheel in the second's, as in a grid of series.
        struct Wheel {
            XEVImageViewCtrl* played = nullptr;
            XEVImageViewCtrl* wheeled = nullptr;
            int32_t playedAt = 0;
            int32_t playedMoves = 0;
            int32_t asked = 0;
            int32_t notches = 0;
            long long busyMs = 0;
            QTimer timer;
        };
        auto wheel = std::make_shared<Wheel>();
        const auto inSeries = [](XEVImageViewCtrl* cell, const char* folder) {
            return cell->CurrentImage() != nullptr && cell->CurrentImage()->filePath.contains(QLatin1String(folder)) &&
                   cell->GetCineLength() > 1;
        };
        return {{"start", nullptr,
                 [wheel, inSeries](CMainFrame* frame) {
                     if (!PageShown(frame)) {
                         return false;
                     }
                     for (const auto& [cell, entry] : CellsInView(frame)) {
                         wheel->played = inSeries(cell, "/S001/") ? cell : wheel->played;
                         wheel->wheeled = inSeries(cell, "/S002/") ? cell : wheel->wheeled;
                     }
                     return wheel->played != nullptr && wheel->wheeled != nullptr;
                 }},
                {"cine",
                 [wheel](CMainFrame* frame) {
                     CXEVImageFormView* image = frame->GetImageFormView();
                     image->SelectCell(wheel->played->ControlId());
                     frame->GetTitlePane()->OnPlayPause();
                     wheel->playedAt = wheel->played->GetPosition();
                 },
                 // Under way once it has stepped twice: it asks the drive for frames of its own.
                 [wheel](CMainFrame*) {
                     const int32_t now = wheel->played->GetPosition();
                     wheel->playedMoves += now != wheel->playedAt ? 1 : 0;
                     wheel->playedAt = now;
                     return wheel->playedMoves >= 2;
                 }},
                {"moves",
                 [wheel](CMainFrame*) {
                     XEVImageViewCtrl* cell = wheel->wheeled;
                     // The pointer comes over the cell, which makes it the one the wheel turns.
                     const QPoint at(cell->width() / 2, cell->height() / 2);
                     QMouseEvent move(QEvent::MouseMove, QPointF(at), QPointF(cell->mapToGlobal(at)), Qt::NoButton,
                                      Qt::NoButton, Qt::NoModifier);
                     QCoreApplication::sendEvent(cell, &move);
                     wheel->asked = std::min(cell->GetPosition() + 10, cell->GetCineLength());
                     const auto notch = [wheel, at] {
                         XEVImageViewCtrl* turned = wheel->wheeled;
                         QWheelEvent event(QPointF(at), QPointF(turned->mapToGlobal(at)), QPoint(), QPoint(0, -120),
                                           Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
                         QCoreApplication::sendEvent(turned, &event);
                         if (++wheel->notches >= 10) {
                             wheel->timer.stop();
                             // What the drive's request under way still takes: no read comes sooner.
                             wheel->busyMs = std::max(0LL, SlowDiscHeadBusyUntil() - Now()) / 1000000;
                         }
                     };
                     QObject::connect(&wheel->timer, &QTimer::timeout, notch);
                     notch();
                     wheel->timer.start(100);
                 },
                 [wheel](CMainFrame*) { return wheel->notches >= 10; }},
                // The wheeled cell settled on an image, painted: the one asked unless a step was lost.
                {"landing", nullptr,
                 [wheel](CMainFrame*) {
                     XEVImageViewCtrl* cell = wheel->wheeled;
                     if (cell->StepAwaited() != -1 || !cell->HasFramePixels(cell->currentFrame)) {
                         return false;
                     }
                     (void)cell->grab();
                     std::printf("wheel %d %d\nbusy %lld\n", wheel->asked, cell->GetPosition(), wheel->busyMs);
                     return true;
                 },
                 [wheel](XEVImageViewCtrl* cell, ImageInfo*) { return cell == wheel->wheeled; }}};
    }
    if (action == "zip") {
        // The cells of the members after the archive's first, which is large: they show while it
        // is still extracted.
        const auto small = [](XEVImageViewCtrl*, ImageInfo* entry) {
            const std::string member = MemberOf(entry->filePath);
            return !member.empty() && member != Archive().first;
        };
        return {{"small", nullptr, [small](CMainFrame* frame) { return CellsShow(frame, small); }, small, false, true},
                {"start", nullptr, PageShown, nullptr, true, true}};
    }
    return {{"start", nullptr, PageShown}};
}

// Far longer than a worker let out of its read takes to end.
constexpr auto kRunOutCeiling = std::chrono::seconds(30);

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kKeepFreed = false;
#else
constexpr bool kKeepFreed = true;
#endif

// The blocks operator delete was given last, poisoned and not given back: what the close
// freed is still among them when the process ends. Small blocks only (larger ones are
// unmapped, and fault when touched); the oldest go back first.
struct FreedBlocks {
    static constexpr size_t kLargest = 64 << 10;
    static constexpr size_t kMostBytes = size_t(256) << 20;
    static constexpr size_t kMostBlocks = size_t(1) << 20;
    static constexpr unsigned char kPoison = 0xA5;
    struct Block {
        void* at;
        size_t size;
    };
    std::atomic<bool> keeping{false};
    std::mutex mutex;
    Block* ring = nullptr;
    size_t first = 0;
    size_t count = 0;
    size_t bytes = 0;
};
FreedBlocks freed;

void StartKeepingFreed()
{
    if (kKeepFreed) {
        freed.ring =
            static_cast<FreedBlocks::Block*>(std::calloc(FreedBlocks::kMostBlocks, sizeof(FreedBlocks::Block)));
        freed.keeping = freed.ring != nullptr;
    }
}

[[maybe_unused]] void Release(void* at)
{
    if (at == nullptr) {
        return;
    }
    const size_t size = malloc_usable_size(at);
    if (!freed.keeping.load(std::memory_order_relaxed) || size > FreedBlocks::kLargest) {
        std::free(at);
        return;
    }
    std::memset(at, FreedBlocks::kPoison, size);
    std::lock_guard<std::mutex> guard(freed.mutex);
    while (freed.count > 0 &&
           (freed.count == FreedBlocks::kMostBlocks || freed.bytes + size > FreedBlocks::kMostBytes)) {
        const FreedBlocks::Block oldest = freed.ring[freed.first];
        freed.first = (freed.first + 1) % FreedBlocks::kMostBlocks;
        --freed.count;
        freed.bytes -= oldest.size;
        std::free(oldest.at);
    }
    freed.ring[(freed.first + freed.count) % FreedBlocks::kMostBlocks] = {at, size};
    ++freed.count;
    freed.bytes += size;
}

// Blocks kept that are no longer all poison; the first one's size in *size.
size_t TouchedFreedBlocks(size_t* size)
{
    std::lock_guard<std::mutex> guard(freed.mutex);
    size_t touched = 0;
    for (size_t i = 0; i < freed.count; ++i) {
        const FreedBlocks::Block& block = freed.ring[(freed.first + i) % FreedBlocks::kMostBlocks];
        const auto* bytes = static_cast<const unsigned char*>(block.at);
        if (std::any_of(bytes, bytes + block.size, [](unsigned char b) { return b != FreedBlocks::kPoison; })) {
            if (touched++ == 0) {
                *size = block.size;
            }
        }
    }
    return touched;
}

void RunOutWorkers()
{
    const size_t running = XEVDetachedRunning();
    std::printf("runout %zu\n", running);
    if (running == 0) {
        return;
    }
    SlowDiscHurry();
    (void)XEVWaitDetached(std::chrono::steady_clock::now() + kRunOutCeiling);
    std::printf("outlived %zu\n", XEVDetachedRunning());
    if (freed.keeping.load()) {
        size_t size = 0;
        const size_t touched = TouchedFreedBlocks(&size);
        std::printf("touched %zu\n", touched);
        if (touched > 0) {
            std::printf("touched at %zu\n", size);
        }
    }
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

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
void operator delete(void* at) noexcept
{
    Release(at);
}

void operator delete(void* at, size_t) noexcept
{
    Release(at);
}

void operator delete[](void* at) noexcept
{
    Release(at);
}

void operator delete[](void* at, size_t) noexcept
{
    Release(at);
}
#endif

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
    if (const char* runOut = std::getenv("KV_SLOW_DISC_RUN_OUT"); runOut != nullptr && std::string(runOut) == "1") {
        StartKeepingFreed();
        XEVSetEndProbe(RunOutWorkers);
    }
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
    // Or once the file KV_SLOW_DISC_CLOSE_WHEN names is there, for a test that readies something first.
    const char* closeWhen = std::getenv("KV_SLOW_DISC_CLOSE_WHEN");
    std::thread([start, closeAtNs, closeWhen] {
        while (!requested.load() && Now() - start < closeAtNs &&
               (closeWhen == nullptr || ::access(closeWhen, F_OK) != 0)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Request();
    }).detach();
    bool closing = false;
    GoneWatch gone;
    bool watched = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        CMainFrame* frame = app.MainFrame();
        if (frame != nullptr && !watched) {
            watched = true;
            frame->installEventFilter(&gone);
        }
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
                // The drive spins down only now: the list's read-ahead may have read the report's
                // file before, and the report's own read is the one that pays.
                if (const char* spinUp = std::getenv("KV_SLOW_DISC_REPORT_SPINUP_MS")) {
                    SlowDiscSpinDown(std::atol(spinUp));
                }
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
