#include "platform/platlock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

TEST(PlatRecursiveLock, SameThreadReentersAndOtherThreadsWait)
{
    PlatRecursiveLock lock(4000);
    lock.Lock();
    lock.Lock();
    bool otherGotIt = true;
    std::thread([&] { otherGotIt = lock.TryLock(); }).join();
    EXPECT_FALSE(otherGotIt);
    lock.Unlock();
    lock.Unlock();
    std::thread([&] {
        otherGotIt = lock.TryLock();
        if (otherGotIt) {
            lock.Unlock();
        }
    }).join();
    EXPECT_TRUE(otherGotIt);
}

TEST(PlatRecursiveLock, GuardsACounter)
{
    PlatRecursiveLock lock(100);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                std::lock_guard<PlatRecursiveLock> guard(lock);
                ++counter;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(counter, 80000);
}
