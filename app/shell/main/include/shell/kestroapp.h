#pragma once

// The application object: one running copy, the settings, the main frame with its study
// list, the DICOMDIR load and the terms of use at start-up; at exit the copy's extraction
// folder goes first and the instance lock last.

#include <QApplication>
#include <QDialog>
#include <QStringList>

#include "shell/xevdetached.h"
#include "shell/xevkestroappcore.h"
#include "shell/xevsingleinstance.h"
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class CMainFrame;
class XEVEndSignals;

// The about box: icon, name, version and OK.
class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

// Everything of the application object but the QApplication itself, so that tests run the
// whole start-up and shut-down inside their own application.
class XEVKestroInstance : public CKestroAppCore {
public:
    XEVKestroInstance() = default;
    virtual ~XEVKestroInstance();

    // False ends the process: another copy runs (it was asked to come forward), the
    // single-instance lock cannot be taken (said on stderr), the frame could not be made, or it
    // was closed while the path was checked. arguments: the program first.
    bool InitInstance(const QStringList& arguments);
    // The status to end with after InitInstance returned false: 0 when another copy runs,
    // 1 when the lock could not be taken.
    int StartStatus() const { return startStatus_; }
    // Closes the frame and removes the extraction folder, then waits once, until the readers'
    // wait end or kReaderWaitMs, for every thread that may read the medium. When they have
    // ended, the frame and the archive go; otherwise the rest stays (ReadersLeft) and the caller
    // ends the process. The status to end with.
    int ExitInstance(int status);
    // Readers were still running when ExitInstance stopped waiting for them.
    bool ReadersLeft() const { return readersLeft_; }

    void OnCommand(int32_t command);
    void OnAppAbout();
    void OnHelp();
    // Restores and raises the frame; what a later copy asks for.
    void ActivateRunningInstance();

    CMainFrame* MainFrame() const { return frame_.get(); }
    // What copies that did not end left in the temporary folder is removed on a worker that
    // InitInstance starts, so the window never waits for it; true once it has ended.
    bool LeftoverSweepEnded() const;
    // Tests hold the worker back with a gate it calls before it begins; empty for none.
    static void SetLeftoverSweepGateForTest(std::function<void()> gate);
    // The arguments with "/Agree" added when the stored acceptance is current.
    const QStringList& RawCommandLine() const { return rawCommandLine_; }
    const QString& HelpFilePath() const { return helpFilePath_; }

protected:
    // The frame has begun to close: later copies wait for this one to end, not ask it.
    virtual void OnFrameClosing();
    // ExitInstance stops removing the leftovers of earlier copies at that time and leaves the
    // rest, with their lock files, to the next start.
    void SetFolderRemovalEnd(std::chrono::steady_clock::time_point end) { removalEnd_ = end; }
    // ExitInstance stops waiting for the readers of the medium at that time.
    void SetReaderWaitEnd(std::chrono::steady_clock::time_point end) { readerWaitEnd_ = end; }

private:
    // The longest the end waits for the stopped readers of the medium when no reader wait end
    // was set: an instance run without the program's exit deadline (inside a test's application).
    static constexpr int kReaderWaitMs = 10000;
    void StartLeftoverSweep();
    void StopLeftoverSweep();

    QObject context_;
    QStringList rawCommandLine_;
    QString helpFilePath_;
    std::unique_ptr<XEVSingleInstance> instance_;
    std::unique_ptr<CMainFrame> frame_;
    int startStatus_ = 0;
    bool readersLeft_ = false;
    std::shared_ptr<const XEVThreadEnd> sweeper_;
    std::shared_ptr<std::atomic<bool>> sweepStop_;
    std::chrono::steady_clock::time_point removalEnd_ = std::chrono::steady_clock::time_point::max();
    std::chrono::steady_clock::time_point readerWaitEnd_ = std::chrono::steady_clock::time_point::max();
};

class CKestroApp : public QApplication, public XEVKestroInstance {
public:
    CKestroApp(int& argc, char** argv);

    // InitInstance, the event loop, ExitInstance; the exit status.
    int Run();
    // Saves the frame as a PNG once the first selection's cells have loaded, then ends (1
    // when nothing loaded within the time).
    void SetScreenshot(const QString& file, int timeoutMs);

    // How long the process may last once its frame began to close.
    static constexpr int kExitDeadlineMs = 500;
    // kExitDeadlineMs, or the longer end given by KV_EXIT_DEADLINE_MS: tests on a machine whose
    // disk stalls for seconds ask for a hang ceiling, not the program's deadline. The shares of
    // the deadline given to readers and to the folder's removal stay the program's own.
    static int ExitDeadlineMs();

protected:
    // Arms the exit deadline: what may still run then (a loader in the middle of a read of a
    // slow disc) is not waited for.
    void OnFrameClosing() override;

private:
    // ExitInstance, and the end of the process when a stopped worker is still in a read.
    int EndRun(int status);

    QStringList arguments_;
    // Run's, while it runs: its watchdog keeps the exit deadline.
    XEVEndSignals* endSignals_ = nullptr;
    QString screenshot_;
    int screenshotTimeoutMs_ = 60000;
};
