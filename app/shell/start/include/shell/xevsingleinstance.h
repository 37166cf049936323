#pragma once

// The one running copy: it holds the instance lock and listens on a local socket beside it;
// a copy started later finds the lock taken, asks the running one to come forward through
// the socket, and ends. A copy that is closing stops listening and lets the lock go as its
// window goes: a copy started then runs in its place.

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
    // when the lock cannot be taken at all (LockUnusable). A running copy that no longer
    // listens is closing: its end is waited for, up to waitMs.
    bool Start(std::function<void()> activate, int waitMs = kClosingCopyWaitMs);
    // The last Start failed not for another copy but because the lock file could not be made
    // or locked safely: another user holds its folder or its name.
    bool LockUnusable() const { return unusable_; }
    const std::string& LockPath() const { return lock_->Path(); }
    // The lock that could not be used when Start took one in the fallback folder; else empty.
    const std::string& UnusableLockPath() const { return unusablePath_; }

    // The first step of shut-down: later copies no longer ask this one, they wait for it.
    void StopListening();
    // Releases the lock and stops listening; the last step of shut-down.
    void Stop();

    // A closing copy lets its claim go as its window goes, and ends within the end's bound.
    static constexpr int kClosingCopyWaitMs = kXEVEndBoundMs;

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
