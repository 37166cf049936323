#pragma once

#include <string>

// One running copy of the program per user: an exclusive lock on a file in the user's runtime
// folder. The lock goes with the process, so a crashed copy never blocks the next start.

// $XDG_RUNTIME_DIR when it is an absolute folder, else the temporary folder; ending in '/'.
std::string PlatGetRuntimeFolder();

// Where the instance file or socket of the given name lies: in $XDG_RUNTIME_DIR as it is (that
// folder is the user's own); in the shared temporary folder with "-<user id>" appended.
std::string PlatGetInstancePath(const std::string& name);

class PlatInstanceLock {
public:
    // The path is the lock file's; nothing is opened yet.
    explicit PlatInstanceLock(std::string path);
    ~PlatInstanceLock();
    PlatInstanceLock(const PlatInstanceLock&) = delete;
    PlatInstanceLock& operator=(const PlatInstanceLock&) = delete;

    // True when this object now holds the lock (or already did); false when another holder
    // has it or the file cannot be made safely (a link, another user's file).
    bool Acquire();
    void Release();
    bool Held() const { return fd_ >= 0; }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
};
