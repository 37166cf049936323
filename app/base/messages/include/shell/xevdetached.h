#pragma once

// Every thread that may read the medium (the loaders, the scan, the read-ahead, the pre-load,
// the job worker, the cells' loaders, the frame's open and report workers) runs here: detached,
// never joined, and counted from before it exists until its body has returned and everything
// the body held is gone. An owner that must know one has ended waits for its end, never for the
// thread; the program's end waits once for the count to reach nought within its deadline, or
// ends the process without static destruction. What such a thread uses beyond what it holds
// (the load state, the medium's turn, this count) lives as long as the process.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/platevent.h"
#include "platform/platthread.h"

// Said once a counted thread's body has returned and what it held is gone; before the thread
// stops counting.
class XEVThreadEnd {
public:
    XEVThreadEnd() = default;
    XEVThreadEnd(const XEVThreadEnd&) = delete;
    XEVThreadEnd& operator=(const XEVThreadEnd&) = delete;

    bool Ended() const;
    // True once ended; false when timeoutMs ran out first.
    bool Wait(uint32_t timeoutMs = kPlatInfinite) const;

private:
    friend struct XEVThreadEndSayer;
    mutable PlatEvent said_{true, false};
    std::atomic<bool> ended_{false};
};

// Runs body on a counted thread at that priority; its end, or null (body not run) when the
// system refuses a thread. The threads are kept for the bodies after: one is started only when
// none of that priority waits for a body.
std::shared_ptr<const XEVThreadEnd> XEVStartCounted(std::function<void()> body,
                                                    PlatThreadPriority priority = PlatThreadPriority::Normal);
// The same for an owner that never asks for the end. False, body not run, when refused.
bool XEVStartDetached(std::function<void()> body);
// Threads the process has started to run counted bodies.
size_t XEVThreadsStarted();
// Counted threads whose body, or what it held, is not gone yet.
size_t XEVDetachedRunning();
// A counted body that removes files rather than reads the medium says so while it removes, so
// that an end which stops waiting for it says what it was doing.
class XEVCountedRemoval {
public:
    XEVCountedRemoval();
    ~XEVCountedRemoval();
    XEVCountedRemoval(const XEVCountedRemoval&) = delete;
    XEVCountedRemoval& operator=(const XEVCountedRemoval&) = delete;
};
// Of those running, the ones inside an XEVCountedRemoval.
size_t XEVDetachedRemoving();
// Waits until none counts or end has come; true when none counts.
bool XEVWaitDetached(std::chrono::steady_clock::time_point end);
