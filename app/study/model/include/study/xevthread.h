#pragma once

// A list of background threads with a shared stop flag and a pause gate. Loaders start
// their threads on a list, check `stop` between units of work and wait at the gate where
// another thread may hold them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/platevent.h"
#include "platform/platthread.h"

// Told on the joining thread each time WaitAll is about to wait for a thread whose body has
// not returned (or is not known to have): for tests that check who waits. Null: nobody.
using XEVJoinObserver = void (*)();
void XEVSetJoinObserver(XEVJoinObserver observer);

class XEVThread {
public:
    XEVThread() = default;
    // Joins every thread still on the list.
    ~XEVThread();
    XEVThread(const XEVThread&) = delete;
    XEVThread& operator=(const XEVThread&) = delete;

    // Creates the thread suspended, adds it and resumes it: the body never runs before the
    // list owns it. False (nothing added) when the system refuses a thread.
    bool Start(std::function<void()> body, PlatThreadPriority priority = PlatThreadPriority::Normal);
    // Takes ownership of a created thread; the caller resumes it, on the thread that would
    // call WaitAll (a WaitAll in between deletes it unrun). Start does both at once.
    void Add(std::unique_ptr<PlatThread> thread);
    // Blocks while the gate is reset; the timed form gives false when the time ran out.
    void WaitGate();
    bool WaitGate(uint32_t timeoutMs);
    void SetGate();
    void ResetGate();
    // Opens the gate, joins and deletes every thread in list order, then empties the list.
    // The gate lives as long as this object and stays open afterwards: other threads may
    // still set or reset it.
    void WaitAll();
    bool IsEmpty() const;
    size_t Count() const;

    // The stop of the threads started until the next Release, for a body to capture when it
    // may outlive a stop: unlike `stop`, it is never cleared.
    std::shared_ptr<const std::atomic<int32_t>> RunStop();
    // Raises the run's stop, opens the gate and lets the threads end on their own: nothing is
    // waited for. Those that have ended are joined; the rest by a later call or WaitAll.
    void Release();
    // Joins the threads started by Start whose body has returned; never waits for another.
    void ReapEnded();
    // Joins the threads of the run not yet released: for a caller that knows they have done
    // their work (a loader that posted its last word) and are only returning.
    void JoinRun();
    // Threads on the list whose body has not returned (one added by Add counts until joined).
    size_t Running() const;
    // For an owner that goes while its stopped threads may still be in a read: joins those that
    // have ended and hands the rest, started by Start, to the process, which never joins them.
    // What they touch must outlive them on its own.
    void LetGo();

    // 1 asks the threads of this list to end.
    std::atomic<int32_t> stop{0};

    // Joins the threads let go whose body has returned, never waiting; the count of the rest.
    // The process must not end normally (its statics freed under them) while there are any.
    static size_t ReapLetGo();

private:
    struct Entry {
        std::unique_ptr<PlatThread> thread;
        std::shared_ptr<std::atomic<bool>> ended;    // null: not known (added from outside)
        std::shared_ptr<std::atomic<int32_t>> run;   // the run's stop when it started, if any
    };
    // Takes the entries chosen off the list under its lock, then joins them.
    void JoinWhere(const std::function<bool(const Entry&)>& chosen);
    mutable std::mutex mutex_;
    std::vector<Entry> threads_;
    std::shared_ptr<std::atomic<int32_t>> runStop_;
    PlatEvent gate_{true, true};
};
