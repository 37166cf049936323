#include "shell/xevdetached.h"

#include <condition_variable>
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

void Enter()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    ++count.running;
}

void Finish()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    --count.running;
    count.ended.notify_all();
}

}   // namespace

struct XEVThreadEndSayer {
    static void Say(XEVThreadEnd& end)
    {
        end.ended_.store(true);
        end.said_.Set();
    }
};

bool XEVThreadEnd::Ended() const
{
    return ended_.load();
}

bool XEVThreadEnd::Wait(uint32_t timeoutMs) const
{
    return ended_.load() || said_.Wait(timeoutMs);
}

std::shared_ptr<const XEVThreadEnd> XEVStartCounted(std::function<void()> body, PlatThreadPriority priority)
{
    auto end = std::make_shared<XEVThreadEnd>();
    Enter();
    auto held = std::make_unique<std::function<void()>>(std::move(body));
    try {
        std::thread([held = std::move(held), end, priority]() mutable {
            PlatSetCurrentThreadPriority(priority);
            (*held)();
            // What the body captured goes while it still counts: once none counts, nothing of it
            // is left to destroy during the program's end.
            held.reset();
            {
                const std::shared_ptr<XEVThreadEnd> said = std::move(end);
                XEVThreadEndSayer::Say(*said);
            }
            Finish();
        }).detach();
    } catch (const std::system_error&) {
        Finish();
        return nullptr;
    }
    return end;
}

bool XEVStartDetached(std::function<void()> body)
{
    return XEVStartCounted(std::move(body)) != nullptr;
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
