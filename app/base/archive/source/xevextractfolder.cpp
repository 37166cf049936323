// The private extraction folder of each running copy, and the removal of what copies that did
// not end cleanly left.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platfolder.h"
#include "shell/xevziparchive.h"

namespace {

constexpr const char* kLockName = kXEVExtractLockName;
// A folder goes by "x." and six characters once it holds its lock; "new." before.
constexpr char kReadyPart[] = "x.";
constexpr char kNewPart[] = "new.";
constexpr size_t kSuffixLength = 6;

// A folder of this copy and the lock it holds on it.
struct Held {
    std::string path;
    int lockFd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
};

struct OwnFolder {
    std::mutex mutex;
    std::string temp;   // the temporary folder it was made for
    Held held;
    std::string madeUser;   // the user's folder, when this copy made it for its folder
    std::string ended;      // the folder the end removed: what is left of it keeps its lock file
};

// Never destroyed: an end through exit() runs static destructors while copiers still work.
OwnFolder& TheOwnFolder()
{
    static OwnFolder& folder = *new OwnFolder;
    return folder;
}

// The name beside the user's folder, for when someone else holds that one.
std::string FallbackPrefix()
{
    return "kestro-" + std::to_string(::geteuid()) + "-";
}

std::string WithoutSlash(std::string folder)
{
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    return folder;
}

int OpenFolderNoLink(int parent, const char* name)
{
    return ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Still the folder this copy made, where it made it.
bool Intact(const Held& own)
{
    struct stat st {};
    return own.lockFd >= 0 && ::lstat(own.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_dev == own.dev &&
           st.st_ino == own.ino;
}

// The lock file made again in the open folder dirFd, for what is left of it.
void PutBackLockFile(int dirFd)
{
    const int lockFd = ::openat(dirFd, kLockName, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lockFd >= 0) {
        ::close(lockFd);
    }
}

// Empties and removes the open folder dirFd, named name in parent. Its lock file goes last:
// a removal stopped or failed half way, or cut short by the end of the process, leaves a folder
// that a later start still knows for a leftover. A copier still at work (a loader at exit, in a
// read of a slow disc) may name a file or a folder, at any level, between the emptying and the
// removal; the lock file is put back at once then, and the folder emptied again; once it is gone
// nothing more can be named in it. When the stop comes first, or an entry stays through every
// pass, the lock file stays for what is left. heldLock, when given, is the lock file held open,
// closed before the lock file goes.
bool RemoveFolderAt(int parent, const char* name, int dirFd, const std::function<bool()>& stop = {},
                    int* heldLock = nullptr)
{
    constexpr int kPasses = 64;
    // Asked no more once it said stop.
    bool stopped = false;
    const std::function<bool()> asked = [&] { return stopped = stopped || (stop && stop()); };
    for (int pass = 0; pass < kPasses && !stopped; ++pass) {
        if (!PlatEmptyFolderAt(dirFd, kLockName, asked)) {
            continue;
        }
        // A file system that keeps an open file under another name until it is closed (FUSE,
        // NFS) would keep the folder for it. A start that takes the lock now finds the folder
        // empty and removes it, as this does.
        if (heldLock != nullptr && *heldLock >= 0) {
            ::close(std::exchange(*heldLock, -1));
        }
        if (::unlinkat(dirFd, kLockName, 0) != 0 && errno != ENOENT) {
            break;
        }
        if (::unlinkat(parent, name, AT_REMOVEDIR) == 0) {
            return true;
        }
        const int failed = errno;
        PutBackLockFile(dirFd);
        if (failed != ENOTEMPTY && failed != EEXIST) {
            break;
        }
    }
    PutBackLockFile(dirFd);
    return false;
}

// Removes the folder when asked (until stop says so), then lets its lock go.
void Forget(Held& own, bool remove, const std::function<bool()>& stop = {})
{
    if (!own.path.empty()) {
        ZipForgetExtracted(own.path);
    }
    if (remove && Intact(own)) {
        const int fd = OpenFolderNoLink(AT_FDCWD, own.path.c_str());
        if (fd >= 0) {
            RemoveFolderAt(AT_FDCWD, own.path.c_str(), fd, stop, &own.lockFd);
            ::close(fd);
        }
    }
    if (own.lockFd >= 0) {
        ::close(own.lockFd);
    }
    own.lockFd = -1;
    own.path.clear();
}

// The folder path made anew, mkdir taking no name that is there, and the held lock file of the
// folder made moved into it, which is then removed: for a file system that takes no flag on a
// rename (FUSE, some network file systems). Until the lock file is in, a start-up of another
// copy takes the folder for no copy's and leaves it. The new folder, open; -1 when not made.
int TakeNameWithLock(const std::string& made, int madeFd, const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0) {
        return -1;
    }
    const int fd = OpenFolderNoLink(AT_FDCWD, path.c_str());
    if (fd >= 0 && ::renameat(madeFd, kLockName, fd, kLockName) == 0) {
        ::unlinkat(AT_FDCWD, made.c_str(), AT_REMOVEDIR);
        return fd;
    }
    if (fd >= 0) {
        ::close(fd);
    }
    ::unlinkat(AT_FDCWD, path.c_str(), AT_REMOVEDIR);
    return -1;
}

// A new folder in parent, prefix + "x." + six characters, that holds its lock already when it
// takes that name: a start-up of another copy never sees it unlocked.
bool MakeLocked(const std::string& parent, const std::string& prefix, Held& own)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string made = parent + "/" + prefix + kNewPart + "XXXXXX";
        if (::mkdtemp(made.data()) == nullptr) {
            return false;
        }
        const std::string path = parent + "/" + prefix + kReadyPart + made.substr(made.size() - kSuffixLength);
        int dirFd = OpenFolderNoLink(AT_FDCWD, made.c_str());
        const int lockFd =
            dirFd >= 0 ? ::openat(dirFd, kLockName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600) : -1;
        struct stat st {};
        const bool locked = lockFd >= 0 && ::flock(lockFd, LOCK_EX | LOCK_NB) == 0 && ::fstat(dirFd, &st) == 0;
        // Never over a folder of that name: a leftover still there keeps it.
        bool named = locked && ::renameat2(AT_FDCWD, made.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
        if (locked && !named && (errno == EINVAL || errno == ENOSYS)) {
            const int ready = TakeNameWithLock(made, dirFd, path);
            if (ready >= 0) {
                // The folder made is gone: the new one is what a failure removes.
                ::close(std::exchange(dirFd, ready));
                made = path;
                named = ::fstat(dirFd, &st) == 0;
            }
        }
        if (named) {
            ::close(dirFd);
            own.path = path;
            own.lockFd = lockFd;
            own.dev = st.st_dev;
            own.ino = st.st_ino;
            return true;
        }
        if (lockFd >= 0) {
            ::close(lockFd);
        }
        if (dirFd >= 0) {
            RemoveFolderAt(AT_FDCWD, made.c_str(), dirFd);
            ::close(dirFd);
        }
        if (!locked) {
            return false;
        }
    }
    return false;
}

// The leftovers in parent named prefix + "x." + six characters: folders of this user with a
// lock file of this user that no running copy holds.
int RemoveLeftoversIn(const std::string& parent, const std::string& prefix, const std::string& skip,
                      const std::function<bool()>& stop, std::vector<std::string>* busy = nullptr)
{
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) {
        return 0;
    }
    const std::string wanted = prefix + kReadyPart;
    std::vector<std::string> names;
    if (busy != nullptr && !busy->empty()) {
        names = std::exchange(*busy, {});
    } else if (DIR* dir = ::fdopendir(::openat(parentFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() == wanted.size() + kSuffixLength && name.compare(0, wanted.size(), wanted) == 0 &&
                parent + "/" + name != skip) {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    int removed = 0;
    for (const std::string& name : names) {
        if (stop && stop()) {
            break;
        }
        const int dirFd = OpenFolderNoLink(parentFd, name.c_str());
        struct stat st {};
        if (dirFd < 0 || ::fstat(dirFd, &st) != 0 || st.st_uid != ::geteuid()) {
            if (dirFd >= 0) {
                ::close(dirFd);
            }
            continue;
        }
        int lockFd = ::openat(dirFd, kLockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat lockSt {};
        const bool ours =
            lockFd >= 0 && ::fstat(lockFd, &lockSt) == 0 && S_ISREG(lockSt.st_mode) && lockSt.st_uid == ::geteuid();
        // Held while the folder goes: no copy can take it meanwhile.
        const bool locked = ours && ::flock(lockFd, LOCK_EX | LOCK_NB) == 0;
        if (locked && RemoveFolderAt(parentFd, name.c_str(), dirFd, stop, &lockFd)) {
            ++removed;
        } else if (ours && !locked && busy != nullptr) {
            busy->push_back(name);
        }
        if (lockFd >= 0) {
            ::close(lockFd);
        }
        ::close(dirFd);
    }
    ::close(parentFd);
    return removed;
}

// A new folder of this copy's own in the user's folder of temp, or beside it.
void MakeOwn(OwnFolder& own, const std::string& temp)
{
    // Another copy that ends removes the user's folder when it made it and it is empty: a
    // folder made in it meanwhile is made again.
    for (int attempt = 0; attempt < 2 && own.held.path.empty(); ++attempt) {
        const bool there = !PlatGetUserTempFolder(false).empty();
        const std::string user = PlatGetUserTempFolder();
        if (!user.empty() && MakeLocked(user, std::string(), own.held)) {
            own.madeUser = there ? own.madeUser : user;
        } else if (user.empty() || errno != ENOENT) {
            break;
        }
    }
    // Someone else holds the user's folder name: a fresh folder of this copy beside it, so
    // that no one can stop every zip with a file of a name they can guess.
    if (own.held.path.empty()) {
        MakeLocked(temp, FallbackPrefix(), own.held);
    }
}

// path names something inside folder.
bool LiesIn(const std::string& folder, const std::string& path)
{
    return !folder.empty() && path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

// The folder at path and everything in it, when it is a real folder of this user; true when it
// is gone, also when it was missing. stop ends the emptying between two entries.
bool DeleteOwnFolder(const std::string& path, const std::function<bool()>& stop)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    const int fd = OpenFolderNoLink(AT_FDCWD, path.c_str());
    if (fd < 0) {
        return false;
    }
    const bool own = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    const bool emptied = own && PlatEmptyFolderAt(fd, std::string(), stop);
    ::close(fd);
    return emptied && ::rmdir(path.c_str()) == 0;
}

}   // namespace

std::string XEVGetExtractFolder()
{
    Held old;
    std::string path;
    {
        OwnFolder& own = TheOwnFolder();
        std::lock_guard<std::mutex> guard(own.mutex);
        const std::string temp = WithoutSlash(PlatGetTempFolder());
        if (own.temp == temp && Intact(own.held)) {
            return own.held.path;
        }
        old = std::exchange(own.held, Held());
        own.temp = temp;
        // None once the end has begun removing: it would outlive the process.
        ZipWhileNamingOpen([&] {
            MakeOwn(own, temp);
            return true;
        });
        path = own.held.path;
    }
    // Outside the lock: the folder that went stale may take a while to empty.
    Forget(old, true);
    return path;
}

void XEVEndExtractFolder(const std::function<bool()>& stop)
{
    Held held;
    std::string madeUser;
    {
        OwnFolder& own = TheOwnFolder();
        std::lock_guard<std::mutex> guard(own.mutex);
        held = std::exchange(own.held, Held());
        madeUser = std::exchange(own.madeUser, std::string());
        own.temp.clear();
        own.ended = held.path;
    }
    // Its lock is held until the removal ends or stops, or the process ends, so no start-up takes
    // it meanwhile.
    Forget(held, true, stop);
    // Only when empty: other copies' folders, and what this one left, keep it.
    if (!madeUser.empty()) {
        ::rmdir(madeUser.c_str());
    }
}

int XEVRemoveLeftoverExtractFolders(const std::function<bool()>& stop, int waitForEndingMs)
{
    std::string skip;
    {
        OwnFolder& own = TheOwnFolder();
        std::lock_guard<std::mutex> guard(own.mutex);
        skip = own.held.path;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitForEndingMs);
    // Only looked into: a start without an archive makes nothing in the temporary folder.
    const std::string user = PlatGetUserTempFolder(false);
    const std::string temp = WithoutSlash(PlatGetTempFolder());
    std::vector<std::string> userBusy;
    std::vector<std::string> tempBusy;
    int removed = user.empty() ? 0 : RemoveLeftoversIn(user, std::string(), skip, stop, &userBusy);
    removed += RemoveLeftoversIn(temp, FallbackPrefix(), skip, stop, &tempBusy);
    // A copy whose window has gone may still be removing its folder, and holds its lock until
    // it ends, within its bound: what it leaves is removed once it has.
    while ((!userBusy.empty() || !tempBusy.empty()) && std::chrono::steady_clock::now() < until && !(stop && stop())) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!userBusy.empty()) {
            removed += RemoveLeftoversIn(user, std::string(), skip, stop, &userBusy);
        }
        if (!tempBusy.empty()) {
            removed += RemoveLeftoversIn(temp, FallbackPrefix(), skip, stop, &tempBusy);
        }
    }
    return removed;
}

std::string XEVMakeImportFolder()
{
    const std::string own = XEVGetExtractFolder();
    if (own.empty()) {
        return std::string();
    }
    std::string made = own + "/a.XXXXXX";
    // mkdtemp takes no name that is there; under the gate, so the end's removal sees it.
    if (!ZipWhileNamingOpen([&] { return ::mkdtemp(made.data()) != nullptr; })) {
        return std::string();
    }
    return made;
}

bool XEVPrepareExtractFolder(const std::string& folder)
{
    return PlatMakePrivateFolder(folder);
}

bool XEVDeleteExtractFolder(const std::string& folder, const std::function<bool()>& stop)
{
    {
        OwnFolder& own = TheOwnFolder();
        std::lock_guard<std::mutex> guard(own.mutex);
        if (!folder.empty() && folder == own.held.path && Intact(own.held)) {
            const int fd = OpenFolderNoLink(AT_FDCWD, folder.c_str());
            const bool emptied = fd >= 0 && PlatEmptyFolderAt(fd, kLockName, stop);
            if (fd >= 0) {
                ::close(fd);
            }
            ZipForgetExtracted(folder);
            return emptied;
        }
        if (!folder.empty() && (folder == own.ended || LiesIn(own.ended, folder))) {
            struct stat st {};
            return ::lstat(folder.c_str(), &st) != 0 && errno == ENOENT;
        }
    }
    const bool deleted = DeleteOwnFolder(folder, stop);
    ZipForgetExtracted(folder);
    return deleted;
}
