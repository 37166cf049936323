#include "platform/platfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace {

std::atomic<void (*)(const char*)> openObserver{nullptr};

int Refuse(int fd, int error)
{
    if (fd >= 0) {
        ::close(fd);
    }
    errno = error;
    return -1;
}

}   // namespace

void PlatSetOpenObserver(void (*observer)(const char* path))
{
    openObserver.store(observer);
}

int PlatOpenRegularFile(const char* path)
{
    if (path == nullptr) {
        return Refuse(-1, EINVAL);
    }
    if (auto* observer = openObserver.load()) {
        observer(path);
    }
    // Looked at before the open as well, so that no device is opened at all: opening some
    // acts on them.
    struct stat st {};
    if (::stat(path, &st) != 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        return Refuse(-1, EINVAL);
    }
    int fd = -1;
    do {
        fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    // The path may name something else by now: what was opened decides.
    if (::fstat(fd, &st) != 0) {
        return Refuse(fd, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        return Refuse(fd, EINVAL);
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return Refuse(fd, errno);
    }
    return fd;
}

std::FILE* PlatOpenRegularStream(const char* path)
{
    const int fd = PlatOpenRegularFile(path);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "rb");
    if (file == nullptr) {
        Refuse(fd, errno);
    }
    return file;
}

bool PlatReadRegularFile(const std::string& path, std::string& bytes)
{
    std::FILE* file = PlatOpenRegularStream(path.c_str());
    if (file == nullptr) {
        return false;
    }
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

PlatReadResult PlatReadRegularFileUpTo(const std::string& path, uint64_t limit, std::string& bytes)
{
    std::FILE* file = PlatOpenRegularStream(path.c_str());
    if (file == nullptr) {
        return PlatReadResult::Failed;
    }
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0) {
        std::fclose(file);
        return PlatReadResult::Failed;
    }
    if (uint64_t(st.st_size) > limit) {
        std::fclose(file);
        return PlatReadResult::TooLarge;
    }
    const size_t kept = bytes.size();
    bytes.reserve(kept + size_t(st.st_size));
    char buffer[65536];
    uint64_t total = 0;
    size_t got = 0;
    // One byte past the limit tells a file that grew beyond it.
    while (total <= limit &&
           (got = std::fread(buffer, 1, size_t(std::min<uint64_t>(sizeof buffer, limit + 1 - total)), file)) > 0) {
        bytes.append(buffer, got);
        total += got;
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok || total > limit) {
        bytes.resize(kept);
        return ok ? PlatReadResult::TooLarge : PlatReadResult::Failed;
    }
    return PlatReadResult::Read;
}

bool PlatSameFileState(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}
