#include "shell/xevendsignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// One object at a time owns the pipe; the handler touches nothing else.
std::atomic<int> g_writeFd{-1};
int g_readFd = -1;
struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

void OnSignal(int signal)
{
    const int saved = errno;
    const int fd = g_writeFd.load();
    if (fd >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signal);
        (void)!::write(fd, &byte, 1);
    }
    errno = saved;
}

}   // namespace

XEVEndSignals::XEVEndSignals(std::function<void(int)> end) : end_(std::move(end))
{
    int fds[2];
    if (g_writeFd.load() >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    g_readFd = fds[0];
    g_writeFd.store(fds[1]);
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
    notifier_.reset();
    ::close(g_writeFd.exchange(-1));
    ::close(g_readFd);
    g_readFd = -1;
}

void XEVEndSignals::OnReadable()
{
    unsigned char byte = 0;
    while (::read(g_readFd, &byte, 1) == 1) {
        if (end_) {
            end_(byte);
        }
    }
}
