#include "shell/xevmessage.h"

#include "platform/platevent.h"
#include "testsupport/pump.h"
#include "testsupport/qtguitestapp.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A QThread running an event loop, with one receiver made on it. The hand-overs go through
// events of our own, which ThreadSanitizer sees, not through Qt.
class LoopThread {
public:
    explicit LoopThread(std::function<void(XEVMessageReceiver&)> setup)
    {
        thread_.reset(QThread::create([this, setup] {
            receiver_ = new XEVMessageReceiver;
            setup(*receiver_);
            handle_ = receiver_->Handle();
            made_.Set();
            QEventLoop loop;
            loop.exec();
            exited_.Set();
        }));
        thread_->start();
        made_.Wait();
    }
    ~LoopThread()
    {
        Finish();
        delete receiver_;
    }
    void Finish()
    {
        thread_->quit();
        exited_.Wait();
        thread_->wait();
    }
    XEVWindowHandle Handle() const { return handle_; }
    QThread* Thread() { return thread_.get(); }

private:
    std::unique_ptr<QThread> thread_;
    PlatEvent made_{true, false};
    PlatEvent exited_{true, false};
    XEVMessageReceiver* receiver_ = nullptr;
    XEVWindowHandle handle_;
};

constexpr uint32_t kMsgA = 0x1411;
constexpr uint32_t kMsgB = 0x1412;

}   // namespace

TEST(XEVMessage, HandlesAreNullByDefaultAndDieWithTheirReceiver)
{
    XEVWindowHandle none;
    EXPECT_TRUE(none.IsNull());
    EXPECT_FALSE(none.IsAlive());
    EXPECT_FALSE(XEVPostMessage(none, kMsgA));
    EXPECT_EQ(XEVSendMessage(none, kMsgA), 0);

    auto receiver = std::make_unique<XEVMessageReceiver>();
    receiver->SetHandler(kMsgA, [](XEVWParam, XEVLParam) -> XEVResult { return 5; });
    const XEVWindowHandle handle = receiver->Handle();
    const XEVWindowHandle copy = handle;
    EXPECT_TRUE(copy == handle);
    EXPECT_FALSE(copy == none);
    EXPECT_TRUE(copy.IsAlive());
    EXPECT_EQ(XEVSendMessage(copy, kMsgA), 5);
    EXPECT_TRUE(XEVPostMessage(copy, kMsgA));
    receiver.reset();   // the posted message is dropped with it
    EXPECT_FALSE(copy.IsNull());
    EXPECT_FALSE(copy.IsAlive());
    EXPECT_FALSE(XEVPostMessage(copy, kMsgA));
    EXPECT_EQ(XEVSendMessage(copy, kMsgA), 0);
}

TEST(XEVMessage, ApplicationIdsAreRegisteredEventTypes)
{
    XEVRegisterMessageIds();
    for (uint32_t id : kXEVMessageIds) {
        EXPECT_NE(QEvent::registerEventType(int(id)), int(id)) << id;
    }
}

TEST(XEVMessage, PostedMessageCarriesItsParametersAndIdsOutsideUserTypesAreRefused)
{
    XEVMessageReceiver receiver;
    std::vector<std::pair<XEVWParam, XEVLParam>> got;
    receiver.SetHandler(kMsgB, [&](XEVWParam w, XEVLParam l) -> XEVResult {
        got.emplace_back(w, l);
        return 0;
    });
    const XEVWParam bigW = ~XEVWParam{0};
    ASSERT_TRUE(XEVPostMessage(receiver.Handle(), kMsgB, bigW, -1001));
    EXPECT_TRUE(got.empty());   // posting never calls the handler directly
    ASSERT_TRUE(PumpUntil([&] { return !got.empty(); }));
    EXPECT_EQ(got[0].first, bigW);
    EXPECT_EQ(got[0].second, -1001);
    EXPECT_FALSE(XEVPostMessage(receiver.Handle(), 5));
    EXPECT_FALSE(XEVPostMessage(receiver.Handle(), 70000));
    EXPECT_EQ(XEVSendMessage(receiver.Handle(), 0x1450), 0);   // no handler
}

TEST(XEVMessage, PostsFromFourThreadsArriveCompleteAndInOrder)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 10000;
    XEVMessageReceiver receiver;
    std::vector<std::vector<XEVLParam>> seen(kThreads);
    int total = 0;
    receiver.SetHandler(kMsgA, [&](XEVWParam w, XEVLParam l) -> XEVResult {
        seen.at(w).push_back(l);
        ++total;
        return 0;
    });
    const XEVWindowHandle handle = receiver.Handle();
    std::atomic<int> failed{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (!XEVPostMessage(handle, kMsgA, static_cast<XEVWParam>(t), i)) {
                    ++failed;
                }
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    ASSERT_TRUE(PumpUntil([&] { return total == kThreads * kPerThread; })) << total;
    EXPECT_EQ(failed.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<size_t>(kPerThread));
        for (int i = 0; i < kPerThread; ++i) {
            ASSERT_EQ(seen[t][i], i) << "thread " << t;
        }
    }
}

TEST(XEVMessage, PostsRacingTheReceiversDeathFailHarmlessly)
{
    auto receiver = std::make_unique<XEVMessageReceiver>();
    int delivered = 0;
    receiver->SetHandler(kMsgA, [&](XEVWParam, XEVLParam) -> XEVResult { return ++delivered; });
    const XEVWindowHandle handle = receiver->Handle();
    std::atomic<long> accepted{0};
    std::atomic<int> started{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&] {
            ++started;
            while (XEVPostMessage(handle, kMsgA, 0, 0)) {
                ++accepted;
            }
        });
    }
    ASSERT_TRUE(PumpUntil([&] { return started.load() == 4 && delivered > 100; }));
    receiver.reset();
    for (auto& p : posters) {
        p.join();   // every poster has seen its post refused
    }
    EXPECT_FALSE(handle.IsAlive());
    EXPECT_LE(delivered, accepted.load());
    QCoreApplication::processEvents();
}

TEST(XEVMessage, SendOnTheReceiversThreadIsADirectCall)
{
    XEVMessageReceiver receiver;
    int depth = 0;
    receiver.SetHandler(kMsgA, [&](XEVWParam w, XEVLParam l) -> XEVResult {
        ++depth;
        return static_cast<XEVResult>(w) * 10 + l;
    });
    EXPECT_EQ(XEVSendMessage(receiver.Handle(), kMsgA, 4, 2), 42);
    EXPECT_EQ(depth, 1);
}

TEST(XEVMessage, CrossThreadSendReturnsTheHandlersValue)
{
    std::atomic<QThread*> ranOn{nullptr};
    LoopThread worker([&](XEVMessageReceiver& r) {
        r.SetHandler(kMsgA, [&](XEVWParam w, XEVLParam l) -> XEVResult {
            ranOn = QThread::currentThread();
            return static_cast<XEVResult>(w) * 10 + l;
        });
    });
    EXPECT_EQ(XEVSendMessage(worker.Handle(), kMsgA, 4, 2), 42);
    EXPECT_EQ(ranOn.load(), worker.Thread());

    // Several senders at once each get their own answer.
    std::vector<std::future<XEVResult>> answers;
    for (int t = 0; t < 4; ++t) {
        answers.push_back(std::async(std::launch::async, [&, t] {
            XEVResult sum = 0;
            for (int i = 0; i < 200; ++i) {
                sum += XEVSendMessage(worker.Handle(), kMsgA, static_cast<XEVWParam>(t), 1);
            }
            return sum;
        }));
    }
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(answers[t].get(), 200 * (t * 10 + 1));
    }

    // And a worker's send to the main thread is answered by the main thread's loop.
    XEVMessageReceiver main;
    main.SetHandler(kMsgB, [](XEVWParam w, XEVLParam) -> XEVResult { return static_cast<XEVResult>(w) + 1; });
    auto fromWorker = std::async(std::launch::async, [&] { return XEVSendMessage(main.Handle(), kMsgB, 99, 0); });
    ASSERT_TRUE(PumpUntil([&] { return fromWorker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(fromWorker.get(), 100);
}

TEST(XEVMessage, SendToAThreadThatLeftItsLoopReturnsZeroAtOnce)
{
    std::atomic<int> handled{0};
    LoopThread worker([&](XEVMessageReceiver& r) {
        r.SetHandler(kMsgA, [&](XEVWParam, XEVLParam) -> XEVResult { return ++handled; });
    });
    EXPECT_EQ(XEVSendMessage(worker.Handle(), kMsgA), 1);
    worker.Finish();
    auto late = std::async(std::launch::async, [&] { return XEVSendMessage(worker.Handle(), kMsgA); });
    ASSERT_EQ(late.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(late.get(), 0);
    EXPECT_EQ(handled.load(), 1);
    EXPECT_TRUE(worker.Handle().IsAlive());   // the receiver lives on; only its loop is gone
}

TEST(XEVMessage, SendWaitingWhileTheThreadLeavesItsLoopReturnsZero)
{
    PlatEvent inA(true, false);
    PlatEvent go(true, false);
    std::atomic<bool> ranB{false};
    LoopThread worker([&](XEVMessageReceiver& r) {
        r.SetHandler(kMsgA, [&](XEVWParam, XEVLParam) -> XEVResult {
            inA.Set();
            go.Wait();
            return 0;
        });
        r.SetHandler(kMsgB, [&](XEVWParam, XEVLParam) -> XEVResult {
            ranB = true;
            return 7;
        });
    });
    ASSERT_TRUE(XEVPostMessage(worker.Handle(), kMsgA));
    ASSERT_TRUE(inA.Wait(10000));
    auto waiting = std::async(std::launch::async, [&] { return XEVSendMessage(worker.Handle(), kMsgB); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    worker.Thread()->quit();
    go.Set();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    worker.Finish();
    EXPECT_FALSE(ranB.load());
}

TEST(XEVMessage, SendWaitingWhileTheReceiverDiesReturnsZero)
{
    auto receiver = std::make_unique<XEVMessageReceiver>();
    std::atomic<bool> ran{false};
    receiver->SetHandler(kMsgA, [&](XEVWParam, XEVLParam) -> XEVResult {
        ran = true;
        return 3;
    });
    const XEVWindowHandle handle = receiver->Handle();
    auto waiting = std::async(std::launch::async, [&] { return XEVSendMessage(handle, kMsgA); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    receiver.reset();   // without running the main loop
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(waiting.get(), 0);
    EXPECT_FALSE(ran.load());
}
