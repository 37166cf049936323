#include "platform/platfolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <pwd.h>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace {

std::mutex& ModuleFolderMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::string& ModuleFolderOverride()
{
    static std::string& folder = *new std::string;
    return folder;
}

std::string WithSlash(std::string folder)
{
    if (!folder.empty() && folder.back() != '/') {
        folder.push_back('/');
    }
    return folder;
}

// Mountinfo escapes blanks, tabs, newlines and backslashes in paths as three octal digits.
std::string DecodeOctalEscapes(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out.push_back(static_cast<char>(((a - '0') << 6) | ((b - '0') << 3) | (c - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

std::vector<std::string_view> SplitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && line[i] != ' ') {
            ++i;
        }
        if (i > start) {
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

bool Contains(const std::string& mountPoint, const std::string& path)
{
    if (mountPoint == "/") {
        return true;
    }
    return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

PlatDriveType Classify(std::string_view fsType, std::string_view source, std::string_view device)
{
    if (fsType == "iso9660" || fsType == "udf" || source.substr(0, 7) == "/dev/sr" || device.substr(0, 3) == "11:") {
        return PlatDriveType::CdRom;
    }
    if (fsType == "nfs" || fsType == "nfs4" || fsType == "cifs" || fsType == "smb3" || fsType == "smbfs" ||
        fsType == "fuse.sshfs" || fsType == "sshfs") {
        return PlatDriveType::Remote;
    }
    return PlatDriveType::Fixed;
}

}   // namespace

std::string PlatGetModuleFolder()
{
    {
        std::lock_guard<std::mutex> guard(ModuleFolderMutex());
        if (!ModuleFolderOverride().empty()) {
            return ModuleFolderOverride();
        }
    }
    // No fixed-size cut of the path: grow the buffer until the link fits.
    std::string buffer(256, '\0');
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            return std::string();
        }
        if (static_cast<size_t>(length) < buffer.size()) {
            buffer.resize(static_cast<size_t>(length));
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    const size_t slash = buffer.rfind('/');
    return slash == std::string::npos ? std::string() : buffer.substr(0, slash + 1);
}

void PlatSetModuleFolderForTest(const std::string& folder)
{
    std::lock_guard<std::mutex> guard(ModuleFolderMutex());
    ModuleFolderOverride() = WithSlash(folder);
}

std::string PlatGetLocalAppDataFolder()
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    std::string home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] == '/') {
        home = env;
    } else {
        passwd entry{};
        passwd* result = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result != nullptr &&
            result->pw_dir != nullptr && result->pw_dir[0] == '/') {
            home = result->pw_dir;
        }
    }
    if (home.empty()) {
        return std::string();
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return (home == "/" ? std::string() : home) + "/.local/share";
}

std::string PlatGetTempFolder()
{
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr && tmp[0] == '/') {
        return WithSlash(tmp);
    }
    return WithSlash(P_tmpdir);
}

PlatDriveType PlatGetDriveTypeFrom(const std::string& path, const std::string& mountinfoPath)
{
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return PlatDriveType::None;
    }
    const std::string target(resolved);
    std::free(resolved);

    FILE* file = std::fopen(mountinfoPath.c_str(), "re");
    if (file == nullptr) {
        return PlatDriveType::Fixed;
    }
    PlatDriveType type = PlatDriveType::Fixed;
    size_t bestLength = 0;
    bool found = false;
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, file)) > 0) {
        std::string_view text(line, static_cast<size_t>(length));
        if (text.back() == '\n') {
            text.remove_suffix(1);
        }
        // id parent major:minor root mount-point options [optional...] - type source super-options
        const std::vector<std::string_view> fields = SplitFields(text);
        size_t dash = 6;
        while (dash < fields.size() && fields[dash] != "-") {
            ++dash;
        }
        if (fields.size() < 5 || dash + 1 >= fields.size()) {
            continue;
        }
        const std::string mountPoint = DecodeOctalEscapes(fields[4]);
        // A later mount on the same point hides the earlier one, so ties go to the later line.
        if (Contains(mountPoint, target) && (!found || mountPoint.size() >= bestLength)) {
            found = true;
            bestLength = mountPoint.size();
            const std::string_view source = dash + 2 < fields.size() ? fields[dash + 2] : std::string_view();
            type = Classify(fields[dash + 1], source, fields[2]);
        }
    }
    std::free(line);
    std::fclose(file);
    return type;
}

PlatDriveType PlatGetDriveType(const std::string& path)
{
    return PlatGetDriveTypeFrom(path, "/proc/self/mountinfo");
}

bool PlatMakePrivateFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    const bool own = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
                     ((st.st_mode & 07777) == 0700 || ::fchmod(fd, 0700) == 0);
    ::close(fd);
    return own;
}

std::string PlatGetUserTempFolder(bool make)
{
    const std::string folder = PlatGetTempFolder() + "kestro-" + std::to_string(::geteuid());
    if (!make) {
        struct stat st {};
        const bool own = ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
        return own ? folder : std::string();
    }
    return PlatMakePrivateFolder(folder) ? folder : std::string();
}

namespace {

struct FolderId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool Is(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// A folder the walk is in: how it was entered, and its sub-folders still to go down into.
struct Level {
    FolderId id;
    std::string name;
    std::vector<std::string> subs;
};

std::atomic<uint64_t> entriesRead{0};

bool Stopped(const std::function<bool()>& stop)
{
    return stop && stop();
}

// The non-folder at name goes; ENOENT counts as gone.
bool UnlinkEntry(int fd, const char* name)
{
    return ::unlinkat(fd, name, 0) == 0 || errno == ENOENT;
}

// One pass over the open folder: every entry but folders and keep is unlinked as it is read,
// the folders are noted in subs for the walk to go down into. False when stop asked to end.
bool ClearFiles(int fd, const std::string& keep, std::vector<std::string>& subs, bool& complete,
                const std::function<bool()>& stop)
{
    // A description of its own: a dup would share the offset with the walk's descriptor.
    const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        complete = false;
        return true;
    }
    bool going = true;
    while (const dirent* entry = ::readdir(dir)) {
        entriesRead.fetch_add(1, std::memory_order_relaxed);
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 || name == keep) {
            continue;
        }
        if (Stopped(stop)) {
            going = false;
            break;
        }
        bool folder = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat st {};
            folder = ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (folder) {
            subs.emplace_back(name);
        } else if (!UnlinkEntry(fd, name)) {
            complete = false;
        }
    }
    ::closedir(dir);
    return going;
}

}   // namespace

uint64_t PlatEmptyFolderEntriesRead()
{
    return entriesRead.load(std::memory_order_relaxed);
}

bool PlatEmptyFolderAt(int dirFd, const std::string& keep, const std::function<bool()>& stop)
{
    struct stat rootSt {};
    if (::fstat(dirFd, &rootSt) != 0) {
        return false;
    }
    // Down by name and up again through "..", one descriptor at a time: each level is
    // remembered by identity and by the names of the sub-folders still to go, so the depth
    // costs memory only, and no folder is read twice.
    int fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    std::vector<Level> levels;
    levels.push_back(Level{FolderId{rootSt.st_dev, rootSt.st_ino}, std::string(), {}});
    // Bounds the folders read again, so that a writer that never stops cannot hold the walk.
    constexpr int kReentries = 4096;
    int reentries = 0;
    bool complete = true;
    bool going = ClearFiles(fd, keep, levels.back().subs, complete, stop);
    while (going) {
        if (!levels.back().subs.empty()) {
            if (Stopped(stop)) {
                going = false;
                break;
            }
            std::string name = std::move(levels.back().subs.back());
            levels.back().subs.pop_back();
            const int child = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat childSt {};
            if (child < 0 || ::fstat(child, &childSt) != 0) {
                // Replaced by a link or a file since it was read: that goes as one.
                complete = (errno == ENOENT || UnlinkEntry(fd, name.c_str())) && complete;
                if (child >= 0) {
                    ::close(child);
                }
                continue;
            }
            ::close(fd);
            fd = child;
            levels.push_back(Level{FolderId{childSt.st_dev, childSt.st_ino}, std::move(name), {}});
            going = ClearFiles(fd, std::string(), levels.back().subs, complete, stop);
            continue;
        }
        if (levels.size() == 1) {
            break;
        }
        // As empty as it gets: up to the folder it was entered from, which must still be that one.
        const std::string name = std::move(levels.back().name);
        levels.pop_back();
        const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        struct stat parentSt {};
        if (parent < 0 || ::fstat(parent, &parentSt) != 0 || !levels.back().id.Is(parentSt)) {
            if (parent >= 0) {
                ::close(parent);
            }
            return false;
        }
        fd = parent;
        if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            // A writer named something in it after its emptying: it is emptied again.
            if ((errno == ENOTEMPTY || errno == EEXIST) && reentries < kReentries) {
                ++reentries;
                levels.back().subs.push_back(name);
            } else {
                complete = false;
            }
        }
    }
    ::close(fd);
    return going && complete;
}

bool PlatDeleteOwnFolder(const std::string& path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool own = ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid();
    const bool emptied = own && PlatEmptyFolderAt(fd);
    ::close(fd);
    return emptied && ::rmdir(path.c_str()) == 0;
}
