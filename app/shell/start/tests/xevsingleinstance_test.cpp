#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <cstdio>
#include <iostream>
#include <string>

#include "shell/xevsingleinstance.h"
#include "testsupport/xevcontroltest.h"

namespace {

struct InstancePaths {
    QTemporaryDir folder;
    QString lock() const { return folder.path() + QStringLiteral("/_Kestro_DicomVerdastra"); }
    QString socket() const { return folder.path() + QStringLiteral("/class_Verdastra_KESTRO"); }
};

}   // namespace

TEST(SingleInstanceTest, SecondCopyAsksTheFirstToComeForwardAndStops)
{
    InstancePaths paths;
    XEVSingleInstance first(paths.lock(), paths.socket());
    int activated = 0;
    ASSERT_TRUE(first.Start([&] { ++activated; }));
    {
        XEVSingleInstance second(paths.lock(), paths.socket());
        int secondActivated = 0;
        EXPECT_FALSE(second.Start([&] { ++secondActivated; }));
        EXPECT_EQ(secondActivated, 0);
    }
    EXPECT_TRUE(PumpUntil([&] { return activated == 1; }, kControlTimeoutMs));

    // After the first stops, a new copy runs and listens in its turn.
    first.Stop();
    XEVSingleInstance third(paths.lock(), paths.socket());
    int thirdActivated = 0;
    ASSERT_TRUE(third.Start([&] { ++thirdActivated; }));
    XEVSingleInstance fourth(paths.lock(), paths.socket());
    EXPECT_FALSE(fourth.Start({}));
    EXPECT_TRUE(PumpUntil([&] { return thirdActivated == 1; }, kControlTimeoutMs));
    EXPECT_EQ(activated, 1);
}

TEST(SingleInstanceTest, StaleSocketOfACrashedCopyIsReplaced)
{
    InstancePaths paths;
    {
        // A copy that ended without Stop leaves its socket file; only the lock died with it.
        QFile leftover(paths.socket());
        ASSERT_TRUE(leftover.open(QIODevice::WriteOnly));
    }
    XEVSingleInstance running(paths.lock(), paths.socket());
    int activated = 0;
    ASSERT_TRUE(running.Start([&] { ++activated; }));
    XEVSingleInstance later(paths.lock(), paths.socket());
    EXPECT_FALSE(later.Start({}));
    EXPECT_TRUE(PumpUntil([&] { return activated == 1; }, kControlTimeoutMs));
}

// Run by the test below in its own process: the second copy of the program.
TEST(SingleInstanceTest, ChildSecondCopy)
{
    const QString folder = qEnvironmentVariable("KV_INSTANCE_TEST_FOLDER");
    if (folder.isEmpty()) {
        GTEST_SKIP() << "started only as the second process";
    }
    XEVSingleInstance copy(folder + QStringLiteral("/_Kestro_DicomVerdastra"),
                           folder + QStringLiteral("/class_Verdastra_KESTRO"));
    EXPECT_FALSE(copy.Start({}));
}

TEST(SingleInstanceTest, SecondProcessEndsAndTheFirstIsActivated)
{
    InstancePaths paths;
    XEVSingleInstance first(paths.lock(), paths.socket());
    int activated = 0;
    ASSERT_TRUE(first.Start([&] { ++activated; }));
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KV_INSTANCE_TEST_FOLDER"), paths.folder.path());
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=SingleInstanceTest.ChildSecondCopy")});
    ASSERT_TRUE(child.waitForStarted());
    EXPECT_TRUE(PumpUntil([&] { return child.state() == QProcess::NotRunning; }, kControlTimeoutMs));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0) << child.readAllStandardOutput().toStdString();
    EXPECT_TRUE(PumpUntil([&] { return activated == 1; }, kControlTimeoutMs));
}

// Run by the test below in its own process: a copy that holds the lock and does not answer (as
// one still starting does), then lets the lock go when told on its input.
TEST(SingleInstanceTest, ChildClosingCopy)
{
    const QString folder = qEnvironmentVariable("KV_INSTANCE_CLOSING_FOLDER");
    if (folder.isEmpty()) {
        GTEST_SKIP() << "started only as the closing process";
    }
    XEVSingleInstance copy(folder + QStringLiteral("/_Kestro_DicomVerdastra"),
                           folder + QStringLiteral("/class_Verdastra_KESTRO"));
    ASSERT_TRUE(copy.Start({}));
    copy.StopListening();
    std::printf("closing\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
    copy.Stop();
}

TEST(SingleInstanceTest, CopyStartedWhileTheLockIsHeldUnansweredRunsOnceItIsLetGo)
{
    InstancePaths paths;
    QProcess closing;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KV_INSTANCE_CLOSING_FOLDER"), paths.folder.path());
    closing.setProcessEnvironment(env);
    closing.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--gtest_filter=SingleInstanceTest.ChildClosingCopy")});
    ASSERT_TRUE(closing.waitForStarted());
    EXPECT_TRUE(PumpUntil([&] { return closing.readAllStandardOutput().contains("closing"); }, kControlTimeoutMs));

    // While the lock is held with nobody answering, a later copy neither asks nor ends before its
    // wait.
    XEVSingleInstance impatient(paths.lock(), paths.socket());
    QElapsedTimer waited;
    waited.start();
    EXPECT_FALSE(impatient.Start({}, 200));
    EXPECT_GE(waited.elapsed(), 200);

    // Once the lock is let go, the waiting one runs and listens in its turn.
    closing.write("end\n");
    closing.waitForBytesWritten(kControlTimeoutMs);
    closing.closeWriteChannel();
    XEVSingleInstance later(paths.lock(), paths.socket());
    int laterActivated = 0;
    EXPECT_TRUE(later.Start([&] { ++laterActivated; }));
    EXPECT_TRUE(closing.waitForFinished(kControlTimeoutMs));
    EXPECT_EQ(closing.exitCode(), 0) << closing.readAll().toStdString();
    XEVSingleInstance third(paths.lock(), paths.socket());
    EXPECT_FALSE(third.Start({}));
    EXPECT_TRUE(PumpUntil([&] { return laterActivated == 1; }, kControlTimeoutMs));
}
