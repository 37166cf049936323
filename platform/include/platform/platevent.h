#pragma once

#include <cstdint>
#include <pthread.h>

// Wait without a time limit.
constexpr uint32_t kPlatInfinite = 0xFFFFFFFFu;

// An event object: manual-reset events stay set until reset and release every waiter;
// auto-reset events release one waiter per Set and reset themselves.
class PlatEvent {
public:
    PlatEvent(bool manualReset, bool initiallySet);
    ~PlatEvent();
    PlatEvent(const PlatEvent&) = delete;
    PlatEvent& operator=(const PlatEvent&) = delete;

    void Set();
    void Reset();
    // True when the event was set (an auto-reset event is consumed), false when the time
    // ran out. The time is measured on the monotonic clock.
    bool Wait(uint32_t timeoutMs = kPlatInfinite);
    bool IsManualReset() const { return manualReset_; }

private:
    // pthread rather than std::condition_variable: the timed wait then uses
    // pthread_cond_timedwait on CLOCK_MONOTONIC, which ThreadSanitizer understands.
    pthread_mutex_t mutex_;
    pthread_cond_t cond_;
    const bool manualReset_;
    bool set_;
};
