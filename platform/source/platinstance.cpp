#include "platform/platinstance.h"

#include "platform/platfolder.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The user's own, closed to everyone else, as the runtime folder is meant to be.
bool IsRuntimeFolder(const char* folder)
{
    struct stat st;
    return folder != nullptr && folder[0] == '/' && stat(folder, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == geteuid() && (st.st_mode & 077) == 0;
}

}   // namespace

std::string PlatGetRuntimeFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!IsRuntimeFolder(runtime)) {
        // The shared temporary folder itself would let another user plant the lock first.
        const std::string own = PlatGetUserTempFolder();
        return own.empty() ? own : own + '/';
    }
    std::string folder(runtime);
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder;
}

std::string PlatGetFallbackRuntimeFolder()
{
    const std::string temp = PlatGetTempFolder();
    const std::string prefix = "kestro-" + std::to_string(geteuid()) + "-run.";
    constexpr size_t kSuffixLength = 6;
    std::string found;
    // Only this user can make a folder that this user owns: another user's name is passed by.
    if (DIR* dir = opendir(temp.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            struct stat st;
            if (name.size() == prefix.size() + kSuffixLength && name.compare(0, prefix.size(), prefix) == 0 &&
                (found.empty() || name < found) && lstat((temp + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
                st.st_uid == geteuid() && (st.st_mode & 07777) == 0700) {
                found = name;
            }
        }
        closedir(dir);
    }
    if (!found.empty()) {
        return temp + found + '/';
    }
    std::string made = temp + prefix + "XXXXXX";
    return mkdtemp(made.data()) != nullptr ? made + '/' : std::string();
}

std::string PlatGetInstancePath(const std::string& name)
{
    const std::string folder = PlatGetRuntimeFolder();
    return folder.empty() ? folder : folder + name;
}

PlatInstanceLock::PlatInstanceLock(std::string path) : path_(std::move(path))
{
}

PlatInstanceLock::~PlatInstanceLock()
{
    Release();
}

PlatLockResult PlatInstanceLock::TryAcquire()
{
    if (fd_ >= 0) {
        return PlatLockResult::Taken;
    }
    if (path_.empty()) {
        return PlatLockResult::Unusable;
    }
    // No following links: a folder of others could point the name elsewhere.
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return PlatLockResult::Unusable;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        close(fd);
        return PlatLockResult::Unusable;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool held = errno == EWOULDBLOCK;
        close(fd);
        return held ? PlatLockResult::HeldElsewhere : PlatLockResult::Unusable;
    }
    fd_ = fd;
    return PlatLockResult::Taken;
}

void PlatInstanceLock::Release()
{
    if (fd_ >= 0) {
        // The file stays: removing it would let a third copy lock a new file while a second
        // still holds the old one open.
        flock(fd_, LOCK_UN);
        close(fd_);
        fd_ = -1;
    }
}
