#pragma once

// The one running copy: it holds the instance lock and listens on a local socket beside it;
// a copy started later finds the lock taken, asks the running one to come forward through
// the socket, and ends.

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "platform/platinstance.h"

class XEVSingleInstance : public QObject {
public:
    // The lock file and socket under their fixed names in the user's runtime folder; tests
    // give their own paths.
    XEVSingleInstance();
    XEVSingleInstance(const QString& lockPath, const QString& socketPath);
    ~XEVSingleInstance() override;

    // True when this process is the running copy; then activate runs on this thread whenever
    // a later copy asks. False when another copy runs (it has been asked to come forward), or
    // when the lock cannot be taken at all (LockUnusable).
    bool Start(std::function<void()> activate);
    // The last Start failed not for another copy but because the lock file could not be made
    // or locked safely: another user holds its folder or its name.
    bool LockUnusable() const { return unusable_; }
    const std::string& LockPath() const { return lock_.Path(); }

    // Releases the lock and stops listening; the last step of shut-down.
    void Stop();

private:
    void OnConnection();

    PlatInstanceLock lock_;
    QString socketPath_;
    std::unique_ptr<QLocalServer> server_;
    std::function<void()> activate_;
    bool unusable_ = false;
};
