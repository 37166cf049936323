#include "shell/xevendsignals.h"

#include <fcntl.h>
#include <semaphore.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// One object at a time owns the pipe and the semaphores; the handler touches nothing else,
// and only what is safe in a handler.
std::atomic<int> g_writeFd{-1};
int g_readFd = -1;
std::atomic<int> g_arrivedCount{0};
std::atomic<int> g_firstSignal{0};
std::atomic<bool> g_stopping{false};
sem_t g_arrived;
sem_t g_taken;
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

void OnSignal(int signal)
{
    const int saved = errno;
    if (g_arrivedCount.fetch_add(1) > 0) {
        // Asked again: the user will not wait for the ordered shut-down.
        _exit(128 + signal);
    }
    g_firstSignal.store(signal);
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        (void)!::write(fd, &byte, 1);
    }
    sem_post(&g_arrived);
    errno = saved;
}

void Wait(sem_t* semaphore)
{
    while (sem_wait(semaphore) != 0 && errno == EINTR) {
    }
}

// Ends the process when the loop has not taken the first signal in time: it may be busy or
// hung, and the signal must still end it.
void Watch(int takeWithinMs)
{
    Wait(&g_arrived);
    if (g_stopping.load()) {
        return;
    }
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += takeWithinMs / 1000;
    until.tv_nsec += (takeWithinMs % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    int result;
    while ((result = sem_clockwait(&g_taken, CLOCK_MONOTONIC, &until)) != 0 && errno == EINTR) {
    }
    if (result != 0 && !g_stopping.load()) {
        _exit(128 + g_firstSignal.load());
    }
    // Taken: stay until the object goes, so that a second signal's _exit never finds this
    // thread ended and not joined.
    while (!g_stopping.load()) {
        Wait(&g_arrived);
    }
}

}   // namespace

XEVEndSignals::XEVEndSignals(std::function<void(int)> end, int takeWithinMs) : end_(std::move(end))
{
    int fds[2];
    if (g_writeFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    g_readFd = fds[0];
    g_writeFd.store(fds[1]);
    g_arrivedCount.store(0);
    g_stopping.store(false);
    sem_init(&g_arrived, 0, 0);
    sem_init(&g_taken, 0, 0);
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
    g_stopping.store(true);
    sem_post(&g_arrived);
    sem_post(&g_taken);
    watchdog_.join();
    sem_destroy(&g_arrived);
    sem_destroy(&g_taken);
    notifier_.reset();
    ::close(g_writeFd.exchange(-1));
    ::close(g_readFd);
    g_readFd = -1;
}

void XEVEndSignals::OnReadable()
{
    unsigned char byte = 0;
    while (::read(g_readFd, &byte, 1) == 1) {
        sem_post(&g_taken);
        if (end_) {
            end_(byte);
        }
    }
}
