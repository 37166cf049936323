#pragma once

#include "platform/platevent.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

enum class PlatThreadPriority {
    Normal,
    Lowest,   // a raised nice value; a refusal by the system is no error
};

// A thread created suspended: its body runs only after Resume. Join waits for the body;
// it may be called more than once. A thread that is joined or destroyed without having
// been resumed ends without running its body, so neither ever hangs on it.
class PlatThread {
public:
    PlatThread() = default;
    ~PlatThread();
    PlatThread(const PlatThread&) = delete;
    PlatThread& operator=(const PlatThread&) = delete;

    // False when a thread was already created or the system refused a new one.
    bool Create(std::function<void()> body, PlatThreadPriority priority = PlatThreadPriority::Normal);
    // False when there is no created thread or it was resumed before.
    bool Resume();
    void Join();
    bool IsCreated() const;

private:
    enum class Start { Waiting, Run, Cancel };
    void Run(std::function<void()> body, PlatThreadPriority priority);

    mutable std::mutex mutex_;
    std::thread thread_;
    PlatEvent startGate_{true, false};
    std::atomic<Start> start_{Start::Waiting};
    bool created_ = false;
};

// Gives the calling thread that priority; Normal leaves it as it is.
void PlatSetCurrentThreadPriority(PlatThreadPriority priority);

// The nice value added to a thread started with the lowest priority.
constexpr int kPlatLowestPriorityNiceStep = 10;
