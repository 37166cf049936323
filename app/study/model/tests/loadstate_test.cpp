#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "loadertestkit.h"

#include "shell/xevdetached.h"
#include "study/xevloadstate.h"
#include "study/xevstagedread.h"
#include "study/xevstudymodel.h"
#include "study/xevthread.h"
#include "study/xevvekhelper.h"

TEST(XEVThreadTest, GateHoldsThreadsAndWaitAllJoinsThemAndLeavesTheGateOpen)
{
    XEVThread list;
    EXPECT_TRUE(list.IsEmpty());
    list.WaitAll();   // empty list: nothing to join, the gate stays usable
    list.WaitGate();

    list.ResetGate();
    std::atomic<int32_t> passed{0};
    std::atomic<int32_t> ran{0};
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(list.Start([&] {
            ++ran;
            list.WaitGate();
            ++passed;
        }));
    }
    EXPECT_EQ(list.Count(), 3u);
    ASSERT_TRUE(Eventually([&] { return ran.load() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(passed.load(), 0);

    // Nobody opened the gate: WaitAll must not hang on threads parked at it.
    list.WaitAll();
    EXPECT_EQ(passed.load(), 3);
    EXPECT_TRUE(list.IsEmpty());
    list.WaitGate();

    // The gate outlives WaitAll: another thread may still close and open it.
    list.ResetGate();
    std::thread opener([&] { list.SetGate(); });
    list.WaitGate();
    opener.join();
}

TEST(XEVThreadTest, StartRacingWaitAllRunsEveryBodyOnce)
{
    XEVThread list;
    std::atomic<int32_t> ran{0};
    std::thread starter([&] {
        for (int i = 0; i < 200; ++i) {
            ASSERT_TRUE(list.Start([&] { ++ran; }));
        }
    });
    for (int i = 0; i < 50; ++i) {
        list.WaitAll();
    }
    starter.join();
    list.WaitAll();
    EXPECT_EQ(ran.load(), 200);
}

namespace {

// Held by a body; counted once gone.
struct HeldByBody {
    explicit HeldByBody(std::atomic<int32_t>& gone) : gone_(gone) {}
    ~HeldByBody() { ++gone_; }
    std::atomic<int32_t>& gone_;
};

std::chrono::steady_clock::time_point NoCeiling()
{
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(kNoCeilingWaitMs);
}

}   // namespace

// A list's threads are the program's counted readers: waiting for them means what their bodies
// held is gone, and an owner that lets them go and goes itself leaves them counted until they
// end, so that the program's end still waits for them.
TEST(XEVThreadTest, ListThreadsStayCountedUntilWhatTheyHeldIsGoneEvenWhenLetGo)
{
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    std::atomic<int32_t> gone{0};
    {
        XEVThread list;
        ASSERT_TRUE(list.Start([held = std::make_shared<HeldByBody>(gone)] {}));
        list.WaitAll();
        EXPECT_EQ(gone.load(), 1);
    }

    std::atomic<bool> release{false};
    auto list = std::make_unique<XEVThread>();
    ASSERT_TRUE(list->Start([&release, held = std::make_shared<HeldByBody>(gone)] {
        while (!release.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }));
    ASSERT_TRUE(list->Start([] {}, PlatThreadPriority::Lowest));
    list->LetGo();
    EXPECT_TRUE(list->IsEmpty());
    // The owner goes without waiting; the one still running counts.
    list.reset();
    EXPECT_GE(XEVDetachedRunning(), 1u);
    EXPECT_FALSE(XEVWaitDetached(std::chrono::steady_clock::now()));
    EXPECT_EQ(gone.load(), 1);
    release = true;
    ASSERT_TRUE(XEVWaitDetached(NoCeiling()));
    EXPECT_EQ(gone.load(), 2);
}

class LoadStateTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        XEVLoadState& state = GetLoadState();
        state.StopPreload();
        state.preloadThread.WaitAll();
        state.preloadThread.stop = 0;
        state.preloadRunning = 0;
        state.painting = 0;
    }
};

TEST_F(LoadStateTest, PauseResumeAndRunningFlagFollowTheThreadList)
{
    XEVLoadState& state = GetLoadState();
    state.preloadRunning = 1;
    EXPECT_EQ(state.IsPreloadRunning(), 0);   // no thread: the stale flag is cleared
    EXPECT_EQ(state.preloadRunning.load(), 0);

    std::atomic<int32_t> passes{0};
    ASSERT_TRUE(state.preloadThread.Start([&] {
        while (state.preloadThread.stop.load() == 0) {
            state.preloadThread.WaitGate();
            ++passes;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }));
    state.preloadRunning = 1;
    EXPECT_EQ(state.IsPreloadRunning(), 1);

    state.BeginPaint();
    EXPECT_EQ(state.painting.load(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const int32_t held = passes.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LE(passes.load(), held + 1);

    const int64_t before = XEVSteadyMilliseconds();
    state.EndPaint();
    EXPECT_EQ(state.painting.load(), 0);
    EXPECT_GE(state.GetLastPaintEnd(), before);
    ASSERT_TRUE(Eventually([&] { return passes.load() > held + 2; }));

    // Once told to stop, a pause no longer closes the gate.
    state.StopPreload();
    state.PausePreload();
    state.preloadThread.WaitAll();
    EXPECT_EQ(state.IsPreloadRunning(), 0);
}

// A decoder pausing the pre-load while the GUI stops and joins it must not deadlock.
TEST_F(LoadStateTest, DecoderPausesWhileTheGuiJoinsThePreload)
{
    XEVLoadState& state = GetLoadState();
    std::atomic<bool> done{false};
    std::thread decoder([&] {
        while (!done.load()) {
            if (state.IsPreloadRunning() != 0) {
                state.PausePreload();
            }
            std::this_thread::yield();
        }
    });
    for (int round = 0; round < 100; ++round) {
        state.StopPreload();
        state.preloadThread.WaitAll();
        state.preloadThread.stop = 0;
        state.preloadRunning = 1;
        ASSERT_TRUE(state.preloadThread.Start([&] {
            while (state.preloadThread.stop.load() == 0) {
                state.preloadThread.WaitGate();
            }
            state.preloadRunning = 0;
        }));
        state.ResumePreload();
    }
    done = true;
    decoder.join();
}

// A reader let go by the view before looks for a missing file among the archive's members
// while a File Open sets another archive: the archive is read under the state's lock (the
// ThreadSanitizer runs catch a read that is not).
TEST(ArchiveStateTest, AReaderLooksForAMemberWhileAnotherArchiveIsSet)
{
    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const std::string base = temp.path().toStdString();
    ImageInfo missing;
    missing.SetFilePath(temp.path() + QStringLiteral("/Kestro/IMG/I01"));
    GetLoadState().SetArchive(base + "/a.zip", base + "/Kestro");
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int k = 0; k < 20; ++k) {
            int32_t frame = 0;
            missing.LoadImage(frame, XEVWindowHandle(), 1, nullptr);
        }
        done = true;
    });
    for (int k = 0; !done.load(); ++k) {
        GetLoadState().SetArchive(base + (k % 2 != 0 ? "/b.zip" : "/a.zip"), base + "/Kestro");
    }
    reader.join();
    GetLoadState().SetArchive(std::string(), std::string());
    ASSERT_NE(missing.GetHelper(), nullptr);
    EXPECT_NE(missing.GetHelper()->statusCode, 0);
}

namespace {

// The child's reader: holds the medium's turn until the process's end lets it go.
std::atomic<bool> readerHolds{false};
std::atomic<bool> readerMayGo{false};
std::thread* reader = nullptr;

// Registered before the medium's turn and the load state are first used, so that it runs after
// whatever of them the end of the process destroys.
void LetTheReaderEnd()
{
    // Relaxed: the reader ends on its own, as a read that returns does, ordered after nothing the
    // end of the process did.
    readerMayGo.store(true, std::memory_order_relaxed);
    reader->join();
    std::printf("the reader gave its turn back\n");
    std::fflush(stdout);
}

}   // namespace

// What a reader of the medium uses beyond what it holds (the medium's turn, the load state)
// lives as long as the process: a reader that gives its turn back and looks at the load state
// while the process ends normally, its statics destroyed, touches nothing destroyed (the
// sanitizers' builds would report it).
TEST(ProcessLifetimeTest, AReaderEndingDuringTheProcesssEndTouchesNothingDestroyed)
{
    if (qEnvironmentVariableIsSet("KV_LIFETIME_CHILD")) {
        std::atexit(LetTheReaderEnd);
        reader = new std::thread([] {
            {
                XEVMediumTurn turn(XEVReadPriority::Background, nullptr);
                readerHolds = true;
                while (!readerMayGo.load(std::memory_order_relaxed)) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
            (void)GetLoadState().preloadRunning.load();
        });
        while (!readerHolds.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The process ends as usual from here, the reader still holding its turn.
        return;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KV_LIFETIME_CHILD"), QStringLiteral("1"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QStringLiteral("/proc/self/exe"),
                {QStringLiteral(
                    "--gtest_filter=ProcessLifetimeTest.AReaderEndingDuringTheProcesssEndTouchesNothingDestroyed")});
    ASSERT_TRUE(child.waitForFinished(kNoCeilingWaitMs));
    const std::string output = child.readAll().toStdString();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << output;
    EXPECT_EQ(child.exitCode(), 0) << output;
    EXPECT_NE(output.find("the reader gave its turn back"), std::string::npos) << output;
    EXPECT_EQ(output.find("Sanitizer"), std::string::npos) << output;
}

namespace {

// What the medium first decided for the background reader's turn past the grace: 3 it waited
// for a claim, 1 it took the head; -1 nothing yet.
thread_local bool backgroundReader = false;
std::atomic<int> backgroundFirst{-1};

void NoteBackgroundTurn(int state)
{
    int nothing = -1;
    if (backgroundReader && (state == 1 || state == 3) && backgroundFirst.compare_exchange_strong(nothing, state)) {
        backgroundFirst.notify_all();
    }
}

void Raise(std::atomic<bool>& flag)
{
    flag = true;
    flag.notify_all();
}

}   // namespace

// A reader for the screen that claims its next read keeps the background off the head while it
// decodes, past the grace after its read, but not while it waits for another reader, by a
// paused turn or a lock that reader may hold, nor once it lets the claim go.
TEST(MediumTurnTest, AClaimForTheScreensNextReadKeepsTheBackgroundOffOnlyWhileItMayRead)
{
    std::atomic<int> backgroundReads{0};
    const auto backgroundRead = [&] {
        XEVMediumTurn turn(XEVReadPriority::Background, nullptr);
        backgroundReads += turn.Held() ? 1 : 0;
    };
    XEVMediumProbe probe;
    probe.mediumTurn = NoteBackgroundTurn;
    XEVSetMediumProbe(probe);
    backgroundFirst = -1;
    XEVClaimScreenTurns(true);
    std::optional<XEVMediumTurn> read;
    read.emplace(XEVReadPriority::OnScreen, nullptr);
    ASSERT_TRUE(read->Held());
    read.reset();
    // The decode: the background asks meanwhile and, past the grace, waits for the claim.
    std::thread background([&] {
        backgroundReader = true;
        backgroundRead();
    });
    backgroundFirst.wait(-1);
    // Past the claim's one-second lapse the background goes, as it should: only a build that
    // looks within a tenth of that can tell.
    if (kHangCeilings) {
        EXPECT_EQ(backgroundFirst.load(), 3);
    }
    read.emplace(XEVReadPriority::OnScreen, nullptr);
    EXPECT_TRUE(read->Held());
    // Waiting for another reader's read of a member: the turn goes, and the claim with it.
    read->Pause();
    EXPECT_EQ(XEVScreenClaimsCounted(), 0);
    background.join();
    XEVSetMediumProbe({});
    EXPECT_EQ(backgroundReads.load(), 1);
    read->Resume();
    EXPECT_TRUE(read->Held());
    EXPECT_EQ(XEVScreenClaimsCounted(), 1);
    read.reset();

    XEVClaimScreenTurns(false);
    EXPECT_EQ(XEVScreenClaimsCounted(), 0);

    // A lock held by a reader that asks for a background turn before it lets the lock go.
    std::mutex files;
    std::atomic<bool> holding{false};
    std::atomic<bool> claiming{false};
    std::atomic<bool> mayGo{false};
    std::thread holder([&] {
        std::lock_guard<std::mutex> guard(files);
        Raise(holding);
        mayGo.wait(false);
        backgroundRead();
    });
    holding.wait(false);
    std::atomic<int32_t> countedAfter{-1};
    std::thread waiter([&] {
        XEVClaimScreenTurns(true);
        Raise(claiming);
        XEVLockOutsideClaim(files);
        countedAfter = XEVScreenClaimsCounted();
        files.unlock();
        XEVClaimScreenTurns(false);
    });
    claiming.wait(false);
    for (int k = 0; k < kNoCeilingWaitMs && XEVScreenClaimsCounted() != 0; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(XEVScreenClaimsCounted(), 0);
    Raise(mayGo);
    holder.join();
    waiter.join();
    EXPECT_EQ(backgroundReads.load(), 2);
    EXPECT_EQ(countedAfter.load(), 1);
    EXPECT_EQ(XEVScreenClaimsCounted(), 0);
}

// A copy holding the turn for the screen shares it between its blocks: a read for the screen
// waiting meanwhile takes it before the copy has it again, and a background read does not.
TEST(MediumTurnTest, ACopyForTheScreenLetsAWaitingReadForTheScreenGoFirst)
{
    std::optional<XEVMediumTurn> copy;
    copy.emplace(XEVReadPriority::OnScreen, nullptr);
    ASSERT_TRUE(copy->Held());
    std::atomic<int> screenReads{0};
    std::atomic<int> backgroundReads{0};
    std::thread background([&] {
        XEVMediumTurn turn(XEVReadPriority::Background, nullptr);
        backgroundReads += turn.Held() ? 1 : 0;
    });
    std::thread screen([&] {
        XEVMediumTurn turn(XEVReadPriority::OnScreen, nullptr);
        screenReads += turn.Held() ? 1 : 0;
    });
    // Until the screen's read has asked: a share with nobody waiting keeps the turn.
    for (int k = 0; k < kNoCeilingWaitMs && screenReads.load() == 0; ++k) {
        copy->Share();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(copy->Held());
    EXPECT_EQ(screenReads.load(), 1);
    screen.join();
    copy->Share();
    EXPECT_TRUE(copy->Held());
    EXPECT_EQ(backgroundReads.load(), 0);
    copy.reset();
    background.join();
    EXPECT_EQ(backgroundReads.load(), 1);
}
