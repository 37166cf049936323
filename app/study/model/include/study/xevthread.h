#pragma once

// A list of background threads with a shared stop flag and a pause gate. Loaders start
// their threads on a list, check `stop` between units of work and wait at the gate where
// another thread may hold them. The threads are counted ones (shell/xevdetached.h): the list
// keeps their ends, and "joining" one waits for its end, never for the thread itself.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platevent.h"
#include "platform/platthread.h"
#include "shell/xevdetached.h"

// Told on the joining thread each time WaitAll is about to wait for a thread whose body has
// not returned (or is not known to have): for tests that check who waits. Null: nobody.
using XEVJoinObserver = void (*)();
void XEVSetJoinObserver(XEVJoinObserver observer);

class XEVThread {
public:
    XEVThread() = default;
    // Waits for the end of every thread still on the list.
    ~XEVThread();
    XEVThread(const XEVThread&) = delete;
    XEVThread& operator=(const XEVThread&) = delete;

    // Starts a counted thread and adds its end under the list's lock: a WaitAll racing with
    // the start waits for it. False (nothing added) when the system refuses a thread.
    bool Start(std::function<void()> body, PlatThreadPriority priority = PlatThreadPriority::Normal);
    // Blocks while the gate is reset; the timed form gives false when the time ran out.
    void WaitGate();
    bool WaitGate(uint32_t timeoutMs);
    void SetGate();
    void ResetGate();
    // Opens the gate, waits for the end of every thread in list order, then empties the list.
    // The gate lives as long as this object and stays open afterwards: other threads may
    // still set or reset it.
    void WaitAll();
    bool IsEmpty() const;
    size_t Count() const;

    // The stop of the threads started until the next Release, for a body to capture when it
    // may outlive a stop: unlike `stop`, it is never cleared.
    std::shared_ptr<const std::atomic<int32_t>> RunStop();
    // Raises the run's stop, opens the gate and lets the threads end on their own: nothing is
    // waited for. Those that have ended leave the list; the rest at a later call or WaitAll.
    void Release();
    // Takes the threads that have ended off the list; never waits for another.
    void ReapEnded();
    // Waits for the threads of the run not yet released: for a caller that knows they have
    // done their work (a loader that posted its last word) and are only returning.
    void JoinRun();
    // Threads on the list that have not ended.
    size_t Running() const;
    // For an owner that goes while its stopped threads may still be in a read: forgets them.
    // They stay counted until they end, and what they touch must outlive them on its own.
    void LetGo();

    // 1 asks the threads of this list to end.
    std::atomic<int32_t> stop{0};

private:
    struct Entry {
        std::shared_ptr<const XEVThreadEnd> end;
        std::shared_ptr<std::atomic<int32_t>> run;   // the run's stop when it started, if any
    };
    // Takes the entries chosen off the list under its lock, then waits for their ends.
    void JoinWhere(const std::function<bool(const Entry&)>& chosen);
    mutable std::mutex mutex_;
    std::vector<Entry> threads_;
    std::shared_ptr<std::atomic<int32_t>> runStop_;
    PlatEvent gate_{true, true};
};
