#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>
#include <cstdio>

#include "shell/xevendsignals.h"
#include "testsupport/xevcontroltest.h"

namespace {

// The child's own end when no signal ends it: far past any wait of the parent.
constexpr int kChildLifeMs = 60000;

// The test binary run again as the child named, signals installed, saying "ready" once they are.
class SignalChild {
public:
    explicit SignalChild(const char* mode)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KV_END_SIGNALS_CHILD"), QString::fromLatin1(mode));
        process_.setProcessEnvironment(env);
        process_.start(QCoreApplication::applicationFilePath(),
                       {QStringLiteral("--gtest_filter=EndSignalsTest.Child")});
    }
    ~SignalChild()
    {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    bool WaitToSay(const char* word)
    {
        return PumpUntil(
            [&] {
                said_ += process_.readAllStandardOutput();
                return said_.contains(word);
            },
            kChildLifeMs);
    }
    void Signal(int signal) { ::kill(pid_t(process_.processId()), signal); }
    // The exit code once ended, the milliseconds that took; -1 when it outlived its own end.
    int WaitForEnd(qint64& ms)
    {
        QElapsedTimer clock;
        clock.start();
        const bool ended = PumpUntil([&] { return process_.state() == QProcess::NotRunning; }, 2 * kChildLifeMs);
        ms = clock.elapsed();
        return ended && process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }
    bool Running() { return process_.state() != QProcess::NotRunning; }
    QByteArray Errors() { return process_.readAllStandardError(); }

private:
    QProcess process_;
    QByteArray said_;
};

}   // namespace

// Run by the tests below in a process of its own. "busy": the GUI thread never returns to its
// loop; "taken": the loop takes the signal and its handler does not end anything; "stuck": that,
// with an end cleanup that never returns.
TEST(EndSignalsTest, Child)
{
    const QByteArray mode = qgetenv("KV_END_SIGNALS_CHILD");
    if (mode.isEmpty()) {
        GTEST_SKIP() << "started only as the child";
    }
    XEVEndSignals ends([](int) {
        std::printf("taken\n");
        std::fflush(stdout);
    });
    XEVSetEndCleanup([] { std::printf("cleaned\n"); });
    ASSERT_TRUE(ends.Installed());
    if (mode == "stuck") {
        XEVSetEndCleanup([] {
            std::printf("cleaning\n");
            std::fflush(stdout);
            QThread::msleep(kChildLifeMs);
        });
    }
    if (mode == "deadline") {
        ends.SetEndStatus(3);
        ends.ArmDeadline(200);
    }
    std::printf("ready\n");
    std::fflush(stdout);
    QElapsedTimer life;
    life.start();
    while (life.elapsed() < kChildLifeMs) {
        if (mode != "taken" && mode != "stuck") {
            QThread::msleep(10);
        } else {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
    }
}

// A GUI thread held busy never takes the signal: the signal still ends the process, with the
// signal's status, in the time the loop had to take it.
TEST(EndSignalsTest, ASignalTheBusyLoopCannotTakeStillEndsTheProcess)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        SignalChild child("busy");
        ASSERT_TRUE(child.WaitToSay("ready"));
        child.Signal(signal);
        qint64 ms = 0;
        EXPECT_EQ(child.WaitForEnd(ms), 128 + signal);
        if (kHangCeilings) {
            EXPECT_LT(ms, kQuickStepCeilingMs);
        }
    }
}

// A loop that took the first signal is left to end in its own way; a second signal ends the
// process at once, through the end's cleanup; so does the third, without it, when the cleanup
// is stuck.
TEST(EndSignalsTest, ASecondSignalEndsTheProcessAtOnce)
{
    SignalChild child("taken");
    ASSERT_TRUE(child.WaitToSay("ready"));
    child.Signal(SIGTERM);
    ASSERT_TRUE(child.WaitToSay("taken"));
    EXPECT_TRUE(child.Running());
    child.Signal(SIGINT);
    qint64 ms = 0;
    EXPECT_EQ(child.WaitForEnd(ms), 128 + SIGINT);
    if (kHangCeilings) {
        EXPECT_LT(ms, kQuickStepCeilingMs);
    }
    EXPECT_TRUE(child.WaitToSay("cleaned"));

    SignalChild stuck("stuck");
    ASSERT_TRUE(stuck.WaitToSay("ready"));
    stuck.Signal(SIGTERM);
    ASSERT_TRUE(stuck.WaitToSay("taken"));
    stuck.Signal(SIGTERM);
    ASSERT_TRUE(stuck.WaitToSay("cleaning"));
    stuck.Signal(SIGHUP);
    EXPECT_EQ(stuck.WaitForEnd(ms), 128 + SIGHUP);
}

// An end that has not come by its deadline is ended with the status set, through the end's
// cleanup, and says so on stderr, which an ordered end never does.
TEST(EndSignalsTest, TheExitDeadlineEndsARunThatDidNotEndAndSaysSo)
{
    SignalChild child("deadline");
    ASSERT_TRUE(child.WaitToSay("ready"));
    qint64 ms = 0;
    EXPECT_EQ(child.WaitForEnd(ms), 3);
    EXPECT_TRUE(child.Errors().contains("exit deadline")) << ms;
    EXPECT_TRUE(child.WaitToSay("cleaned"));
}
