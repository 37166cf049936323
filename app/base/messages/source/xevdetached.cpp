#include "shell/xevdetached.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

struct DetachedCount {
    std::mutex mutex;
    std::condition_variable ended;
    size_t running = 0;
};

// Never freed: a thread still in a read when the process ends looks at it last.
DetachedCount& Count()
{
    static DetachedCount* const count = new DetachedCount;
    return *count;
}

void Finish()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    --count.running;
    count.ended.notify_all();
}

}   // namespace

bool XEVStartDetached(std::function<void()> body)
{
    DetachedCount& count = Count();
    {
        std::lock_guard<std::mutex> lock(count.mutex);
        ++count.running;
    }
    auto held = std::make_unique<std::function<void()>>(std::move(body));
    try {
        std::thread([held = std::move(held)]() mutable {
            (*held)();
            // What the body captured goes while it still counts: once none runs, nothing of it
            // may be left to destroy during the program's end.
            held.reset();
            Finish();
        }).detach();
    } catch (const std::system_error&) {
        Finish();
        return false;
    }
    return true;
}

size_t XEVDetachedRunning()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    return count.running;
}

bool XEVWaitDetached(std::chrono::steady_clock::time_point end)
{
    DetachedCount& count = Count();
    std::unique_lock<std::mutex> lock(count.mutex);
    return count.ended.wait_until(lock, end, [&count] { return count.running == 0; });
}
