#include "platform/platevent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

TEST(PlatEvent, ManualResetReleasesEveryWaiterAndStaysSet)
{
    PlatEvent event(true, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait()) {
                ++released;
            }
        });
    }
    event.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 4);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(PlatEvent, AutoResetReleasesExactlyOneOfTwo)
{
    PlatEvent event(false, false);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (event.Wait(400)) {
                ++released;
            }
        });
    }
    event.Set();
    for (auto& t : waiters) {
        t.join();
    }
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event.Wait(0));
}

TEST(PlatEvent, TimedWaitOnAnUnsetEventTimesOut)
{
    PlatEvent event(true, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(event.Wait(50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(PlatEvent, InitialStateAndAutoResetConsumption)
{
    PlatEvent set(false, true);
    EXPECT_TRUE(set.Wait(0));
    EXPECT_FALSE(set.Wait(0));
    PlatEvent manual(true, true);
    EXPECT_TRUE(manual.Wait());
    EXPECT_TRUE(manual.Wait());
}
