#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <QLoggingCategory>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "shell/xevendsignals.h"
#include "testsupport/xevcontroltest.h"

namespace {

// The child's own end when no signal ends it: far past any wait of the parent.
constexpr int kChildLifeMs = 60000;
// The bound the children arm.
constexpr int kEndBoundMs = 500;

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
// with an end removal that never returns; "bound" and "quiet": the bound armed, an end begun and
// never ended, its removal stuck or done; "deaf": "bound" with stderr a full pipe nobody reads.
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
    ASSERT_TRUE(ends.Installed());
    if (mode == "deaf") {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        // Filled through a description of its own: the one stderr gets still blocks.
        const int filler = ::open(("/proc/self/fd/" + std::to_string(fds[1])).c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(filler, 0);
        const char byte = 'x';
        while (::write(filler, &byte, 1) == 1) {
        }
        ASSERT_EQ(errno, EAGAIN);
        ASSERT_EQ(::dup2(fds[1], 2), 2);
    }
    const bool stuck = mode == "stuck" || mode == "bound" || mode == "deaf";
    XEVSetEndCleanup(nullptr, stuck ? [] {
        std::printf("cleaning\n");
        std::fflush(stdout);
        QThread::msleep(kChildLifeMs);
    }
                                    : [] {
                                          std::printf("cleaned\n");
                                          std::fflush(stdout);
                                      });
    // A bound of the test's own: what is judged is who ends the process, and what it says.
    if (mode == "stuck") {
        // Past the test's second and third signals.
        XEVArmEndBound(4 * kEndBoundMs);
    }
    if (mode == "bound" || mode == "quiet" || mode == "deaf") {
        XEVArmEndBound(kEndBoundMs);
        XEVSetEndStatus(3);
        XEVBeginEnd();
    }
    if (mode == "deaf") {
        // Words of the end's own that stderr does not take hold nothing.
        XEVSayWithoutWaiting("kestro: a word nobody reads\n");
        XEVSayWithoutWaiting("kestro: and another\n");
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
// signal's status, once the removal is done, in the time the loop had to take it.
TEST(EndSignalsTest, ASignalTheBusyLoopCannotTakeStillEndsTheProcess)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(signal);
        SignalChild child("busy");
        ASSERT_TRUE(child.WaitToSay("ready"));
        child.Signal(signal);
        qint64 ms = 0;
        EXPECT_EQ(child.WaitForEnd(ms), 128 + signal);
        EXPECT_TRUE(child.WaitToSay("cleaned"));
        if (kHangCeilings) {
            EXPECT_LT(ms, kQuickStepCeilingMs);
        }
    }
}

// A loop that took the first signal is left to end in its own way; a second signal ends the
// process once the removal is done; when the removal is stuck, the bound ends it, or a third
// signal at once.
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

    for (const bool third : {true, false}) {
        SCOPED_TRACE(third ? "a third signal" : "the bound");
        SignalChild stuck("stuck");
        ASSERT_TRUE(stuck.WaitToSay("ready"));
        stuck.Signal(SIGTERM);
        ASSERT_TRUE(stuck.WaitToSay("taken"));
        ASSERT_TRUE(stuck.WaitToSay("cleaning"));
        stuck.Signal(third ? SIGTERM : SIGINT);
        if (third) {
            // After the second's handler has run, whatever the scheduler does.
            QThread::msleep(100);
            stuck.Signal(SIGHUP);
        }
        EXPECT_EQ(stuck.WaitForEnd(ms), third ? 128 + SIGHUP : 128 + SIGINT);
    }
}

// An end that has not ended by its bound is ended with the status set; stderr says what was
// still running only when something was, and a stderr that takes nothing holds nothing.
TEST(EndSignalsTest, TheBoundEndsAnEndThatDidNotEndAndSaysWhatStillRan)
{
    for (const char* mode : {"bound", "quiet", "deaf"}) {
        SCOPED_TRACE(mode);
        SignalChild child(mode);
        ASSERT_TRUE(child.WaitToSay("ready"));
        qint64 ms = 0;
        EXPECT_EQ(child.WaitForEnd(ms), 3);
        const QByteArray said = child.Errors();
        EXPECT_EQ(said.contains("the next start removes the rest"), std::strcmp(mode, "bound") == 0)
            << said.constData();
        EXPECT_EQ(said.contains("kestro:"), std::strcmp(mode, "bound") == 0) << said.constData();
        if (kHangCeilings) {
            EXPECT_LT(ms, kQuickStepCeilingMs);
        }
    }
}

namespace {

Q_LOGGING_CATEGORY(lcXcbLike, "qt.qpa.xcb")

struct Heard {
    QtMsgType type;
    QByteArray category;
    QString text;
    bool lost;
};
std::vector<Heard> g_heard;

void Hear(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    g_heard.push_back({type, context.category, text, XEVSaysTheXConnectionBroke(type, context, text)});
}

}   // namespace

// Qt's own two warnings of a lost X connection, as its xcb plugin makes them, are the loss; the
// same words within another warning (a file's name), in another category or as another kind of
// message are not.
TEST(EndSignalsTest, OnlyQtsOwnWordsSayTheXConnectionBroke)
{
    g_heard.clear();
    const QtMessageHandler earlier = qInstallMessageHandler(Hear);
    qWarning("The X11 connection broke (error %d). Did the X11 server die?", 1);
    qWarning("The X11 connection broke: %s (code %d)", "I/O error", 1);
    qWarning("cannot read /media/cd/The X11 connection broke (error 1). Did the X11 server die?");
    qWarning("The X11 connection broke (error 1). Did the X11 server die? /tmp/x");
    qInfo("The X11 connection broke (error %d). Did the X11 server die?", 1);
    qCWarning(lcXcbLike, "The X11 connection broke (error %d). Did the X11 server die?", 1);
    qInstallMessageHandler(earlier);
    ASSERT_EQ(g_heard.size(), 6u);
    const bool expected[] = {true, true, false, false, false, false};
    for (size_t i = 0; i < g_heard.size(); ++i) {
        EXPECT_EQ(g_heard[i].lost, expected[i]) << g_heard[i].text.toStdString();
    }
}
