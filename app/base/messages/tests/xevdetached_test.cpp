#include "shell/xevdetached.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "testsupport/pump.h"

namespace {

// A gate the bodies wait at until the test opens it.
struct Gate {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    void Open()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        opened.notify_all();
    }
    void Wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        opened.wait(lock, [this] { return open; });
    }
};

// Held by a body; its end is counted, slowly enough that a count dropped before it would be
// seen.
struct Held {
    explicit Held(std::atomic<int>& gone) : gone_(gone) {}
    ~Held()
    {
        std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ++gone_;
    }
    std::atomic<int>& gone_;
};

std::chrono::steady_clock::time_point NoCeiling()
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(kNoCeilingWaitMs);
}

}   // namespace

// The program's end waits on the count: a thread counts until its body has returned and what
// the body held is gone, and a wait whose time has come says that some still run.
TEST(DetachedThreads, CountUntilTheirBodyAndWhatItHeldHaveGone)
{
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    ASSERT_EQ(XEVDetachedRunning(), 0u);
    constexpr int kThreads = 4;
    auto gate = std::make_shared<Gate>();
    std::atomic<int> ran{0};
    std::atomic<int> gone{0};
    for (int i = 0; i < kThreads; ++i) {
        auto held = std::make_shared<Held>(gone);
        ASSERT_TRUE(XEVStartDetached([gate, held, &ran] {
            gate->Wait();
            ++ran;
        }));
    }
    EXPECT_EQ(XEVDetachedRunning(), size_t(kThreads));
    EXPECT_FALSE(XEVWaitDetached(std::chrono::steady_clock::now()));
    EXPECT_EQ(ran.load(), 0);

    gate->Open();
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    EXPECT_EQ(XEVDetachedRunning(), 0u);
    EXPECT_EQ(ran.load(), kThreads);
    EXPECT_EQ(gone.load(), kThreads);
}

// An owner that must know a counted thread has ended waits for its end, never for the thread:
// the end is said only once what the body held is gone, and before the count lets the thread
// go. The lowest priority lowers the thread's own priority only.
TEST(DetachedThreads, AnEndIsSaidOnceWhatTheBodyHeldIsGoneAndPriorityIsTheThreadsOwn)
{
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    auto gate = std::make_shared<Gate>();
    std::atomic<int> gone{0};
    std::atomic<int> niceInBody{-100};
    errno = 0;
    const int niceHere = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
    ASSERT_EQ(errno, 0);
    auto held = std::make_shared<Held>(gone);
    const std::shared_ptr<const XEVThreadEnd> end = XEVStartCounted(
        [gate, held, &niceInBody] {
            niceInBody = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
            gate->Wait();
        },
        PlatThreadPriority::Lowest);
    held.reset();
    ASSERT_NE(end, nullptr);
    EXPECT_FALSE(end->Wait(0));
    EXPECT_FALSE(end->Ended());
    EXPECT_EQ(XEVDetachedRunning(), 1u);

    gate->Open();
    ASSERT_TRUE(end->Wait(kNoCeilingWaitMs));
    EXPECT_TRUE(end->Ended());
    EXPECT_EQ(gone.load(), 1);
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    if (niceHere < 19) {
        EXPECT_GT(niceInBody.load(), niceHere);
    }
    errno = 0;
    EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid))), niceHere);
}

// Bodies one after another run on the threads kept from the bodies before; bodies at once
// each get a thread, however many wait: one held at its gate never holds another back.
TEST(DetachedThreads, ThreadsAreKeptForTheBodiesAfter)
{
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    const size_t before = XEVThreadsStarted();
    constexpr int kOneAfterAnother = 40;
    int ran = 0;
    for (int i = 0; i < kOneAfterAnother; ++i) {
        const std::shared_ptr<const XEVThreadEnd> end = XEVStartCounted([&ran] { ++ran; });
        ASSERT_NE(end, nullptr);
        ASSERT_TRUE(end->Wait(kNoCeilingWaitMs));
    }
    EXPECT_EQ(ran, kOneAfterAnother);
    EXPECT_LE(XEVThreadsStarted() - before, 6u);

    constexpr int kAtOnce = 10;
    auto gate = std::make_shared<Gate>();
    std::atomic<int> waiting{0};
    for (int i = 0; i < kAtOnce; ++i) {
        ASSERT_TRUE(XEVStartDetached([gate, &waiting] {
            ++waiting;
            gate->Wait();
        }));
    }
    EXPECT_TRUE(PumpUntil([&] { return waiting.load() == kAtOnce; }, kNoCeilingWaitMs));
    gate->Open();
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
}
