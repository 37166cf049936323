#include "platform/platinstance.h"

#include "platform/platfolder.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsRuntimeFolder(const char* folder)
{
    struct stat st;
    return folder != nullptr && folder[0] == '/' && stat(folder, &st) == 0 && S_ISDIR(st.st_mode);
}

}   // namespace

std::string PlatGetRuntimeFolder()
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!IsRuntimeFolder(runtime)) {
        return PlatGetTempFolder();
    }
    std::string folder(runtime);
    if (folder.back() != '/') {
        folder.push_back('/');
    }
    return folder;
}

std::string PlatGetInstancePath(const std::string& name)
{
    if (IsRuntimeFolder(std::getenv("XDG_RUNTIME_DIR"))) {
        return PlatGetRuntimeFolder() + name;
    }
    // Every user shares the temporary folder: the user id keeps one user's copy from
    // blocking another's.
    return PlatGetTempFolder() + name + "-" + std::to_string(getuid());
}

PlatInstanceLock::PlatInstanceLock(std::string path) : path_(std::move(path))
{
}

PlatInstanceLock::~PlatInstanceLock()
{
    Release();
}

bool PlatInstanceLock::Acquire()
{
    if (fd_ >= 0) {
        return true;
    }
    // No following links: in a shared folder another user could point the name elsewhere.
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != getuid()) {
        close(fd);
        return false;
    }
    int result;
    do {
        result = flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return false;
    }
    fd_ = fd;
    return true;
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
