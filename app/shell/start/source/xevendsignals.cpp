#include "shell/xevendsignals.h"

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "shell/xevdetached.h"

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int64_t kNever = INT64_MAX;

// One object at a time owns the pipe and the semaphore; the handler touches nothing else,
// and only what is safe in a handler.
std::atomic<int> g_writeFd{-1};
int g_readFd = -1;
std::atomic<int> g_arrivedCount{0};
std::atomic<int> g_firstSignal{0};
std::atomic<bool> g_taken{false};
std::atomic<bool> g_stopping{false};
// The exit deadline on the monotonic clock in ns, kNever while unarmed, and the status it ends with.
std::atomic<int64_t> g_deadline{kNever};
std::atomic<int> g_endStatus{0};
// Posted on every change the watchdog must see: a signal, its taking, the deadline, the end.
sem_t g_wake;
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];
std::atomic<XEVEndProbe> g_endProbe{nullptr};
std::atomic<XEVEndProbe> g_endCleanup{nullptr};
std::atomic<int> g_lastSignal{0};

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

// Ends the process when the loop has not taken the first signal in time (it may be busy or
// hung, and the signal must still end it), or when the armed exit deadline comes before the
// object goes. Lives as long as the object, so that no _exit ever finds it ended and not joined.
void Watch(int takeWithinMs)
{
    int64_t signalEnd = kNever;
    for (;;) {
        const int64_t takeEnd = g_taken.load() ? kNever : signalEnd;
        const int64_t end = std::min(takeEnd, g_deadline.load());
        const bool woken = WaitWake(end);
        if (g_stopping.load()) {
            return;
        }
        // Asked again: the user will not wait for the ordered shut-down, but the extracted
        // patient data still goes, which a signal handler cannot do.
        if (g_arrivedCount.load() > 1) {
            XEVEndProcessNow(128 + g_lastSignal.load(), nullptr);
        }
        const int64_t now = NowNs();
        if (signalEnd == kNever && g_arrivedCount.load() > 0) {
            signalEnd = now + int64_t(takeWithinMs) * 1000000;
        }
        if (!woken && !g_taken.load() && now >= signalEnd) {
            XEVEndProcessNow(128 + g_firstSignal.load(), nullptr);
        }
        if (!woken && now >= g_deadline.load()) {
            const std::string why = "kestro: the exit deadline ended the process with " +
                                    std::to_string(XEVDetachedRunning()) + " worker threads still running\n";
            XEVEndProcessNow(g_endStatus.load(), why.c_str());
        }
    }
}

}   // namespace

void XEVSetEndProbe(XEVEndProbe probe)
{
    g_endProbe.store(probe);
}

void XEVSetEndCleanup(XEVEndProbe cleanup)
{
    g_endCleanup.store(cleanup);
}

void XEVEndProcessNow(int status, const char* why, bool inSignalHandler)
{
    // Only what is safe in a signal handler there; elsewhere what must not outlive the process
    // goes first, then what was printed, but never by waiting for a stream's lock: a reader of
    // a slow disc holds its stream's for the whole read, and a flush of every stream would wait
    // for it.
    if (!inSignalHandler) {
        if (const XEVEndProbe cleanup = g_endCleanup.load()) {
            cleanup();
        }
        if (const XEVEndProbe probe = g_endProbe.load()) {
            static std::once_flag once;
            std::call_once(once, probe);
        }
        for (std::FILE* stream : {stdout, stderr}) {
            if (ftrylockfile(stream) == 0) {
                fflush_unlocked(stream);
                funlockfile(stream);
            }
        }
    }
    if (why != nullptr) {
        (void)!::write(2, why, std::strlen(why));
    }
    _exit(status);
}

XEVEndSignals::XEVEndSignals(std::function<void(int)> end, int takeWithinMs) : end_(std::move(end))
{
    int fds[2];
    if (g_writeFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    g_readFd = fds[0];
    g_writeFd.store(fds[1]);
    g_arrivedCount.store(0);
    g_taken.store(false);
    g_stopping.store(false);
    g_deadline.store(kNever);
    g_endStatus.store(0);
    sem_init(&g_wake, 0, 0);
    watchdog_ = std::thread(Watch, takeWithinMs);
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

void XEVEndSignals::ArmDeadline(int withinMs)
{
    if (notifier_ == nullptr) {
        return;
    }
    const int64_t at = NowNs() + int64_t(withinMs) * 1000000;
    int64_t armed = g_deadline.load();
    while (at < armed && !g_deadline.compare_exchange_weak(armed, at)) {
    }
    sem_post(&g_wake);
}

void XEVEndSignals::SetEndStatus(int status)
{
    g_endStatus.store(status);
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
