#include "platform/platthread.h"

#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>

PlatThread::~PlatThread()
{
    Join();
}

bool PlatThread::Create(std::function<void()> body, PlatThreadPriority priority)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (created_ || !body) {
        return false;
    }
    try {
        thread_ = std::thread(&PlatThread::Run, this, std::move(body), priority);
    } catch (const std::system_error&) {
        return false;
    }
    created_ = true;
    return true;
}

bool PlatThread::Resume()
{
    std::lock_guard<std::mutex> guard(mutex_);
    Start expected = Start::Waiting;
    if (!created_ || !start_.compare_exchange_strong(expected, Start::Run)) {
        return false;
    }
    startGate_.Set();
    return true;
}

void PlatThread::Join()
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!thread_.joinable()) {
        return;
    }
    Start expected = Start::Waiting;
    if (start_.compare_exchange_strong(expected, Start::Cancel)) {
        startGate_.Set();
    }
    thread_.join();
}

bool PlatThread::IsCreated() const
{
    std::lock_guard<std::mutex> guard(mutex_);
    return created_;
}

void PlatThread::Run(std::function<void()> body, PlatThreadPriority priority)
{
    PlatSetCurrentThreadPriority(priority);
    startGate_.Wait();
    if (start_.load() == Start::Run) {
        body();
    }
}

void PlatSetCurrentThreadPriority(PlatThreadPriority priority)
{
    if (priority == PlatThreadPriority::Lowest) {
        // On Linux a nice value set for a thread id applies to that thread alone.
        const auto tid = static_cast<id_t>(syscall(SYS_gettid));
        errno = 0;
        const int current = getpriority(PRIO_PROCESS, tid);
        if (errno == 0) {
            const int lowered = current + kPlatLowestPriorityNiceStep > 19 ? 19 : current + kPlatLowestPriorityNiceStep;
            (void)setpriority(PRIO_PROCESS, tid, lowered);
        }
    }
}
