#pragma once

#include <cstdint>
#include <mutex>

// A recursive lock that spins a little before it blocks, for short critical sections
// that the same thread may enter again.
class PlatRecursiveLock {
public:
    explicit PlatRecursiveLock(uint32_t spinCount = 0) : spinCount_(spinCount) {}
    PlatRecursiveLock(const PlatRecursiveLock&) = delete;
    PlatRecursiveLock& operator=(const PlatRecursiveLock&) = delete;

    void Lock()
    {
        for (uint32_t i = 0; i < spinCount_; ++i) {
            if (mutex_.try_lock()) {
                return;
            }
        }
        mutex_.lock();
    }
    bool TryLock() { return mutex_.try_lock(); }
    void Unlock() { mutex_.unlock(); }

    // BasicLockable, so std::lock_guard and std::unique_lock work with it.
    void lock() { Lock(); }
    bool try_lock() { return TryLock(); }
    void unlock() { Unlock(); }

    uint32_t GetSpinCount() const { return spinCount_; }

private:
    std::recursive_mutex mutex_;
    uint32_t spinCount_;
};
