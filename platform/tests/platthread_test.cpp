#include "platform/platthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

TEST(PlatThread, RunsOnlyAfterResumeAndJoinsTwice)
{
    PlatEvent ran(true, false);
    PlatThread thread;
    ASSERT_TRUE(thread.Create([&] { ran.Set(); }));
    EXPECT_FALSE(ran.Wait(100));
    EXPECT_TRUE(thread.Resume());
    EXPECT_FALSE(thread.Resume());
    EXPECT_TRUE(ran.Wait(5000));
    thread.Join();
    thread.Join();
    EXPECT_FALSE(thread.Create([] {}));
}

TEST(PlatThread, JoinWithoutResumeEndsWithoutRunning)
{
    std::atomic<bool> ran{false};
    {
        PlatThread thread;
        ASSERT_TRUE(thread.Create([&] { ran = true; }));
        thread.Join();
        EXPECT_FALSE(thread.Resume());
    }
    {
        PlatThread destroyedSuspended;
        ASSERT_TRUE(destroyedSuspended.Create([&] { ran = true; }));
    }
    EXPECT_FALSE(ran.load());
}

TEST(PlatThread, LowestPriorityRaisesTheNiceValue)
{
    const auto niceOf = [] {
        errno = 0;
        return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    };
    const int base = niceOf();
    int normal = -100;
    int lowest = -100;
    PlatThread a;
    PlatThread b;
    ASSERT_TRUE(a.Create([&] { normal = niceOf(); }, PlatThreadPriority::Normal));
    ASSERT_TRUE(b.Create([&] { lowest = niceOf(); }, PlatThreadPriority::Lowest));
    a.Resume();
    b.Resume();
    a.Join();
    b.Join();
    EXPECT_EQ(normal, base);
    EXPECT_EQ(lowest, std::min(base + kPlatLowestPriorityNiceStep, 19));
}
