#include "shell/xevendsignals.h"

#include <QRegularExpression>

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "shell/xevdetached.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- The end: begun once, its removal on a thread of its own, the bound on another.

// Never destroyed: the threads of an end outlive whatever exit() destroys.
struct EndState {
    std::mutex mutex;
    std::condition_variable removed;
    uint64_t generation = 0;
    bool begun = false;
    bool removalDone = true;
    Clock::time_point at;
};

EndState& TheEnd()
{
    static EndState& end = *new EndState;
    return end;
}

std::atomic<XEVEndProbe> g_endProbe{nullptr};
std::atomic<XEVEndProbe> g_endShut{nullptr};
std::atomic<XEVEndProbe> g_endRemove{nullptr};
std::atomic<int> g_boundMs{0};
std::atomic<bool> g_boundStarted{false};
std::atomic<int> g_endStatus{0};
// The status of an end asked for at once (XEVEndProcessNow), which the bound ends with too.
std::atomic<int> g_nowStatus{-1};
std::atomic<const char*> g_nowWhy{nullptr};

// The signals: one object at a time owns the pipe and the semaphore; the handler touches
// nothing else, and only what is safe in a handler.
constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr int64_t kNever = INT64_MAX;
std::atomic<int> g_writeFd{-1};
int g_readFd = -1;
std::atomic<int> g_arrivedCount{0};
std::atomic<int> g_firstSignal{0};
std::atomic<int> g_lastSignal{0};
std::atomic<bool> g_taken{false};
std::atomic<bool> g_stopping{false};
// Posted on every change the watchdog must see: a signal, its taking, the end.
sem_t g_wake;
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

int BoundMs()
{
    const int armed = g_boundMs.load();
    return armed > 0 ? armed : kXEVEndBoundMs;
}

// When the end must be taken for the process to be gone by the bound: this thread's waking and
// the teardown (every thread scheduled to die, memory, descriptors) take a few hundred
// milliseconds at a load of ten a core.
Clock::time_point LastMoment(Clock::time_point at)
{
    const int boundMs = BoundMs();
    return at + std::chrono::milliseconds(boundMs - std::min(kXEVEndShareMs, boundMs / 10));
}

// What the end writes: stderr may take nothing (a pipe nobody reads, a terminal stopped by
// Ctrl+S, a file on a stalled disk), so the words go out on a thread of their own that the end
// waits for only a moment; what stderr did not take by then is lost with the process.
struct Words {
    std::mutex mutex;
    std::condition_variable said;
    bool done = false;
    std::string text;
};

void WriteWords(const std::shared_ptr<Words>& words)
{
    // Never by waiting for a stream's lock: a reader of a slow disc holds its stream's for the
    // whole read, and a flush of every stream would wait for it. A write to a closed stderr
    // fails, SIGPIPE being ignored.
    for (std::FILE* stream : {stdout, stderr}) {
        if (ftrylockfile(stream) == 0) {
            fflush_unlocked(stream);
            funlockfile(stream);
        }
    }
    const char* at = words->text.data();
    size_t left = words->text.size();
    while (left > 0) {
        const ssize_t written = ::write(2, at, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            break;
        }
        at += written;
        left -= size_t(written);
    }
    std::lock_guard<std::mutex> lock(words->mutex);
    words->done = true;
    words->said.notify_all();
}

// Once stderr has not taken words in their time, later words are dropped at once rather than
// each waited for and each left with a thread stuck in its write.
std::atomic<bool> g_stderrDeaf{false};

// The one _exit of the program outside a signal handler: the first thread to come ends the
// process; one that comes meanwhile waits for that.
[[noreturn]] void EndNow(int status, const char* why)
{
    static std::atomic<bool> ending{false};
    if (ending.exchange(true)) {
        for (;;) {
            ::pause();
        }
    }
    if (const XEVEndProbe probe = g_endProbe.load()) {
        probe();
    }
    // The end's removal began before any word: what it had no time for keeps its lock file.
    std::string words;
    if (!XEVWaitEndRemoval(Clock::now())) {
        words = "kestro: ended before its extraction folder was removed; the next start removes the rest\n";
    }
    if (why != nullptr) {
        words += why;
    }
    XEVSayWithoutWaiting(std::move(words));
    _exit(status);
}

// The bound: the end began boundMs ago. Said only when something was still running.
void EndAtBound(Clock::time_point at, int boundMs)
{
    std::this_thread::sleep_until(LastMoment(at));
    const int signal = g_firstSignal.load();
    const int now = g_nowStatus.load();
    const int status = now >= 0 ? now : signal != 0 && !g_taken.load() ? 128 + signal : g_endStatus.load();
    const std::string workers = XEVWorkersLeft();
    std::string why = now >= 0 && g_nowWhy.load() != nullptr ? g_nowWhy.load() : "";
    if (!workers.empty()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", boundMs / 1000.0);
        why += std::string("kestro: ended ") + seconds + " s after its end began, with " + workers + "\n";
    }
    EndNow(status, why.empty() ? nullptr : why.c_str());
}

void StartBound(Clock::time_point at)
{
    if (g_boundStarted.exchange(true)) {
        return;
    }
    try {
        std::thread(EndAtBound, at, BoundMs()).detach();
    } catch (const std::system_error&) {
        g_boundStarted.store(false);
    }
}

void Remove(EndState& end, uint64_t generation, XEVEndProbe remove)
{
    if (remove != nullptr) {
        remove();
    }
    std::lock_guard<std::mutex> lock(end.mutex);
    if (end.generation == generation) {
        end.removalDone = true;
        end.removed.notify_all();
    }
}

int64_t NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void OnSignal(int signal)
{
    const int saved = errno;
    const int before = g_arrivedCount.fetch_add(1);
    if (before > 1) {
        // Asked a third time: not even the removal of what was extracted is waited for.
        XEVEndProcessNow(128 + signal, nullptr, true);
    }
    g_lastSignal.store(signal);
    if (before == 0) {
        g_firstSignal.store(signal);
    }
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        (void)!::write(fd, &byte, 1);
    }
    sem_post(&g_wake);
    errno = saved;
}

// Waits for a post, or until the monotonic time untilNs; false when the time came first.
bool WaitWake(int64_t untilNs)
{
    if (untilNs == kNever) {
        while (sem_wait(&g_wake) != 0 && errno == EINTR) {
        }
        return true;
    }
    const timespec until{time_t(untilNs / 1000000000), long(untilNs % 1000000000)};
    int result;
    while ((result = sem_clockwait(&g_wake, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
    }
    return result == 0;
}

// A signal begins the end at once, off the GUI thread, which may be busy or hung; the loop that
// has not taken it within the share, or a second signal, ends the process as soon as the
// removal is done. Lives as long as the object, so that no _exit ever finds it ended and not
// joined.
void Watch()
{
    int64_t takeEnd = kNever;
    for (;;) {
        const bool woken = WaitWake(g_taken.load() ? kNever : takeEnd);
        if (g_stopping.load()) {
            return;
        }
        if (g_arrivedCount.load() > 1) {
            XEVEndProcessNow(128 + g_lastSignal.load(), nullptr);
        }
        if (takeEnd == kNever && g_arrivedCount.load() > 0) {
            XEVBeginEnd();
            takeEnd = NowNs() + int64_t(kXEVEndShareMs) * 1000000;
        }
        if (!woken && !g_taken.load() && NowNs() >= takeEnd) {
            XEVEndProcessNow(128 + g_firstSignal.load(), nullptr);
        }
    }
}

}   // namespace

void XEVSetEndProbe(XEVEndProbe probe)
{
    g_endProbe.store(probe);
}

void XEVSetEndCleanup(XEVEndProbe shut, XEVEndProbe remove)
{
    g_endShut.store(shut);
    g_endRemove.store(remove);
}

void XEVArmEndBound(int boundMs)
{
    g_boundMs.store(std::max(boundMs, 1));
    EndState& end = TheEnd();
    std::lock_guard<std::mutex> lock(end.mutex);
    if (end.begun) {
        StartBound(end.at);
    }
}

void XEVSetEndStatus(int status)
{
    g_endStatus.store(status);
}

std::chrono::steady_clock::time_point XEVBeginEnd()
{
    EndState& end = TheEnd();
    std::unique_lock<std::mutex> lock(end.mutex);
    if (end.begun) {
        return end.at;
    }
    end.begun = true;
    end.at = Clock::now();
    end.removalDone = false;
    if (g_boundMs.load() > 0) {
        StartBound(end.at);
    }
    if (const XEVEndProbe shut = g_endShut.load()) {
        shut();
    }
    const uint64_t generation = end.generation;
    const XEVEndProbe remove = g_endRemove.load();
    const Clock::time_point at = end.at;
    lock.unlock();
    try {
        std::thread(Remove, std::ref(end), generation, remove).detach();
    } catch (const std::system_error&) {
        Remove(end, generation, remove);
    }
    return at;
}

void XEVResetEnd()
{
    EndState& end = TheEnd();
    std::lock_guard<std::mutex> lock(end.mutex);
    ++end.generation;
    end.begun = false;
    end.removalDone = true;
}

bool XEVEndHasBegun()
{
    EndState& end = TheEnd();
    std::lock_guard<std::mutex> lock(end.mutex);
    return end.begun;
}

void XEVSayWithoutWaiting(std::string text)
{
    if (g_stderrDeaf.load()) {
        return;
    }
    auto words = std::make_shared<Words>();
    words->text = std::move(text);
    try {
        std::thread(WriteWords, words).detach();
    } catch (const std::system_error&) {
        return;
    }
    std::unique_lock<std::mutex> lock(words->mutex);
    if (!words->said.wait_for(lock, std::chrono::milliseconds(kXEVEndWordsWaitMs), [&words] { return words->done; })) {
        g_stderrDeaf.store(true);
    }
}

bool XEVWaitEndRemoval(std::chrono::steady_clock::time_point until)
{
    EndState& end = TheEnd();
    std::unique_lock<std::mutex> lock(end.mutex);
    return end.removed.wait_until(lock, until, [&end] { return end.removalDone; });
}

void XEVEndProcessNow(int status, const char* why, bool inSignalHandler)
{
    if (inSignalHandler) {
        _exit(status);
    }
    // The bound may come first: it ends with this status and says why.
    if (why != nullptr) {
        const char* none = nullptr;
        g_nowWhy.compare_exchange_strong(none, strdup(why));
    }
    int unset = -1;
    g_nowStatus.compare_exchange_strong(unset, status);
    const Clock::time_point at = XEVBeginEnd();
    (void)XEVWaitEndRemoval(LastMoment(at));
    EndNow(status, why);
}

std::string XEVWorkersLeft()
{
    const size_t running = XEVDetachedRunning();
    const size_t removing = std::min(XEVDetachedRemoving(), running);
    const size_t reading = running - removing;
    const auto threads = [](size_t count) {
        return std::to_string(count) + (count == 1 ? " worker thread" : " worker threads");
    };
    std::string words;
    if (reading > 0) {
        words = threads(reading) + " still loading from the disc";
    }
    if (removing > 0) {
        words += (words.empty() ? threads(removing) : " and " + std::to_string(removing)) +
                 " still removing extracted files";
    }
    return words;
}

bool XEVSaysTheXConnectionBroke(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type != QtWarningMsg || (context.category != nullptr && std::strcmp(context.category, "default") != 0)) {
        return false;
    }
    static const QRegularExpression& words = *new QRegularExpression(
        QStringLiteral("^The X11 connection broke(?: \\(error \\d+\\)\\. Did the X11 server die\\?|: [A-Za-z/ ]+ "
                       "\\(code \\d+\\))$"));
    return words.match(text).hasMatch();
}

XEVEndSignals::XEVEndSignals(std::function<void(int)> end) : end_(std::move(end))
{
    int fds[2];
    if (g_writeFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    g_readFd = fds[0];
    g_writeFd.store(fds[1]);
    g_arrivedCount.store(0);
    g_firstSignal.store(0);
    g_taken.store(false);
    g_stopping.store(false);
    sem_init(&g_wake, 0, 0);
    watchdog_ = std::thread(Watch);
    notifier_ = std::make_unique<QSocketNotifier>(g_readFd, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { OnReadable(); });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        ::sigaction(kSignals[i], &action, &g_previous[i]);
    }
}

XEVEndSignals::~XEVEndSignals()
{
    if (notifier_ == nullptr) {
        return;
    }
    for (size_t i = 0; i < sizeof kSignals / sizeof kSignals[0]; ++i) {
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    // A watchdog already ending the process never returns from its end: the join waits for it.
    g_stopping.store(true);
    sem_post(&g_wake);
    watchdog_.join();
    sem_destroy(&g_wake);
    notifier_.reset();
    ::close(g_writeFd.exchange(-1));
    ::close(g_readFd);
    g_readFd = -1;
}

void XEVEndSignals::OnReadable()
{
    unsigned char byte = 0;
    while (::read(g_readFd, &byte, 1) == 1) {
        g_taken.store(true);
        sem_post(&g_wake);
        if (end_) {
            end_(byte);
        }
    }
}
