#pragma once

// The application object: one running copy, the settings, the main frame with its study
// list, the DICOMDIR load and the terms of use at start-up; at its end the instance lock goes
// with the window, and the copy's extraction folder before any other work.

#include <QApplication>
#include <QDialog>
#include <QStringList>

#include "shell/xevdetached.h"
#include "shell/xevendsignals.h"
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
    XEVKestroInstance();
    virtual ~XEVKestroInstance();

    // False ends the process: another copy runs (it was asked to come forward), the
    // single-instance lock cannot be taken (said on stderr), the frame could not be made, or it
    // was closed while the path was checked. arguments: the program first.
    bool InitInstance(const QStringList& arguments);
    // The status to end with after InitInstance returned false: 0 when another copy runs,
    // 1 when the lock could not be taken.
    int StartStatus() const { return startStatus_; }
    // Closes the frame (the end begins, its removal of the extraction folder on a thread of its
    // own) and lets the single-instance claim go; waits for the removal until the end's bound,
    // and for every counted worker only as long as one between two reads takes to stop
    // (kXEVEndGraceMs from the end's beginning), never for one in a read. When both are done,
    // the frame and the archive go; otherwise the rest stays (ReadersLeft, RemovalLeft) and the
    // caller ends the process. The status to end with.
    int ExitInstance(int status);
    // Readers were still running when ExitInstance stopped waiting for them.
    bool ReadersLeft() const { return readersLeft_; }
    // The removal of the extraction folder had not ended by the bound.
    bool RemovalLeft() const { return removalLeft_; }
    // This copy is no longer the running copy: a later start runs.
    void LetGoOfTheClaim();

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
    // The frame has begun to close: the claim goes, and the end begins.
    void OnFrameClosing();
    // How long ExitInstance waits for the removal of the extraction folder.
    void SetEndBoundMs(int ms) { endBoundMs_ = ms; }

private:
    void StartLeftoverSweep();
    void StopLeftoverSweep();

    QObject context_;
    QStringList rawCommandLine_;
    QString helpFilePath_;
    std::unique_ptr<XEVSingleInstance> instance_;
    std::unique_ptr<CMainFrame> frame_;
    int startStatus_ = 0;
    bool readersLeft_ = false;
    bool removalLeft_ = false;
    int endBoundMs_ = kXEVEndBoundMs;
    std::shared_ptr<const XEVThreadEnd> sweeper_;
    std::shared_ptr<std::atomic<bool>> sweepStop_;
};

class CKestroApp : public QApplication, public XEVKestroInstance {
public:
    CKestroApp(int& argc, char** argv);

    // InitInstance, the event loop, ExitInstance; the exit status.
    int Run();
    // Saves the frame as a PNG once the first selection's cells have loaded, then ends (1
    // when nothing loaded within the time). A run whose terms would be asked ends at once with
    // 1: no one is there to answer them.
    void SetScreenshot(const QString& file, int timeoutMs);

    // The end's bound, or the longer one given by KV_EXIT_DEADLINE_MS: tests on a machine
    // whose disk stalls for seconds ask for a hang ceiling, not the program's bound. The share
    // given to readers and to earlier copies' leftovers stays the program's own.
    static int ExitDeadlineMs();

private:
    // ExitInstance, and the end of the process when a stopped worker is still in a read.
    int EndRun(int status);

    QStringList arguments_;
    QString screenshot_;
    int screenshotTimeoutMs_ = 60000;
};
