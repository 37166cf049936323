#pragma once

#include <string>

// One running copy of the program per user: an exclusive lock on a file in the user's runtime
// folder. The lock goes with the process, so a crashed copy never blocks the next start.

// $XDG_RUNTIME_DIR when it is an absolute folder of this user that no one else may enter,
// else the user's private folder in the temporary folder (PlatGetUserTempFolder); ending in
// '/'. Empty when neither can be had: no other user must be able to plant files there.
std::string PlatGetRuntimeFolder();

// Where the instance file or socket of the given name lies: in the runtime folder above;
// empty when there is none.
std::string PlatGetInstancePath(const std::string& name);

// For when the runtime folder above cannot be had or holds a lock file this user cannot use
// (another user made it): a folder of this user alone beside the user's folder in the
// temporary folder, "kestro-<user id>-run." and six characters. The first such real folder of
// this user with mode 0700 found there, so that later starts meet the same lock; else a
// fresh one. Ending in '/'; empty when none can be made.
std::string PlatGetFallbackRuntimeFolder();

enum class PlatLockResult {
    Taken,           // this object holds the lock
    HeldElsewhere,   // another holder has it
    Unusable,        // the file cannot be made or locked safely (no folder, a link, another user's)
};

class PlatInstanceLock {
public:
    // The path is the lock file's; nothing is opened yet.
    explicit PlatInstanceLock(std::string path);
    ~PlatInstanceLock();
    PlatInstanceLock(const PlatInstanceLock&) = delete;
    PlatInstanceLock& operator=(const PlatInstanceLock&) = delete;

    // Whether this object now holds the lock (or already did), and if not, why.
    PlatLockResult TryAcquire();
    bool Acquire() { return TryAcquire() == PlatLockResult::Taken; }
    void Release();
    bool Held() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};
