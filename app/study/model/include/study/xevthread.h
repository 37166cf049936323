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

    // 1 asks the threads of this list to end.
    std::atomic<int32_t> stop{0};

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<PlatThread>> threads_;
    PlatEvent gate_{true, true};
};
