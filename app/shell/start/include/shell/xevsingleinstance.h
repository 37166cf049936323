#pragma once

// The one running copy: it holds the instance lock and listens on a local socket beside it;
// a copy started later finds the lock taken, asks the running one to come forward through
// the socket, and ends. A copy lets the lock go, and stops listening, as its window goes,
// before the rest of its end: a copy started then runs in its place at once.

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "platform/platinstance.h"
#include "shell/xevendsignals.h"

class XEVSingleInstance : public QObject {
public:
    // The lock file and socket under their fixed names in the user's runtime folder, or in a
    // folder of the user's alone when that folder or its lock file is not the user's own (see
    // PlatGetFallbackRuntimeFolder); tests give their own paths.
    XEVSingleInstance();
    XEVSingleInstance(const QString& lockPath, const QString& socketPath);
    ~XEVSingleInstance() override;

    // True when this process is the running copy; then activate runs on this thread whenever
    // a later copy asks. False when another copy runs (it has been asked to come forward), or
    // when the lock cannot be taken at all (LockUnusable). A lock held with nobody listening
    // (a copy between taking the lock and listening, or between its two steps of letting go)
    // is tried again until it is free or the socket answers, up to waitMs.
    bool Start(std::function<void()> activate, int waitMs = kUnansweredLockWaitMs);
    // The last Start failed not for another copy but because the lock file could not be made
    // or locked safely: another user holds its folder or its name.
    bool LockUnusable() const { return unusable_; }
    const std::string& LockPath() const { return lock_->Path(); }
    // The lock that could not be used when Start took one in the fallback folder; else empty.
    const std::string& UnusableLockPath() const { return unusablePath_; }

    // Later copies no longer ask this one; while it still holds the lock they wait for it.
    void StopListening();
    // Stops listening and releases the lock: the claim goes, as the window goes.
    void Stop();

    // How long a start waits on a lock whose holder does not answer: a holder still starting
    // listens within moments; one that never does (hung, or without its socket) leaves this
    // start to end unseen once the wait is over.
    static constexpr int kUnansweredLockWaitMs = kXEVEndBoundMs;

private:
    void OnConnection();
    // Both paths in the fallback folder; false when there is none.
    bool FallBack();

    std::unique_ptr<PlatInstanceLock> lock_;
    bool mayFallBack_ = false;
    std::string unusablePath_;
    QString socketPath_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> activate_;
    bool unusable_ = false;
};
