#include <gtest/gtest.h>

#include <QThread>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "loadertestkit.h"
#include "shell/xevmessageids.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "study/xevthread.h"
#include "study/xevvekhelper.h"
#include "testsupport/discmeter.h"
#include "testsupport/fixtures.h"
#include "testsupport/workeridle.h"

namespace {

// Jobs over one fixture, each its own record, reporting to the recorder.
std::vector<std::unique_ptr<ImageInfo>> MakeJobs(size_t count, const MessageRecorder& recorder,
                                                 const char* name = "ct_s16.dcm")
{
    std::vector<std::unique_ptr<ImageInfo>> jobs;
    for (size_t i = 0; i < count; ++i) {
        auto job = std::make_unique<ImageInfo>();
        job->filePath = FrameFixture(name);
        job->notifyWindow = recorder.Handle();
        jobs.push_back(std::move(job));
    }
    return jobs;
}

class JobHostTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(host_.Start()); }
    void TearDown() override { host_.Shutdown(); }

    XEVWindowHandle Window() const { return host_.Window(); }
    // The worker has run every job given before.
    bool UntilWorkerIdle() const { return PumpUntilWorkerIdle(Window()); }
    // The worker's body has ended, one let go by a stop too.
    static bool UntilWorkerEnded()
    {
        return PumpUntil([] { return XEVDetachedRunning() == 0; });
    }
    // A send the window answers at once: what was posted to it before has been taken up.
    void Flush() const
    {
        const std::vector<ImageInfo*> none;
        XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&none));
    }
    void Queue(const std::vector<std::unique_ptr<ImageInfo>>& jobs, size_t from = 0)
    {
        for (size_t i = from; i < jobs.size(); ++i) {
            XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, i % 2, 0);   // dropped below when wParam 1
            if (i % 2 == 0) {
                XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, 0, reinterpret_cast<XEVLParam>(jobs[i].get()));
            } else {
                const std::vector<ImageInfo*> one{jobs[i].get()};
                XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&one));
            }
        }
    }
    // The jobs in the order their loads were reported.
    static std::vector<XEVWParam> Reported(const MessageRecorder& recorder)
    {
        std::vector<XEVWParam> order;
        for (const auto& m : recorder.Messages()) {
            if (m.id == WM_XEV_IMAGE_LOADED)
                order.push_back(m.wParam);
        }
        return order;
    }

    CXEVFileLoadCtrlThread host_;
};

}   // namespace

TEST_F(JobHostTest, LoaderWindowLivesOnTheHostThreadAndIsPublished)
{
    EXPECT_TRUE(Window().IsAlive());
    EXPECT_TRUE(GetLoadState().GetLoaderWindow() == Window());
    EXPECT_FALSE(host_.Window() == XEVWindowHandle());
}

TEST_F(JobHostTest, QueuedJobsAreDecodedOnceEachInQueueOrderBeforeTheWorkerIsIdle)
{
    MessageRecorder recorder;
    auto jobs = MakeJobs(20, recorder);
    Queue(jobs);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(UntilWorkerIdle());
    for (const auto& job : jobs) {
        ASSERT_NE(job->GetHelper(), nullptr);
        EXPECT_NE(job->GetHelper()->GetFrame(0), nullptr);
    }
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_IMAGE_LOADED) >= 20; }));
    recorder.Drain();
    const auto order = Reported(recorder);
    ASSERT_EQ(order.size(), 20u);
    for (size_t i = 0; i < 20; ++i) {
        EXPECT_EQ(order[i], reinterpret_cast<XEVWParam>(jobs[i].get())) << i;
    }
}

TEST_F(JobHostTest, PostedVectorIsRefusedAndEmptyStartRunsNothing)
{
    MessageRecorder recorder;
    auto jobs = MakeJobs(2, recorder);
    static std::vector<ImageInfo*> vector;
    vector = {jobs[0].get(), jobs[1].get()};
    XEVPostMessage(Window(), WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&vector));
    XEVPostMessage(Window(), WM_XEV_LOADER_QUEUE, 7, reinterpret_cast<XEVLParam>(jobs[0].get()));
    XEVPostMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(UntilWorkerIdle());
    recorder.Drain();
    EXPECT_EQ(recorder.Count(WM_XEV_IMAGE_LOADED), 0u);
    EXPECT_EQ(jobs[0]->GetHelper(), nullptr);

    // Posted single jobs are fine.
    XEVPostMessage(Window(), WM_XEV_LOADER_QUEUE, 0, reinterpret_cast<XEVLParam>(jobs[1].get()));
    XEVPostMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(UntilWorkerIdle());
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_IMAGE_LOADED) == 1; }));
}

TEST_F(JobHostTest, TwoStartsRunEveryJobOnce)
{
    MessageRecorder recorder;
    auto jobs = MakeJobs(60, recorder);
    Queue(jobs);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, 0, reinterpret_cast<XEVLParam>(jobs[0].get()));
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(UntilWorkerIdle());
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_IMAGE_LOADED) >= 61; }));
    recorder.Drain();
    std::map<XEVWParam, int> seen;
    for (XEVWParam w : Reported(recorder))
        ++seen[w];
    ASSERT_EQ(seen.size(), 60u);
    EXPECT_EQ(seen[reinterpret_cast<XEVWParam>(jobs[0].get())], 2);   // queued twice, run twice
    for (size_t i = 1; i < jobs.size(); ++i) {
        EXPECT_EQ(seen[reinterpret_cast<XEVWParam>(jobs[i].get())], 1) << i;
    }
}

// Starts while the worker works add jobs, not threads: one counted body runs them all, and
// the first start after it ended begins the next.
TEST_F(JobHostTest, StartsWhileItWorksAddJobsToTheOneWorker)
{
    MessageRecorder recorder;
    auto jobs = MakeJobs(300, recorder, "rle_ct_gdcm.dcm");
    const int idle = ProcessThreadCount();
    Queue(jobs);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    EXPECT_EQ(XEVDetachedRunning(), 1u);
    auto later = MakeJobs(3, recorder);
    for (int round = 0; round < 3; ++round) {
        XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, 0, reinterpret_cast<XEVLParam>(later[size_t(round)].get()));
        XEVSendMessage(Window(), WM_XEV_LOADER_START);
        EXPECT_LE(ProcessThreadCount(), idle + 1) << round;
        EXPECT_LE(XEVDetachedRunning(), 1u) << round;
    }
    ASSERT_TRUE(UntilWorkerIdle());
    for (const auto& job : jobs) {
        EXPECT_NE(job->GetHelper(), nullptr);
    }
    for (const auto& job : later) {
        EXPECT_NE(job->GetHelper(), nullptr);
    }
    // The worker's body, counted, is gone right after (its thread is kept for the next body).
    EXPECT_TRUE(UntilWorkerEnded());
    EXPECT_LE(ProcessThreadCount(), idle + 1);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_IMAGE_LOADED) >= 303; }));
    // A start with the queue drained starts nothing.
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    EXPECT_EQ(XEVDetachedRunning(), 0u);
}

TEST_F(JobHostTest, StopEmptiesTheQueueReturnsAfterTheCurrentJobAndLaterJobsRun)
{
    MessageRecorder recorder;
    auto jobs = MakeJobs(500, recorder, "rle_ct_gdcm.dcm");
    Queue(jobs);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_IMAGE_LOADED) >= 1; }));
    XEVSendMessage(Window(), WM_XEV_LOADER_STOP);
    // The stop waits for no worker; the one under way ends its job on its own.
    ASSERT_TRUE(UntilWorkerEnded());
    recorder.Drain();
    const size_t done = recorder.Count(WM_XEV_IMAGE_LOADED);
    EXPECT_LT(done, 500u);
    size_t decoded = 0;
    for (const auto& job : jobs)
        decoded += job->GetHelper() != nullptr ? 1 : 0;
    EXPECT_EQ(decoded, done);   // no job ran beyond the one under way
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    recorder.Drain();
    EXPECT_EQ(recorder.Count(WM_XEV_IMAGE_LOADED), done);

    auto later = MakeJobs(3, recorder);
    Queue(later);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(UntilWorkerIdle());
    ASSERT_TRUE(PumpUntil([&] { return recorder.Count(WM_XEV_IMAGE_LOADED) == done + 3; }));
}

TEST(RunImageJobTest, StartFramesForcedLoadsAndMultiFrameFiles)
{
    XEVLoadState& state = GetLoadState();
    ImageInfo multi;
    multi.filePath = FrameFixture("multi10.dcm");
    CXEVThreadUI::RunImageJob(&multi);
    ASSERT_NE(multi.GetHelper(), nullptr);
    EXPECT_EQ(multi.GetHelper()->frameCount, 10);
    EXPECT_EQ(multi.GetHelper()->frames.size(), 1u);   // a multi-frame file gives its first frame only

    state.perFrameEntries = 1;
    ImageInfo skipped;
    skipped.filePath = FrameFixture("multi10.dcm");
    skipped.startFrame = -1;
    CXEVThreadUI::RunImageJob(&skipped);
    EXPECT_EQ(skipped.GetHelper(), nullptr);

    // The entry of frame 3 of a file whose header is read loads that frame.
    multi.startFrame = 3;
    CXEVThreadUI::RunImageJob(&multi);
    EXPECT_NE(multi.GetHelper()->GetFrame(3), nullptr);
    EXPECT_EQ(multi.GetHelper()->frames.size(), 2u);
    state.perFrameEntries = 0;

    ImageInfo forced;
    forced.filePath = FrameFixture("ct_s16.dcm");
    forced.forced = 1;
    CXEVThreadUI::RunImageJob(&forced);
    EXPECT_EQ(forced.forced, 0);
    EXPECT_NE(forced.GetHelper()->GetFrame(0), nullptr);

    ImageInfo missing;
    missing.filePath = FrameFixture("absent.dcm");
    CXEVThreadUI::RunImageJob(&missing);   // the failure ends the job
    EXPECT_EQ(missing.GetHelper()->statusCode, -2001);
}

TEST(JobHostShutdownTest, ShutdownWithoutStartReturnsAndTwiceIsHarmless)
{
    CXEVFileLoadCtrlThread never;
    never.Shutdown();
    CXEVFileLoadCtrlThread host;
    ASSERT_TRUE(host.Start());
    const XEVWindowHandle window = host.Window();
    host.Shutdown();
    EXPECT_FALSE(window.IsAlive());
    EXPECT_TRUE(host.isFinished());
    host.Shutdown();
    EXPECT_EQ(XEVSendMessage(window, WM_XEV_LOADER_START), 0);
}

namespace {

// Holds the worker in its first request to the medium until let go.
HeldRead heldRead;
void HoldRead(const std::string&, int64_t, int32_t)
{
    heldRead.Pass();
}
void LetTheReadGo()
{
    heldRead.Joined();
}

}   // namespace

// The host goes (the window closing) while its worker is in a read: nothing waits for the
// worker, which ends after its block on the queues it shares, and the process knows of it
// until then.
TEST(JobHostEndTest, AHostThatGoesLetsItsWorkerInAReadEndOnItsOwn)
{
    MessageRecorder recorder;
    const auto jobs = MakeJobs(2, recorder);
    CXEVFileLoadCtrlThread host;
    ASSERT_TRUE(host.Start());
    heldRead.Arm();
    XEVSetReadObserver(HoldRead);
    XEVSetJoinObserver(LetTheReadGo);
    const std::vector<ImageInfo*> queued{jobs[0].get(), jobs[1].get()};
    XEVSendMessage(host.Window(), WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&queued));
    XEVSendMessage(host.Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(PumpUntil([] { return heldRead.reads.load() == 1; }));

    host.Shutdown();
    EXPECT_EQ(heldRead.joins.load(), 0);
    EXPECT_EQ(XEVDetachedRunning(), 1u);
    heldRead.holding = false;
    EXPECT_TRUE(PumpUntil([] { return XEVDetachedRunning() == 0; }));
    XEVSetJoinObserver(nullptr);
    XEVSetReadObserver(nullptr);
}

// Jobs of two cells queued in turns, the first cell's under way in a read when that cell
// leaves the screen: its queued jobs are taken back and the one under way is let go after its
// block, while the other cell's jobs and one that reports to no cell all run, once each. A
// take-back only posted (the sender's list may be gone by then) does nothing.
TEST_F(JobHostTest, ACellsJobsAreTakenBackWhenItLeavesTheScreen)
{
    MessageRecorder gone;
    MessageRecorder stays;
    const auto goneJobs = MakeJobs(3, gone);
    const auto staysJobs = MakeJobs(3, stays);
    ImageInfo behind;
    behind.filePath = FrameFixture("ct_s16.dcm");
    std::vector<ImageInfo*> queued;
    for (size_t i = 0; i < 3; ++i) {
        queued.push_back(goneJobs[i].get());
        queued.push_back(staysJobs[i].get());
    }
    queued.push_back(&behind);
    heldRead.Arm();
    XEVSetReadObserver(HoldRead);
    XEVSendMessage(Window(), WM_XEV_LOADER_QUEUE, 1, reinterpret_cast<XEVLParam>(&queued));
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(PumpUntil([] { return heldRead.reads.load() == 1; }));

    static std::vector<XEVWindowHandle> posted;
    posted = {gone.Handle()};
    XEVPostMessage(Window(), WM_XEV_LOADER_STOP, 1, reinterpret_cast<XEVLParam>(&posted));
    // A null owner is no cell's: the job behind the page stays.
    std::vector<XEVWindowHandle> owners{gone.Handle(), XEVWindowHandle()};
    EXPECT_EQ(XEVSendMessage(Window(), WM_XEV_LOADER_STOP, 1, reinterpret_cast<XEVLParam>(&owners)), 3);
    heldRead.holding = false;
    ASSERT_TRUE(UntilWorkerIdle());
    ASSERT_TRUE(UntilWorkerEnded());
    XEVSetReadObserver(nullptr);
    ASSERT_TRUE(PumpUntil([&] { return stays.Count(WM_XEV_IMAGE_LOADED) >= 3; }));
    gone.Drain();
    stays.Drain();
    EXPECT_EQ(gone.Count(WM_XEV_IMAGE_LOADED), 0u);
    EXPECT_EQ(stays.Count(WM_XEV_IMAGE_LOADED), 3u);
    for (const auto& job : goneJobs) {
        EXPECT_EQ(job->GetHelper(), nullptr);
    }
    for (const auto& job : staysJobs) {
        ASSERT_NE(job->GetHelper(), nullptr);
        EXPECT_NE(job->GetHelper()->GetFrame(0), nullptr);
    }
    ASSERT_NE(behind.GetHelper(), nullptr);
    EXPECT_NE(behind.GetHelper()->GetFrame(0), nullptr);
    // Nothing left to take back.
    EXPECT_EQ(XEVSendMessage(Window(), WM_XEV_LOADER_STOP, 1, reinterpret_cast<XEVLParam>(&owners)), 0);
}

namespace {

// Whether the recorder got the notice, and after how many decoded jobs.
bool Noticed(const MessageRecorder& recorder, XEVWParam token, size_t* loadedBefore = nullptr)
{
    size_t loaded = 0;
    for (const auto& m : recorder.Messages()) {
        if (m.id == WM_XEV_FIRST_IMAGES_READ && m.wParam == token) {
            if (loadedBefore != nullptr) {
                *loadedBefore = loaded;
            }
            return true;
        }
        loaded += m.id == WM_XEV_IMAGE_LOADED ? 1 : 0;
    }
    return false;
}

}   // namespace

// The grid's notice that the first images are read: at once from an idle worker, after every
// job given before it from a busy one, at once on a stop; asking never waits.
TEST_F(JobHostTest, IdleNoticesComeWhenTheWorkerHasRunItsJobsOrIsStopped)
{
    MessageRecorder recorder;
    const auto notify = [&](XEVWParam token) {
        ASSERT_TRUE(XEVNotifyWhenIdle(Window(), {recorder.Handle(), WM_XEV_FIRST_IMAGES_READ, token}));
    };
    notify(1);
    ASSERT_TRUE(PumpUntil([&] { return Noticed(recorder, 1); }));

    heldRead.Arm();
    XEVSetReadObserver(HoldRead);
    const auto jobs = MakeJobs(2, recorder);
    Queue(jobs);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(PumpUntil([] { return heldRead.reads.load() == 1; }));
    notify(2);
    // Answered while the worker reads: the window has taken the notice up by then.
    Flush();
    EXPECT_EQ(XEVDetachedRunning(), 1u);
    recorder.Drain();
    EXPECT_FALSE(Noticed(recorder, 2));
    heldRead.holding = false;
    size_t loadedBefore = 0;
    ASSERT_TRUE(PumpUntil([&] { return Noticed(recorder, 2, &loadedBefore); }));
    EXPECT_EQ(loadedBefore, 2u);

    // A stop: the notice comes while the worker let go is still in its read.
    heldRead.Arm();
    const auto more = MakeJobs(2, recorder);
    Queue(more);
    XEVSendMessage(Window(), WM_XEV_LOADER_START);
    ASSERT_TRUE(PumpUntil([] { return heldRead.reads.load() == 1; }));
    notify(3);
    XEVSendMessage(Window(), WM_XEV_LOADER_STOP);
    ASSERT_TRUE(PumpUntil([&] { return Noticed(recorder, 3); }));
    EXPECT_TRUE(heldRead.holding.load());
    heldRead.holding = false;
    // The jobs outlive the worker's read.
    EXPECT_TRUE(UntilWorkerEnded());
    XEVSetReadObserver(nullptr);
}
