// The viewer as its own main starts it on a path, with what bench/slow_disc.sh times, one line
// each on stdout, times in ns of the monotonic clock:
//   first T        the first cell shows a frame, painted
//   all T          every cell on screen shows its first frame (or failed)
//   stall MS       the longest the GUI thread did not answer, from start to the close
//   close T        the user asks the window to close: hold ms after "all", or close_at ms after
//                  the start when that comes first (then while the disc is still being read)
//   closing T      the GUI thread takes that request up
// With "switch", once every cell on screen shows its image the first study's third series is
// shown while the study's loaders still read, then the study again, each once the view before
// it shows an image; the hold then counts from the study's return:
//   stall_start MS the longest the GUI thread did not answer from start to "all"
//   stall_series MS, stall_study MS   the same from each switch to its first image shown
// The process then ends as the viewer's does; the caller takes the time it ended.
//   slow_disc_viewer PATH [HOLD_MS, default 1000] [CLOSE_AT_MS, default 300000] [switch]
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shell/kestroapp.h"
#include "shell/mainframe.h"
#include "study/xevlistformview.h"
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

// The user's switches of the image area while the disc is read: the first study's third
// series, then the study again, each once the view before it shows an image; the longest
// stall of each step is printed. Done once the study is back.
class Switches {
public:
    explicit Switches(bool wanted) : step_(wanted ? 0 : 3) {}
    bool Done() const { return step_ >= 3; }
    void Poll(CMainFrame* frame)
    {
        CXEVListFormView* list = frame->GetStudyList();
        if (Done() || list == nullptr || list->patients.empty() || list->patients[0]->studies.empty()) {
            return;
        }
        StudyInfo* study = list->patients[0]->studies[0];
        if (step_ == 0) {
            std::printf("stall_start %lld\n", static_cast<long long>(meter_ ? meter_->LongestMs() : 0));
            if (study->series.size() < 3) {
                step_ = 3;
                return;
            }
            meter_ = std::make_unique<GuiStallMeter>();
            list->ShowSeriesOfStudy(study, study->series[2]);
            step_ = 1;
            return;
        }
        if (!AnyCellShows(frame)) {
            return;
        }
        std::printf("%s %lld\n", step_ == 1 ? "stall_series" : "stall_study",
                    static_cast<long long>(meter_->LongestMs()));
        if (step_ == 1) {
            meter_ = std::make_unique<GuiStallMeter>();
            list->ShowStudy(study);
        }
        ++step_;
    }
    void StartMeter() { meter_ = std::make_unique<GuiStallMeter>(); }

private:
    int step_;
    std::unique_ptr<GuiStallMeter> meter_;
};

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
    // The medium counts what is read under an image's lock and after a stop.
    XEVSetMediumProbe({SlowDiscImageLockHook(), SlowDiscReaderStopHook(), SlowDiscReaderPriorityHook()});
    CKestroApp app(count, args.data());
    GuiStallMeter meter;
    Switches switches(argc > 4 && std::string(argv[4]) == "switch");
    if (!switches.Done()) {
        switches.StartMeter();
    }
    long long first = 0;
    long long all = 0;
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
        if (all != 0 && !switches.Done()) {
            switches.Poll(frame);
            if (switches.Done()) {
                all = Now();
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
    return status;
}
