#include "platform/platfolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <set>
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
    static std::string folder;
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
    bool operator<(const FolderId& other) const { return dev != other.dev ? dev < other.dev : ino < other.ino; }
    bool Is(const struct stat& st) const { return st.st_dev == dev && st.st_ino == ino; }
};

// One pass over the open folder: every entry but folders and keep is unlinked; the first
// folder not given up is named in sub for the walk to go down into.
bool ClearOneLevel(int fd, const std::string& keep, const std::set<FolderId>& givenUp, std::string& sub,
                   FolderId& subId, bool& complete)
{
    // A description of its own: a dup would share the offset that the last pass left at the end.
    const int listFd = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (dir == nullptr) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 && entry->d_name != keep) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    sub.clear();
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            complete = complete && errno == ENOENT;
            continue;
        }
        if (!S_ISDIR(st.st_mode)) {
            complete = (::unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT) && complete;
        } else if (sub.empty() && givenUp.count(FolderId{st.st_dev, st.st_ino}) == 0) {
            sub = name;
            subId = FolderId{st.st_dev, st.st_ino};
        }
    }
    return true;
}

}   // namespace

bool PlatEmptyFolderAt(int dirFd, const std::string& keep)
{
    struct stat rootSt {};
    if (::fstat(dirFd, &rootSt) != 0) {
        return false;
    }
    // Down and up again by name, one descriptor at a time: the levels are remembered by
    // identity, not by an open descriptor each, so the depth costs memory only.
    int fd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    std::vector<std::pair<FolderId, std::string>> levels;
    std::set<FolderId> givenUp;
    bool complete = true;
    for (;;) {
        std::string sub;
        FolderId subId;
        if (!ClearOneLevel(fd, levels.empty() ? keep : std::string(), givenUp, sub, subId, complete)) {
            complete = false;
        }
        if (!sub.empty()) {
            const int child = ::openat(fd, sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat childSt {};
            if (child >= 0 && ::fstat(child, &childSt) == 0 && subId.Is(childSt)) {
                ::close(fd);
                fd = child;
                levels.emplace_back(subId, sub);
                continue;
            }
            if (child >= 0) {
                ::close(child);
            }
            givenUp.insert(subId);
            complete = false;
            continue;
        }
        if (levels.empty()) {
            break;
        }
        // As empty as it gets: up to the folder it was entered from, which must still be that one.
        const auto [id, name] = levels.back();
        levels.pop_back();
        const FolderId above = levels.empty() ? FolderId{rootSt.st_dev, rootSt.st_ino} : levels.back().first;
        const int parent = ::openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(fd);
        struct stat parentSt {};
        if (parent < 0 || ::fstat(parent, &parentSt) != 0 || !above.Is(parentSt)) {
            if (parent >= 0) {
                ::close(parent);
            }
            return false;
        }
        fd = parent;
        if (::unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0) {
            givenUp.insert(id);
            complete = false;
        }
    }
    ::close(fd);
    return complete;
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
