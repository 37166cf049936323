#include "shell/xevdetached.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace {

struct DetachedCount {
    std::mutex mutex;
    std::condition_variable ended;
    size_t running = 0;
    size_t removing = 0;
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

namespace {

// Bodies run on threads kept from one body to the next, a set for each priority: a thread
// started per body cost the paging of a long series a thread for each page, and with each new
// thread another allocator arena kept the memory freed by the bodies before.
struct PooledBody {
    std::unique_ptr<std::function<void()>> body;
    std::shared_ptr<XEVThreadEnd> end;
};

struct ThreadPool {
    std::mutex mutex;
    std::condition_variable work[2];
    std::deque<PooledBody> bodies[2];
    size_t idle[2] = {0, 0};
    // Threads whose body is done and who are on their way back for the next: a body started
    // meanwhile, one after another's end, waits for one of them rather than a new thread.
    size_t returning[2] = {0, 0};
    size_t started = 0;
};

// Threads left waiting for a body, each priority: more than run at once while cells page.
constexpr size_t kKeptIdleThreads = 4;

// Never freed: a thread kept waiting when the process ends waits on it.
ThreadPool& Pool()
{
    static ThreadPool* const pool = new ThreadPool;
    return *pool;
}

size_t Slot(PlatThreadPriority priority)
{
    return priority == PlatThreadPriority::Lowest ? 1 : 0;
}

void PoolThread(PlatThreadPriority priority)
{
    PlatSetCurrentThreadPriority(priority);
    ThreadPool& pool = Pool();
    const size_t slot = Slot(priority);
    std::unique_lock<std::mutex> lock(pool.mutex);
    for (;;) {
        while (pool.bodies[slot].empty()) {
            if (pool.idle[slot] >= kKeptIdleThreads) {
                return;
            }
            ++pool.idle[slot];
            pool.work[slot].wait(lock);
            --pool.idle[slot];
        }
        PooledBody next = std::move(pool.bodies[slot].front());
        pool.bodies[slot].pop_front();
        lock.unlock();
        (*next.body)();
        // What the body captured goes while it still counts: once none counts, nothing of it
        // is left to destroy during the program's end.
        next.body.reset();
        lock.lock();
        ++pool.returning[slot];
        lock.unlock();
        {
            const std::shared_ptr<XEVThreadEnd> said = std::move(next.end);
            XEVThreadEndSayer::Say(*said);
        }
        Finish();
        lock.lock();
        --pool.returning[slot];
    }
}

}   // namespace

std::shared_ptr<const XEVThreadEnd> XEVStartCounted(std::function<void()> body, PlatThreadPriority priority)
{
    auto end = std::make_shared<XEVThreadEnd>();
    Enter();
    ThreadPool& pool = Pool();
    const size_t slot = Slot(priority);
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.bodies[slot].push_back({std::make_unique<std::function<void()>>(std::move(body)), end});
    // Each body waiting has a thread of its own to come: a kept one, or a new one.
    if (pool.idle[slot] + pool.returning[slot] >= pool.bodies[slot].size()) {
        pool.work[slot].notify_one();
        return end;
    }
    try {
        std::thread(PoolThread, priority).detach();
    } catch (const std::system_error&) {
        pool.bodies[slot].pop_back();
        Finish();
        return nullptr;
    }
    ++pool.started;
    return end;
}

bool XEVStartDetached(std::function<void()> body)
{
    return XEVStartCounted(std::move(body)) != nullptr;
}

size_t XEVThreadsStarted()
{
    ThreadPool& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return pool.started;
}

size_t XEVDetachedRunning()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    return count.running;
}

XEVCountedRemoval::XEVCountedRemoval()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    ++count.removing;
}

XEVCountedRemoval::~XEVCountedRemoval()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    --count.removing;
}

size_t XEVDetachedRemoving()
{
    DetachedCount& count = Count();
    std::lock_guard<std::mutex> lock(count.mutex);
    return count.removing;
}

bool XEVWaitDetached(std::chrono::steady_clock::time_point end)
{
    DetachedCount& count = Count();
    std::unique_lock<std::mutex> lock(count.mutex);
    return count.ended.wait_until(lock, end, [&count] { return count.running == 0; });
}
