#include "shell/xevziparchive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <shared_mutex>
#include <string_view>
#include <tuple>
#include <utility>

#include <ioapi.h>
#include <zlib.h>

#include "platform/platfile.h"
#include "platform/platfolder.h"

namespace {

// Unix host in the upper byte of "version made by".
constexpr uint32_t kZipHostUnix = 3;

class FdHolder {
public:
    explicit FdHolder(int fd = -1) : fd_(fd) {}
    ~FdHolder() { Reset(-1); }
    FdHolder(const FdHolder&) = delete;
    FdHolder& operator=(const FdHolder&) = delete;
    int Get() const { return fd_; }
    void Reset(int fd)
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

// The parts between separators, as views of path: names of thousands of bytes are split once
// each, without copying them a character at a time.
std::vector<std::string_view> SplitPath(std::string_view path)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t at = 0; at <= path.size(); ++at) {
        if (at == path.size() || IsSeparator(path[at])) {
            parts.push_back(path.substr(start, at - start));
            start = at + 1;
        }
    }
    return parts;
}

// Lexical normalisation with both separators: false when ".." climbs above the start.
bool NormalisePath(const std::string& path, std::vector<std::string>& parts)
{
    parts.clear();
    std::vector<std::string_view> kept;
    for (const std::string_view part : SplitPath(path)) {
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (kept.empty()) {
                return false;
            }
            kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    parts.reserve(kept.size());
    for (const std::string_view part : kept) {
        parts.emplace_back(part);
    }
    return true;
}

std::string FileNameOf(const std::string& path)
{
    size_t start = path.size();
    while (start > 0 && !IsSeparator(path[start - 1])) {
        --start;
    }
    return path.substr(start);
}

std::string JoinParts(const std::vector<std::string>& parts, size_t from)
{
    // Made at its length: the index keeps these, and one grown part by part holds up to
    // twice its bytes.
    size_t length = 0;
    for (size_t i = from; i < parts.size(); ++i) {
        length += (i > from ? 1 : 0) + parts[i].size();
    }
    std::string joined;
    joined.reserve(length);
    for (size_t i = from; i < parts.size(); ++i) {
        if (i > from) {
            joined += '/';
        }
        joined += parts[i];
    }
    return joined;
}

// Both paths normalised, the second strictly below the first (which must be absolute).
bool LiesBelow(const std::string& folder, const std::string& path, std::vector<std::string>& folderParts,
               std::vector<std::string>& pathParts)
{
    return !folder.empty() && folder[0] == '/' && NormalisePath(folder, folderParts) &&
           NormalisePath(path, pathParts) && pathParts.size() > folderParts.size() &&
           std::equal(folderParts.begin(), folderParts.end(), pathParts.begin());
}

// A folder of ours, opened without following a link; -1 otherwise.
int OpenOwnFolder(const std::string& folder)
{
    FdHolder fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
        return -1;
    }
    return fd.Release();
}

// Every name made in an extraction folder is made under this gate, so that once the end has
// shut it nothing new appears in the folder it removes. Never destroyed: copiers outlive exit().
struct NamingGate {
    std::shared_mutex mutex;
    // Read under the shared lock; set without it, so that shutting never waits for a namer.
    std::atomic<bool> shut{false};
};

NamingGate& TheNamingGate()
{
    static NamingGate& gate = *new NamingGate;
    return gate;
}

// make() names one entry, unless the gate is shut (-1, errno ECANCELED).
template <typename Make>
int WhileNamingOpen(Make make)
{
    NamingGate& gate = TheNamingGate();
    std::shared_lock<std::shared_mutex> hold(gate.mutex);
    if (gate.shut.load()) {
        errno = ECANCELED;
        return -1;
    }
    return make();
}

// The sub-folder, made when missing; never through a link.
int OpenSubFolder(int parent, const std::string& name)
{
    if (WhileNamingOpen([&] { return ::mkdirat(parent, name.c_str(), 0700); }) != 0 && errno != EEXIST) {
        return -1;
    }
    return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// A new file of our own beside leaf; its name comes back in tempName.
int CreateTempFile(int dirFd, const std::string& leaf, std::string& tempName)
{
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
        tempName = "." + leaf.substr(0, 200) + suffix;
        const int fd = WhileNamingOpen([&] {
            return ::openat(dirFd, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        });
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// The archive read through one descriptor with a read-ahead block: minizip reads the
// central directory a few bytes at a time after a seek per entry, which through stdio
// costs a system call or two each. The block grows while the reads go on where it ended
// (a walk), and stays small for the scattered reads of one member's head. Within an open member's
// data it stops at the member's end: the next member is not the one wanted next.
struct ZipReader {
    static constexpr size_t kSmallBlock = 4096;
    int fd = -1;
    uint64_t size = 0;
    uint64_t memberEnd = 0;
    // A member copied whole, from memberStart: the kernel reads ahead of the copy up to
    // advisedEnd, never past memberEnd.
    bool streamed = false;
    uint64_t memberStart = 0;
    uint64_t advisedEnd = 0;
    uint64_t position = 0;
    uint64_t blockStart = 0;
    size_t blockLength = 0;
    size_t nextFill = kSmallBlock;
    int failed = 0;
    char block[65536];
};

// minizip looks for the end of the central directory within 65,535 bytes of the file's end
// only, so the record of an archive whose comment has the largest length (65,535 bytes, the
// record 22 more) lies past its search. Opened again with this, the archive ends where its
// record ends: the comment is never read.
struct ReaderOptions {
    bool endAtRecord = false;
};
ReaderOptions g_endAtRecord{true};
// The file stays open from the open minizip gave up on to the one after it: it is opened once.
thread_local int* t_keepClosed = nullptr;
// The reader the last open on this thread made.
thread_local ZipReader* t_opened = nullptr;
thread_local int t_reopen = -1;

constexpr uint64_t kEndRecordSize = 22;
constexpr uint64_t kLargestComment = 65535;

bool ReadAt(int fd, char* out, size_t size, uint64_t offset);

// Where the last end record whose comment reaches exactly to the end of the file ends; 0 when
// none does.
uint64_t EndRecordEnd(int fd, uint64_t size)
{
    const uint64_t tail = std::min(size, kEndRecordSize + kLargestComment);
    std::vector<char> bytes(static_cast<size_t>(tail));
    if (tail < kEndRecordSize || !ReadAt(fd, bytes.data(), bytes.size(), size - tail)) {
        return 0;
    }
    for (size_t at = bytes.size() - kEndRecordSize + 1; at-- > 0;) {
        const auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + i])); };
        if (byte(0) == 'P' && byte(1) == 'K' && byte(2) == 5 && byte(3) == 6 &&
            at + kEndRecordSize + (byte(20) | (byte(21) << 8)) == bytes.size()) {
            return size - tail + at + kEndRecordSize;
        }
    }
    return 0;
}

voidpf ZCALLBACK ReaderOpen(voidpf opaque, const void* path, int mode)
{
    if (path == nullptr || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) {
        return nullptr;
    }
    // A named pipe chosen by mistake is refused instead of waited on.
    FdHolder fd(t_reopen >= 0 ? std::exchange(t_reopen, -1) : PlatOpenRegularFile(static_cast<const char*>(path)));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0) {
        return nullptr;
    }
    // The reads are sized to what minizip asks for: the kernel's read-ahead would have the drive
    // read on past a member's end, into members no one asked for (a 132 KB member cost 376 KB).
    ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_RANDOM);
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (opaque != nullptr && static_cast<const ReaderOptions*>(opaque)->endAtRecord) {
        size = EndRecordEnd(fd.Get(), size);
        if (size == 0) {
            return nullptr;
        }
    }
    auto* reader = new (std::nothrow) ZipReader;
    if (reader != nullptr) {
        reader->fd = fd.Release();
        reader->size = size;
        t_opened = reader;
    }
    return reader;
}

bool ReadAt(int fd, char* out, size_t size, uint64_t offset)
{
    while (size > 0) {
        const ssize_t got = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        out += got;
        size -= static_cast<size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
    return true;
}

// How far the kernel reads ahead of a member's copy: a real drive streams while the copy
// writes, and a screen read waits no longer behind it than behind the kernel's own window.
constexpr uint64_t kMemberReadAhead = 256 * 1024;

// The descriptor stays advised random, so that the directory's and small members' reads pull
// nothing in after them; within a member copied whole the kernel is asked for the member's
// next bytes ahead of the copy, a half window at a time.
void ReadAheadInMember(ZipReader& reader, uint64_t at)
{
    if (!reader.streamed || at < reader.memberStart || at >= reader.memberEnd) {
        return;
    }
    const uint64_t until = std::min(reader.memberEnd, at + kMemberReadAhead);
    const uint64_t from = std::max(reader.advisedEnd, at);
    if (from >= until || (from > at && from - at >= kMemberReadAhead / 2 && until < reader.memberEnd)) {
        return;
    }
    ::posix_fadvise(reader.fd, static_cast<off_t>(from), static_cast<off_t>(until - from), POSIX_FADV_WILLNEED);
    reader.advisedEnd = until;
}

uLong ZCALLBACK ReaderRead(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto& reader = *static_cast<ZipReader*>(stream);
    char* out = static_cast<char*>(buffer);
    const uint64_t available = reader.position < reader.size ? reader.size - reader.position : 0;
    const size_t wanted = static_cast<size_t>(size < available ? size : available);
    size_t done = 0;
    while (done < wanted) {
        const uint64_t at = reader.position;
        if (at >= reader.blockStart && at < reader.blockStart + reader.blockLength) {
            const size_t offset = static_cast<size_t>(at - reader.blockStart);
            const size_t take = std::min(wanted - done, reader.blockLength - offset);
            std::memcpy(out + done, reader.block + offset, take);
            done += take;
            reader.position += take;
            continue;
        }
        ReadAheadInMember(reader, at);
        if (wanted - done >= sizeof reader.block) {
            const size_t take = wanted - done;
            if (!ReadAt(reader.fd, out + done, take, at)) {
                break;
            }
            done += take;
            reader.position += take;
            continue;
        }
        const bool onward = at == reader.blockStart + reader.blockLength;
        reader.nextFill = onward ? std::min(2 * reader.nextFill, sizeof reader.block) : ZipReader::kSmallBlock;
        const uint64_t end = at < reader.memberEnd ? reader.memberEnd : reader.size;
        const size_t fill = static_cast<size_t>(std::min<uint64_t>(reader.nextFill, end - at));
        reader.blockLength = 0;
        if (!ReadAt(reader.fd, reader.block, fill, at)) {
            break;
        }
        reader.blockStart = at;
        reader.blockLength = fill;
    }
    if (done < size) {
        reader.failed = done < wanted ? 1 : reader.failed;
    }
    return static_cast<uLong>(done);
}

uLong ZCALLBACK ReaderWrite(voidpf, voidpf, const void*, uLong)
{
    return 0;
}

ZPOS64_T ZCALLBACK ReaderTell(voidpf, voidpf stream)
{
    return static_cast<ZipReader*>(stream)->position;
}

long ZCALLBACK ReaderSeek(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto& reader = *static_cast<ZipReader*>(stream);
    uint64_t base = 0;
    if (origin == ZLIB_FILEFUNC_SEEK_CUR) {
        base = reader.position;
    } else if (origin == ZLIB_FILEFUNC_SEEK_END) {
        base = reader.size;
    } else if (origin != ZLIB_FILEFUNC_SEEK_SET) {
        return -1;
    }
    if (offset > UINT64_MAX - base || base + offset > static_cast<uint64_t>(INT64_MAX)) {
        return -1;
    }
    reader.position = base + offset;
    return 0;
}

int ZCALLBACK ReaderClose(voidpf, voidpf stream)
{
    auto* reader = static_cast<ZipReader*>(stream);
    if (t_opened == reader) {
        t_opened = nullptr;
    }
    int result = 0;
    if (t_keepClosed != nullptr && *t_keepClosed < 0) {
        *t_keepClosed = reader->fd;
    } else {
        result = ::close(reader->fd);
    }
    delete reader;
    return result;
}

int ZCALLBACK ReaderError(voidpf, voidpf stream)
{
    return static_cast<ZipReader*>(stream)->failed;
}

zlib_filefunc64_def ReaderFunctions()
{
    zlib_filefunc64_def functions{};
    functions.zopen64_file = ReaderOpen;
    functions.zread_file = ReaderRead;
    functions.zwrite_file = ReaderWrite;
    functions.ztell64_file = ReaderTell;
    functions.zseek64_file = ReaderSeek;
    functions.zclose_file = ReaderClose;
    functions.zerror_file = ReaderError;
    return functions;
}

uint64_t StatFreeSpace(int dirFd)
{
    struct statvfs st {};
    if (::fstatvfs(dirFd, &st) != 0) {
        return 0;
    }
    return uint64_t(st.f_bavail) * st.f_frsize;
}

std::atomic<ZipFreeSpaceQuery> g_freeSpace{StatFreeSpace};
std::atomic<uint64_t> g_walks{0};
std::atomic<uint64_t> g_headBytes{0};

// The open raw member's data, stored or deflated, into fd: kZipTooLarge as soon as it gives
// more than its declared size, kZipReadFailed when it is broken, ends short or fails its CRC,
// kZipStopped when the control's stop is seen between blocks.
int32_t CopyMember(unzFile handle, int method, const unz_file_info64& info, int fd, char* buffer, char* packed,
                   const XEVZipCopyControl* control)
{
    if (method != 0 && method != Z_DEFLATED) {
        return kZipReadFailed;
    }
    z_stream stream{};
    if (method == Z_DEFLATED && inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        return kZipNoBuffer;
    }
    struct InflateEnd {
        z_stream* stream;
        ~InflateEnd()
        {
            if (stream != nullptr) {
                inflateEnd(stream);
            }
        }
    } end{method == Z_DEFLATED ? &stream : nullptr};
    uint64_t written = 0;
    // Packed bytes read and bytes written since the medium was last offered.
    uint64_t sinceBlock = 0;
    uint64_t sinceOffer = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool finished = false;
    const auto put = [&](const char* data, size_t size) {
        if (size > info.uncompressed_size - written) {
            return kZipTooLarge;
        }
        if (!WriteAll(fd, data, size)) {
            return kZipWriteFailed;
        }
        written += size;
        sinceOffer += size;
        crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
        return kZipOk;
    };
    // Between blocks: others may read the medium, and a stop ends the copy.
    const auto stopped = [&] {
        if (control == nullptr) {
            return false;
        }
        if (sinceBlock >= kZipCopyBufferSize || sinceOffer >= kZipOutputBlock) {
            sinceBlock = 0;
            sinceOffer = 0;
            if (control->between) {
                control->between();
            }
        }
        return control->stop != nullptr && control->stop->load() != 0;
    };
    while (!finished) {
        if (stopped()) {
            return kZipStopped;
        }
        const int read = unzReadCurrentFile(handle, packed, kZipPackedBufferSize);
        if (read < 0) {
            return kZipReadFailed;
        }
        sinceBlock += uint64_t(read);
        if (method == 0) {
            if (read == 0) {
                break;
            }
            if (const int32_t r = put(packed, size_t(read)); r != kZipOk) {
                return r;
            }
            continue;
        }
        stream.next_in = reinterpret_cast<Bytef*>(packed);
        stream.avail_in = static_cast<uInt>(read);
        do {
            if (stopped()) {
                return kZipStopped;
            }
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = kZipCopyBufferSize;
            const int z = inflate(&stream, Z_NO_FLUSH);
            // Z_BUF_ERROR: no progress without more input.
            if (z != Z_OK && z != Z_STREAM_END && z != Z_BUF_ERROR) {
                return kZipReadFailed;
            }
            if (const int32_t r = put(buffer, kZipCopyBufferSize - stream.avail_out); r != kZipOk) {
                return r;
            }
            finished = z == Z_STREAM_END;
            if (read == 0 && !finished && stream.avail_out != 0) {
                return kZipReadFailed;   // the data ends inside the stream
            }
        } while (!finished && stream.avail_out == 0);
    }
    return written == info.uncompressed_size && crc == info.crc ? kZipOk : kZipReadFailed;
}

}   // namespace

int ZipReadCurrentEntry(unzFile file, unz_file_info64& info, std::string& name)
{
    // minizip leaves a name that fills its buffer unterminated: the length comes from the
    // record, and a longer name is read again into a buffer of its size.
    char shortName[256];
    int result = unzGetCurrentFileInfo64(file, &info, shortName, sizeof shortName, nullptr, 0, nullptr, 0);
    if (result != UNZ_OK) {
        return result;
    }
    const size_t length = static_cast<size_t>(info.size_filename);
    if (length > kZipNameLimit) {
        name.clear();
        return UNZ_OK;
    }
    if (length <= sizeof shortName) {
        name.assign(shortName, length);
        return UNZ_OK;
    }
    std::vector<char> buffer(length, '\0');
    result =
        unzGetCurrentFileInfo64(file, &info, buffer.data(), static_cast<uLong>(buffer.size()), nullptr, 0, nullptr, 0);
    if (result == UNZ_OK) {
        name.assign(buffer.data(), length);
    }
    return result;
}

bool IsZipSymlink(const unz_file_info64& info)
{
    return (info.version >> 8) == kZipHostUnix && ((info.external_fa >> 16) & S_IFMT) == S_IFLNK;
}

bool IsSafeZipMember(const std::string& name, const unz_file_info64& info)
{
    return !IsZipSymlink(info) && IsSafeZipName(name);
}

bool IsSafeZipName(const std::string& name)
{
    if (name.empty() || name.find('\0') != std::string::npos || IsSeparator(name[0])) {
        return false;
    }
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0]))) {
        return false;
    }
    size_t start = 0;
    for (size_t at = 0; at <= name.size(); ++at) {
        if (at == name.size() || IsSeparator(name[at])) {
            if (at - start == 2 && name[start] == '.' && name[start + 1] == '.') {
                return false;
            }
            start = at + 1;
        }
    }
    return true;
}

bool IsDicomDirEntry(const std::string& name, const unz_file_info64& info)
{
    static const std::string& kName = *new std::string("DICOMDIR");
    const size_t at = name.find(kName);
    return at != std::string::npos && at + kName.size() == name.size() && (at == 0 || IsSeparator(name[at - 1])) &&
           IsSafeZipMember(name, info);
}

ZipArchive::~ZipArchive()
{
    Close();
}

int32_t ZipArchive::Open(const std::string& path)
{
    Close();
    zlib_filefunc64_def functions = ReaderFunctions();
    int kept = -1;
    t_keepClosed = &kept;
    t_opened = nullptr;
    handle_ = unzOpen2_64(path.c_str(), &functions);
    t_keepClosed = nullptr;
    if (handle_ == nullptr && kept >= 0) {
        // A comment of the largest length hides the end record from minizip's search.
        functions.opaque = &g_endAtRecord;
        t_reopen = kept;
        handle_ = unzOpen2_64(path.c_str(), &functions);
        if (t_reopen >= 0) {
            ::close(std::exchange(t_reopen, -1));
        }
    }
    reader_ = handle_ != nullptr ? std::exchange(t_opened, nullptr) : nullptr;
    return handle_ == nullptr ? kZipOpenFailed : kZipOk;
}

int32_t ZipArchive::Close()
{
    if (handle_ == nullptr) {
        return kZipNotOpen;
    }
    const int result = unzClose(handle_);
    handle_ = nullptr;
    reader_ = nullptr;
    return result == UNZ_OK ? kZipOk : kZipCloseFailed;
}

int32_t ZipArchive::List(std::vector<std::string>& names, std::vector<unz_file_info64>& infos)
{
    names.clear();
    infos.clear();
    uint64_t charged = 0;
    const int32_t result = Locate([&](const std::string& name, const unz_file_info64& info) {
        charged += name.size() + sizeof info + kZipIndexEntryCost;
        if (charged > kZipIndexBudget) {
            return true;
        }
        names.push_back(name);
        infos.push_back(info);
        return false;
    });
    // The walk wanted nothing, so reaching the end (or the budget) is success.
    return result == kZipNotFound || result == kZipOk ? kZipOk : result;
}

int32_t ZipArchive::Locate(const EntryTest& wanted)
{
    if (handle_ == nullptr) {
        return kZipNotOpen;
    }
    g_walks.fetch_add(1, std::memory_order_relaxed);
    if (unzGoToFirstFile(handle_) != UNZ_OK) {
        return kZipNoFirstEntry;
    }
    for (;;) {
        unz_file_info64 info{};
        std::string name;
        if (ZipReadCurrentEntry(handle_, info, name) != UNZ_OK) {
            return kZipInfoFailed;
        }
        if (info.size_filename <= kZipNameLimit && wanted(name, info)) {
            return kZipOk;
        }
        const int next = unzGoToNextFile(handle_);
        if (next == UNZ_END_OF_LIST_OF_FILE) {
            return kZipNotFound;
        }
        if (next != UNZ_OK) {
            return kZipNextFailed;
        }
    }
}

int32_t ZipArchive::GoTo(const unz64_file_pos& position, unz_file_info64& info, std::string& name)
{
    if (handle_ == nullptr) {
        return kZipNotOpen;
    }
    if (unzGoToFilePos64(handle_, &position) != UNZ_OK) {
        return kZipNotFound;
    }
    return ZipReadCurrentEntry(handle_, info, name) == UNZ_OK ? kZipOk : kZipInfoFailed;
}

int32_t ZipArchive::Extract(const std::string& member, const std::string& outputPath)
{
    // Our own walk: unzLocateFile cannot find names of 256 bytes or more.
    const int32_t located =
        Locate([&member](const std::string& name, const unz_file_info64&) { return name == member; });
    if (located != kZipOk) {
        return located == kZipNotOpen ? kZipNotOpen : kZipNotFound;
    }
    const size_t slash = outputPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : outputPath.substr(0, slash));
    FdHolder dirFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() < 0) {
        return kZipCreateFailed;
    }
    return ExtractCurrent(dirFd.Get(), outputPath.substr(slash == std::string::npos ? 0 : slash + 1));
}

int32_t ZipArchive::CheckCurrent(const XEVZipCopyControl* control)
{
    if (handle_ == nullptr) {
        return kZipNotOpen;
    }
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return kZipInfoFailed;
    }
    FdHolder sink(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kZipCopyBufferSize]);
    std::unique_ptr<char[]> packed(new (std::nothrow) char[kZipPackedBufferSize]);
    if (sink.Get() < 0 || buffer == nullptr || packed == nullptr) {
        return kZipNoBuffer;
    }
    int method = 0;
    if (OpenCurrentRaw(method, info.compressed_size) != UNZ_OK) {
        return kZipOpenFailed;
    }
    const int32_t copied = CopyMember(handle_, method, info, sink.Get(), buffer.get(), packed.get(), control);
    unzCloseCurrentFile(handle_);
    return copied;
}

int32_t ZipArchive::ExtractCurrent(int dirFd, const std::string& leaf, const XEVZipCopyControl* control)
{
    if (handle_ == nullptr) {
        return kZipNotOpen;
    }
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return kZipInfoFailed;
    }
    if (IsZipSymlink(info)) {
        return kZipNotFound;
    }
    if (leaf.empty() || leaf == "." || leaf == "..") {
        return kZipCreateFailed;
    }
    // Room for the member and a margin left for the rest of the system.
    const uint64_t free = g_freeSpace.load()(dirFd);
    if (info.uncompressed_size > free || free - info.uncompressed_size < kZipFreeSpaceMargin) {
        return kZipNoSpace;
    }
    std::string tempName;
    FdHolder out(CreateTempFile(dirFd, leaf, tempName));
    if (out.Get() < 0) {
        return kZipCreateFailed;
    }
    const auto fail = [&](int32_t code, bool memberOpen) {
        out.Reset(-1);
        ::unlinkat(dirFd, tempName.c_str(), 0);
        if (memberOpen) {
            unzCloseCurrentFile(handle_);
        }
        return code;
    };
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kZipCopyBufferSize]);
    std::unique_ptr<char[]> packed(new (std::nothrow) char[kZipPackedBufferSize]);
    if (buffer == nullptr || packed == nullptr) {
        return fail(kZipNoBuffer, false);
    }
    // Read raw and inflated here, so that the declared size is a hard limit: a member
    // inflating past it stops there instead of filling the disc.
    int method = 0;
    if (OpenCurrentRaw(method, info.compressed_size, true) != UNZ_OK) {
        return fail(kZipOpenFailed, false);
    }
    const int32_t copied = CopyMember(handle_, method, info, out.Get(), buffer.get(), packed.get(), control);
    if (copied != kZipOk) {
        return fail(copied, true);
    }
    packed.reset();
    buffer.reset();
    if (::close(out.Release()) != 0) {
        return fail(kZipWriteFailed, true);
    }
    if (unzCloseCurrentFile(handle_) != UNZ_OK) {
        return fail(kZipCloseFailed, false);
    }
    // A copy stopped as it came out is not named: its folder may be on its way out.
    if (control != nullptr && control->stop != nullptr && control->stop->load() != 0) {
        return fail(kZipStopped, false);
    }
    if (WhileNamingOpen([&] { return ::renameat(dirFd, tempName.c_str(), dirFd, leaf.c_str()); }) != 0) {
        return fail(errno == ECANCELED ? kZipStopped : kZipCreateFailed, false);
    }
    return kZipOk;
}

int ZipArchive::OpenCurrentRaw(int& method, uint64_t packedSize, bool whole)
{
    const int opened = unzOpenCurrentFile2(handle_, &method, nullptr, 1);
    if (opened == UNZ_OK && reader_ != nullptr) {
        const uint64_t start = unzGetCurrentFileZStreamPos64(handle_);
        auto& reader = *static_cast<ZipReader*>(reader_);
        reader.memberEnd = packedSize <= UINT64_MAX - start ? start + packedSize : 0;
        reader.streamed = whole;
        reader.memberStart = start;
        reader.advisedEnd = start;
    }
    return opened;
}

int32_t ZipArchive::CurrentDataStart(uint64_t& start, unz_file_info64& info)
{
    if (handle_ == nullptr) {
        return kZipNotOpen;
    }
    if (unzGetCurrentFileInfo64(handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return kZipInfoFailed;
    }
    // Opened raw: only the local header is read.
    int method = 0;
    if (unzOpenCurrentFile2(handle_, &method, nullptr, 1) != UNZ_OK) {
        return kZipOpenFailed;
    }
    start = unzGetCurrentFileZStreamPos64(handle_);
    return unzCloseCurrentFile(handle_) == UNZ_OK ? kZipOk : kZipCloseFailed;
}

namespace {

char FoldAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// How near a spelling comes to the wanted name, as a disc's file-ID resolver chooses: per
// component, the exact spelling first, else the smallest in byte order.
bool CloserSpelling(const std::string& a, const std::string& b, const std::string& wanted)
{
    size_t start = 0;
    while (start < wanted.size()) {
        size_t end = wanted.find('/', start);
        end = end == std::string::npos ? wanted.size() : end;
        const std::string_view want(wanted.data() + start, end - start);
        const std::string_view partA(a.data() + start, end - start);
        const std::string_view partB(b.data() + start, end - start);
        if ((partA == want) != (partB == want)) {
            return partA == want;
        }
        if (partA != partB) {
            return partA < partB;
        }
        start = end + 1;
    }
    return false;
}

}   // namespace

size_t ZipMemberIndex::FoldedHash::operator()(const std::string& name) const
{
    size_t hash = 14695981039346656037ull;
    for (const char c : name) {
        hash = (hash ^ static_cast<unsigned char>(FoldAscii(c))) * 1099511628211ull;
    }
    return hash;
}

bool ZipMemberIndex::FoldedEqual::operator()(const std::string& a, const std::string& b) const
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return FoldAscii(x) == FoldAscii(y); });
}

int32_t ZipMemberIndex::Build(ZipArchive& archive)
{
    byPath_.clear();
    dicomDirFolder_.clear();
    dicomDirSeen_ = false;
    charged_ = 0;
    full_ = false;
    const int32_t walked = archive.Locate([&](const std::string& name, const unz_file_info64& info) {
        std::vector<std::string> parts;
        if (FileNameOf(name).empty() || !IsSafeZipName(name) || !NormalisePath(name, parts) || parts.empty()) {
            return false;
        }
        // The key as kept and the entry's share of the table; the walk ends where they run out.
        std::string key = JoinParts(parts, 0);
        const uint64_t cost = key.size() + kZipIndexEntryCost;
        if (cost > kZipIndexBudget - charged_) {
            full_ = true;
            return true;
        }
        charged_ += cost;
        ZipMemberEntry entry;
        if (unzGetFilePos64(archive.handle_, &entry.position) != UNZ_OK) {
            return false;
        }
        entry.size = info.uncompressed_size;
        entry.link = IsZipSymlink(info);
        if (!dicomDirSeen_ && IsDicomDirEntry(name, info)) {
            dicomDirSeen_ = true;
            dicomDir_ = entry;
            dicomDirFolder_ = parts.size() > 1
                                  ? JoinParts(std::vector<std::string>(parts.begin(), parts.end() - 1), 0) + "/"
                                  : std::string();
        }
        byPath_.emplace(std::move(key), entry);
        return false;
    });
    return walked == kZipNotFound || walked == kZipOk ? kZipOk : walked;
}

const ZipMemberEntry* ZipMemberIndex::Find(const std::string& relativePath, std::string* name) const
{
    if (relativePath.empty()) {
        return nullptr;
    }
    const std::string wanted = dicomDirFolder_ + relativePath;
    const auto [first, last] = byPath_.equal_range(wanted);
    auto best = last;
    for (auto it = first; it != last; ++it) {
        // A member before a link; then the closest spelling, and of one spelling the first in
        // archive order.
        if (best == last || (best->second.link && !it->second.link) ||
            (best->second.link == it->second.link &&
             (CloserSpelling(it->first, best->first, wanted) ||
              (it->first == best->first &&
               it->second.position.pos_in_zip_directory < best->second.position.pos_in_zip_directory)))) {
            best = it;
        }
    }
    if (best == last) {
        return nullptr;
    }
    if (name != nullptr) {
        *name = best->first;
    }
    return &best->second;
}

uint64_t ZipHeadBytesInflated()
{
    return g_headBytes.load();
}

uint64_t ZipDirectoryWalks()
{
    return g_walks.load(std::memory_order_relaxed);
}

namespace {

// One archive is imported at a time: its index is kept, and made again when the file changes,
// with a few archives kept open on it.
struct IndexCache {
    static constexpr size_t kOpenArchives = 8;
    std::mutex mutex;
    std::string path;
    struct stat identity {};
    std::shared_ptr<const ZipMemberIndex> index;
    std::vector<std::unique_ptr<ZipArchive>> open;
};

// Never destroyed: a worker may still open members through it while exit() runs.
IndexCache& TheIndexCache()
{
    static IndexCache& cache = *new IndexCache;
    return cache;
}

// The index, and an archive kept open on it when there is one.
std::shared_ptr<const ZipMemberIndex> IndexOf(const std::string& zipPath, bool fresh,
                                              std::unique_ptr<ZipArchive>* archive = nullptr)
{
    struct stat before {};
    if (::stat(zipPath.c_str(), &before) != 0) {
        return nullptr;
    }
    IndexCache& cache = TheIndexCache();
    std::lock_guard<std::mutex> guard(cache.mutex);
    if (!fresh && cache.index != nullptr && cache.path == zipPath && PlatSameFileState(cache.identity, before)) {
        if (archive != nullptr && !cache.open.empty()) {
            *archive = std::move(cache.open.back());
            cache.open.pop_back();
        }
        return cache.index;
    }
    // The index it replaces goes first: two at once would take twice the budget.
    cache.open.clear();
    cache.path.clear();
    cache.index.reset();
    ZipArchive walker;
    if (walker.Open(zipPath) != kZipOk) {
        return nullptr;
    }
    auto index = std::make_shared<ZipMemberIndex>();
    index->Build(walker);
    struct stat after {};
    if (::stat(zipPath.c_str(), &after) == 0 && PlatSameFileState(before, after)) {
        cache.path = zipPath;
        cache.identity = before;
        cache.index = index;
    }
    return index;
}

// Kept open for the next member while its index is still the kept one.
void GiveBack(const std::shared_ptr<const ZipMemberIndex>& index, std::unique_ptr<ZipArchive> archive)
{
    IndexCache& cache = TheIndexCache();
    std::lock_guard<std::mutex> guard(cache.mutex);
    if (index != nullptr && index == cache.index && cache.open.size() < IndexCache::kOpenArchives) {
        cache.open.push_back(std::move(archive));
    }
}

}   // namespace

// An archive the cache handed over serves; otherwise the caller opens its own.
int32_t OpenUnlessHanded(std::unique_ptr<ZipArchive>& archive, const std::string& zipPath)
{
    if (archive != nullptr) {
        return kZipOk;
    }
    archive = std::make_unique<ZipArchive>();
    return archive->Open(zipPath);
}

std::shared_ptr<const ZipMemberIndex> ZipIndexOf(const std::string& zipPath)
{
    return IndexOf(zipPath, false);
}

void ZipForgetIndex()
{
    IndexCache& cache = TheIndexCache();
    std::lock_guard<std::mutex> guard(cache.mutex);
    cache.path.clear();
    cache.index.reset();
    cache.open.clear();
}

ZipOpenMember::~ZipOpenMember()
{
    Release();
}

void ZipOpenMember::Release()
{
    if (archive_ != nullptr) {
        GiveBack(index_, std::move(archive_));
    }
    archive_.reset();
    index_.reset();
    name_.clear();
}

int32_t ZipOpenMember::Open(const std::string& zipPath, const std::string& extractFolder, const std::string& path)
{
    Release();
    std::vector<std::string> folderParts;
    std::vector<std::string> pathParts;
    if (!LiesBelow(extractFolder, path, folderParts, pathParts)) {
        return kZipNoMatch;
    }
    const std::string relative = JoinParts(pathParts, folderParts.size());
    // A kept index may be older than a file rewritten within the clock's tick: the entry it
    // names is checked, and a mismatch makes it anew once.
    for (const bool fresh : {false, true}) {
        std::unique_ptr<ZipArchive> archive;
        std::shared_ptr<const ZipMemberIndex> index = IndexOf(zipPath, fresh, &archive);
        if (index == nullptr) {
            return kZipOpenFailed;
        }
        std::string indexed;
        const ZipMemberEntry* found = index->Find(relative, &indexed);
        if (found == nullptr) {
            return kZipNoMatch;
        }
        if (const int32_t opened = OpenUnlessHanded(archive, zipPath); opened != kZipOk) {
            return opened;
        }
        unz_file_info64 info{};
        std::string name;
        std::vector<std::string> parts;
        if (archive->GoTo(found->position, info, name) == kZipOk && info.uncompressed_size == found->size &&
            IsZipSymlink(info) == found->link && IsSafeZipName(name) && NormalisePath(name, parts) &&
            JoinParts(parts, 0) == indexed) {
            entry_ = *found;
            name_ = std::move(name);
            archive_ = std::move(archive);
            index_ = std::move(index);
            return found->link ? kZipLink : kZipOk;
        }
    }
    return kZipNoMatch;
}

ZipMemberHead::~ZipMemberHead()
{
    EndStream();
}

void ZipMemberHead::EndStream()
{
    if (streamOpen_) {
        inflateEnd(&stream_);
        streamOpen_ = false;
    }
    if (memberOpen_) {
        unzCloseCurrentFile(member_.Archive()->handle_);
        memberOpen_ = false;
    }
}

int32_t ZipMemberHead::Open(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                            uint64_t limit)
{
    EndStream();
    data_.clear();
    declared_ = 0;
    limit_ = 0;
    // Nothing is read until the member is open and its method known.
    done_ = true;
    std::vector<std::string> folderParts;
    std::vector<std::string> pathParts;
    if (!LiesBelow(extractFolder, path, folderParts, pathParts)) {
        return kZipNoMatch;
    }
    const int32_t result = member_.Open(zipPath, extractFolder, path);
    if (result != kZipOk) {
        return result;
    }
    ZipArchive& archive = *member_.Archive();
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(archive.handle_, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return kZipInfoFailed;
    }
    if (packed_ == nullptr) {
        packed_.reset(new (std::nothrow) char[kZipPackedBufferSize]);
        if (packed_ == nullptr) {
            return kZipNoBuffer;
        }
    }
    if (archive.OpenCurrentRaw(method_, info.compressed_size) != UNZ_OK) {
        return kZipOpenFailed;
    }
    memberOpen_ = true;
    if (method_ != 0 && method_ != Z_DEFLATED) {
        return kZipReadFailed;
    }
    stream_ = z_stream{};
    if (method_ == Z_DEFLATED) {
        if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) {
            return kZipNoBuffer;
        }
        streamOpen_ = true;
    }
    declared_ = member_.Entry().size;
    limit_ = std::min(limit, declared_);
    done_ = false;
    return kZipOk;
}

bool ZipMemberHead::InflateTo(uint64_t end)
{
    constexpr size_t kStep = 65536;
    end = std::min(end, limit_);
    while (data_.size() < end && !done_ && memberOpen_) {
        const size_t before = data_.size();
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kStep, end - before));
        if (before + want > data_.capacity()) {
            // Grows with what was asked for, never past the limit.
            data_.reserve(static_cast<size_t>(std::min<uint64_t>(limit_, std::max(before + want, 2 * before))));
        }
        if (method_ == 0) {
            data_.resize(before + want);
            const int read =
                unzReadCurrentFile(member_.Archive()->handle_, &data_[before], static_cast<unsigned>(want));
            data_.resize(before + static_cast<size_t>(std::max(read, 0)));
            done_ = read <= 0;
            continue;
        }
        bool refilled = false;
        if (stream_.avail_in == 0) {
            const int read = unzReadCurrentFile(member_.Archive()->handle_, packed_.get(), kZipPackedBufferSize);
            if (read < 0) {
                done_ = true;
                break;
            }
            stream_.next_in = reinterpret_cast<Bytef*>(packed_.get());
            stream_.avail_in = static_cast<uInt>(read);
            refilled = true;
        }
        data_.resize(before + want);
        stream_.next_out = reinterpret_cast<Bytef*>(&data_[before]);
        stream_.avail_out = static_cast<uInt>(want);
        const int z = inflate(&stream_, Z_NO_FLUSH);
        data_.resize(before + want - stream_.avail_out);
        g_headBytes.fetch_add(data_.size() - before, std::memory_order_relaxed);
        // Broken data, the stream's end, or no progress with the packed data all read.
        if ((z != Z_OK && z != Z_BUF_ERROR) || (data_.size() == before && refilled && stream_.avail_in == 0)) {
            done_ = true;
        }
    }
    return data_.size() >= end;
}

size_t ZipMemberHead::ReadAt(uint64_t offset, void* out, size_t size)
{
    if (offset >= limit_ || size == 0) {
        return 0;
    }
    InflateTo(offset + std::min<uint64_t>(size, limit_ - offset));
    if (offset >= data_.size()) {
        return 0;
    }
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, data_.size() - offset));
    std::memcpy(out, data_.data() + offset, n);
    return n;
}

namespace {

// One member's data in one archive: the archive as it stands (a file rewritten in place is
// another), where the local header puts the data, and what the directory entry declares of it.
// Two entries alike in all of it inflate to the same bytes.
using CopyKey =
    std::tuple<uint64_t, uint64_t, int64_t, int64_t, int64_t, int64_t, int64_t, uint64_t, uint64_t, uint64_t, uint64_t>;

// Where a member's copy lies in its folder, once written: its names below the folder, the one
// it was written to first, then its links.
struct Copy {
    bool writing = true;
    std::vector<std::vector<std::string>> names;
    dev_t dev = 0;
    ino_t ino = 0;
};

// What one extraction folder holds, and what it cost the folder's budget.
struct FolderCopies {
    uint64_t charged = 0;
    std::map<CopyKey, Copy> copies;
};

struct Extracted {
    std::mutex mutex;
    std::condition_variable changed;
    // By folder, normalised; emptying a folder drops its entry.
    std::map<std::string, std::shared_ptr<FolderCopies>> folders;
};

// Never destroyed, as the index cache.
Extracted& TheExtracted()
{
    static Extracted& extracted = *new Extracted;
    return extracted;
}

std::atomic<uint64_t> g_extractBudget{kZipExtractBudget};

std::string FolderKey(const std::vector<std::string>& parts)
{
    return "/" + JoinParts(parts, 0);
}

// The folder at parts[0 .. count) below folderFd, never through a link; -1 when missing.
int OpenBelow(int folderFd, const std::vector<std::string>& parts, size_t count)
{
    FdHolder fd(::fcntl(folderFd, F_DUPFD_CLOEXEC, 0));
    for (size_t i = 0; i < count && fd.Get() >= 0; ++i) {
        fd.Reset(::openat(fd.Get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return fd.Release();
}

// The copy under name linked as leaf in dirFd, through a new name renamed over it. kZipNotFound
// when the copy is no longer there.
int32_t LinkName(int folderFd, const std::vector<std::string>& name, const Copy& copy, int dirFd,
                 const std::string& leaf)
{
    if (name.empty()) {
        return kZipNotFound;
    }
    FdHolder from(OpenBelow(folderFd, name, name.size() - 1));
    struct stat st {};
    if (from.Get() < 0 || ::fstatat(from.Get(), name.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || st.st_dev != copy.dev || st.st_ino != copy.ino) {
        return kZipNotFound;
    }
    struct stat there {};
    if (::fstatat(dirFd, leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 && there.st_dev == copy.dev &&
        there.st_ino == copy.ino) {
        return kZipOk;
    }
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx", static_cast<unsigned long long>(random()));
        const std::string tempName = "." + leaf.substr(0, 200) + suffix;
        if (WhileNamingOpen([&] { return ::linkat(from.Get(), name.back().c_str(), dirFd, tempName.c_str(), 0); }) !=
            0) {
            if (errno == EEXIST) {
                continue;
            }
            return errno == ENOENT ? kZipNotFound : kZipCreateFailed;
        }
        if (WhileNamingOpen([&] { return ::renameat(dirFd, tempName.c_str(), dirFd, leaf.c_str()); }) != 0) {
            ::unlinkat(dirFd, tempName.c_str(), 0);
            return kZipCreateFailed;
        }
        return kZipOk;
    }
    return kZipCreateFailed;
}

// The copy, under whichever of its names is still there, linked as leaf in dirFd; kZipNotFound
// when none is.
int32_t LinkCopy(int folderFd, const Copy& copy, int dirFd, const std::string& leaf)
{
    for (const std::vector<std::string>& name : copy.names) {
        if (const int32_t linked = LinkName(folderFd, name, copy, dirFd, leaf); linked != kZipNotFound) {
            return linked;
        }
    }
    return kZipNotFound;
}

// The archive's current entry to relative (below folder, its last part a leaf in dirFd), once
// per local header in the folder: a copy written before is linked, one being written is waited
// for, and a new one is charged to the folder's budget by its declared size, given back only
// when the copy fails and leaves nothing.
int32_t ExtractOnce(ZipArchive& archive, const std::string& zipPath, const std::string& folder, int folderFd,
                    const std::vector<std::string>& relative, int dirFd, const XEVZipCopyControl* control)
{
    uint64_t start = 0;
    unz_file_info64 info{};
    if (const int32_t found = archive.CurrentDataStart(start, info); found != kZipOk) {
        return found;
    }
    struct stat zip {};
    if (::stat(zipPath.c_str(), &zip) != 0) {
        return kZipOpenFailed;
    }
    const CopyKey key{uint64_t(zip.st_dev),
                      uint64_t(zip.st_ino),
                      int64_t(zip.st_size),
                      int64_t(zip.st_mtim.tv_sec),
                      int64_t(zip.st_mtim.tv_nsec),
                      int64_t(zip.st_ctim.tv_sec),
                      int64_t(zip.st_ctim.tv_nsec),
                      start,
                      uint64_t(info.compression_method),
                      info.uncompressed_size,
                      uint64_t(info.crc)};
    const uint64_t size = info.uncompressed_size;
    Extracted& extracted = TheExtracted();
    std::shared_ptr<FolderCopies> copies;
    bool waiting = false;
    std::unique_lock<std::mutex> lock(extracted.mutex);
    // The medium taken again after a wait for another caller's copy; true when it was let go.
    const auto endWait = [&] {
        if (!waiting) {
            return false;
        }
        waiting = false;
        lock.unlock();
        control->waiting(false);
        lock.lock();
        return true;
    };
    for (;;) {
        std::shared_ptr<FolderCopies>& slot = extracted.folders[folder];
        if (slot == nullptr) {
            slot = std::make_shared<FolderCopies>();
        }
        copies = slot;
        const auto it = copies->copies.find(key);
        const bool writing = it != copies->copies.end() && it->second.writing;
        if (!writing && endWait()) {
            continue;   // looked up again with the medium held
        }
        if (it == copies->copies.end()) {
            break;
        }
        if (writing) {
            // Another caller writes it: its copy serves both.
            if (control != nullptr && control->stop != nullptr && control->stop->load() != 0) {
                endWait();
                return kZipStopped;
            }
            if (!waiting && control != nullptr && control->waiting) {
                waiting = true;
                lock.unlock();
                control->waiting(true);
                lock.lock();
                continue;
            }
            extracted.changed.wait_for(lock, std::chrono::milliseconds(50));
            continue;
        }
        const Copy copy = it->second;
        lock.unlock();
        const int32_t linked = LinkCopy(folderFd, copy, dirFd, relative.back());
        lock.lock();
        const auto same = copies->copies.find(key);
        const bool still = same != copies->copies.end() && !same->second.writing && same->second.ino == copy.ino &&
                           same->second.dev == copy.dev;
        if (linked == kZipOk && still &&
            std::find(same->second.names.begin(), same->second.names.end(), relative) == same->second.names.end()) {
            same->second.names.push_back(relative);
        }
        if (linked != kZipNotFound) {
            return linked;
        }
        // Every name of the copy went: written anew, its first charge kept.
        if (still) {
            copies->copies.erase(same);
        }
    }
    const uint64_t budget = g_extractBudget.load();
    if (size > budget || copies->charged > budget - size) {
        return kZipOverBudget;
    }
    copies->charged += size;
    copies->copies[key].names = {relative};
    lock.unlock();
    const int32_t result = archive.ExtractCurrent(dirFd, relative.back(), control);
    struct stat st {};
    const bool written = result == kZipOk && ::fstatat(dirFd, relative.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    lock.lock();
    const auto it = copies->copies.find(key);
    if (written && it != copies->copies.end()) {
        it->second.writing = false;
        it->second.dev = st.st_dev;
        it->second.ino = st.st_ino;
    } else {
        if (it != copies->copies.end()) {
            copies->copies.erase(it);
        }
        if (result != kZipOk) {
            copies->charged -= size;
        }
    }
    extracted.changed.notify_all();
    return result;
}

}   // namespace

void ZipShutNaming(bool shut)
{
    TheNamingGate().shut.store(shut);
}

void ZipWaitForNaming()
{
    NamingGate& gate = TheNamingGate();
    std::unique_lock<std::shared_mutex> hold(gate.mutex);
}

bool ZipWhileNamingOpen(const std::function<bool()>& make)
{
    return WhileNamingOpen([&] { return make() ? 0 : 1; }) == 0;
}

uint64_t SetZipExtractBudget(uint64_t budget)
{
    return g_extractBudget.exchange(budget != 0 ? budget : kZipExtractBudget);
}

void ZipForgetExtracted(const std::string& folder)
{
    std::vector<std::string> parts;
    if (!NormalisePath(folder, parts)) {
        return;
    }
    Extracted& extracted = TheExtracted();
    std::lock_guard<std::mutex> guard(extracted.mutex);
    extracted.folders.erase(FolderKey(parts));
    extracted.changed.notify_all();
}

uint64_t ZipExtractedBytes(const std::string& folder)
{
    std::vector<std::string> parts;
    if (!NormalisePath(folder, parts)) {
        return 0;
    }
    Extracted& extracted = TheExtracted();
    std::lock_guard<std::mutex> guard(extracted.mutex);
    const auto it = extracted.folders.find(FolderKey(parts));
    return it != extracted.folders.end() ? it->second->charged : 0;
}

ZipFreeSpaceQuery SetZipFreeSpaceQuery(ZipFreeSpaceQuery query)
{
    return g_freeSpace.exchange(query != nullptr ? query : StatFreeSpace);
}

bool IsZipFile(const std::string& path)
{
    ZipArchive archive;
    return archive.Open(path) == kZipOk;
}

bool HasDicmMarker(const std::string& path)
{
    return ReadFileMarks(path).dicm;
}

XEVFileMarks ReadFileMarks(const std::string& path)
{
    XEVFileMarks marks;
    std::FILE* file = PlatOpenRegularStream(path.c_str());
    if (file == nullptr) {
        return marks;
    }
    char head[132] = {};
    const size_t got = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    marks.zipStart = got >= 2 && head[0] == 'P' && head[1] == 'K';
    marks.dicm = got == sizeof head && std::memcmp(head + 128, "DICM", 4) == 0;
    return marks;
}

int32_t ExtractZipMember(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                         const std::string& destination, const XEVZipCopyControl* control, std::string* memberName)
{
    try {
        const std::string& target = destination.empty() ? path : destination;
        std::vector<std::string> folderParts;
        std::vector<std::string> targetParts;
        // The lock of the copy's folder is never replaced by a member.
        if (!LiesBelow(extractFolder, target, folderParts, targetParts) ||
            (targetParts.size() == folderParts.size() + 1 && targetParts.back() == kXEVExtractLockName)) {
            return kZipNoMatch;
        }
        ZipOpenMember member;
        const int32_t result = member.Open(zipPath, extractFolder, path);
        if (memberName != nullptr) {
            *memberName = member.Name();
        }
        if (result != kZipOk) {
            return result;
        }
        if (member.Entry().size > kZipLargestMember) {
            return kZipUnreadable;
        }
        FdHolder folderFd(OpenOwnFolder(extractFolder));
        FdHolder dirFd(folderFd.Get() >= 0 ? ::fcntl(folderFd.Get(), F_DUPFD_CLOEXEC, 0) : -1);
        for (size_t i = folderParts.size(); i + 1 < targetParts.size() && dirFd.Get() >= 0; ++i) {
            dirFd.Reset(OpenSubFolder(dirFd.Get(), targetParts[i]));
        }
        if (dirFd.Get() < 0) {
            return kZipCreateFailed;
        }
        const std::vector<std::string> relative(targetParts.begin() + std::ptrdiff_t(folderParts.size()),
                                                targetParts.end());
        return ExtractOnce(*member.Archive(), zipPath, FolderKey(folderParts), folderFd.Get(), relative, dirFd.Get(),
                           control);
    } catch (...) {
        return kZipNoMatch;
    }
}

namespace {

// The index entry of the member a path below the extraction folder stands for, or why none.
int32_t FindMember(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                   std::shared_ptr<const ZipMemberIndex>& index, const ZipMemberEntry*& entry)
{
    std::vector<std::string> folderParts;
    std::vector<std::string> pathParts;
    if (!LiesBelow(extractFolder, path, folderParts, pathParts)) {
        return kZipNoMatch;
    }
    index = ZipIndexOf(zipPath);
    if (index == nullptr) {
        return kZipOpenFailed;
    }
    entry = index->Find(JoinParts(pathParts, folderParts.size()));
    return entry == nullptr ? kZipNoMatch : kZipOk;
}

}   // namespace

int32_t ZipMemberSize(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                      uint64_t& size)
{
    try {
        std::shared_ptr<const ZipMemberIndex> index;
        const ZipMemberEntry* entry = nullptr;
        const int32_t found = FindMember(zipPath, extractFolder, path, index, entry);
        if (found == kZipOk) {
            size = entry->size;
        }
        return found;
    } catch (...) {
        return kZipNoMatch;
    }
}

int32_t ZipMemberStatus(const std::string& zipPath, const std::string& extractFolder, const std::string& path)
{
    try {
        std::shared_ptr<const ZipMemberIndex> index;
        const ZipMemberEntry* entry = nullptr;
        const int32_t found = FindMember(zipPath, extractFolder, path, index, entry);
        return found != kZipOk                   ? found
               : entry->link                     ? kZipLink
               : entry->size > kZipLargestMember ? kZipUnreadable
                                                 : kZipOk;
    } catch (...) {
        return kZipNoMatch;
    }
}

bool ZipHasDicomDir(const std::string& zipPath)
{
    // An archive imported again may have been rewritten in place: its members are indexed anew.
    const std::shared_ptr<const ZipMemberIndex> index = IndexOf(zipPath, true);
    return index != nullptr && index->DicomDir() != nullptr;
}

bool ZipDicomDirIntact(const std::string& zipPath, const std::atomic<int32_t>* stop)
{
    try {
        std::unique_ptr<ZipArchive> archive;
        const std::shared_ptr<const ZipMemberIndex> index = IndexOf(zipPath, false, &archive);
        if (index == nullptr || index->DicomDir() == nullptr) {
            return false;
        }
        if (OpenUnlessHanded(archive, zipPath) != kZipOk) {
            return false;
        }
        unz_file_info64 info{};
        std::string name;
        XEVZipCopyControl control;
        control.stop = stop;
        const bool intact = archive->GoTo(index->DicomDir()->position, info, name) == kZipOk &&
                            archive->CheckCurrent(&control) == kZipOk;
        GiveBack(index, std::move(archive));
        return intact;
    } catch (...) {
        return false;
    }
}

namespace {

// The archive's DICOMDIR as extractFolder/DICOMDIR; a folder already there is emptied first
// unless it was made for this extraction.
bool ExtractDicomDirInto(const std::string& zipPath, const std::string& extractFolder, bool made)
{
    // The index the check made serves, while the file is the same one.
    std::unique_ptr<ZipArchive> archive;
    std::shared_ptr<const ZipMemberIndex> index;
    bool located = false;
    for (const bool fresh : {false, true}) {
        archive.reset();
        index = IndexOf(zipPath, fresh, &archive);
        if (index == nullptr || index->DicomDir() == nullptr) {
            return false;
        }
        if (OpenUnlessHanded(archive, zipPath) != kZipOk) {
            return false;
        }
        unz_file_info64 info{};
        std::string name;
        if (archive->GoTo(index->DicomDir()->position, info, name) == kZipOk && IsDicomDirEntry(name, info) &&
            info.uncompressed_size == index->DicomDir()->size && info.uncompressed_size <= kZipLargestMember) {
            located = true;
            break;
        }
    }
    if (!located || (!made && (!XEVDeleteExtractFolder(extractFolder) || !XEVPrepareExtractFolder(extractFolder)))) {
        return false;
    }
    FdHolder dirFd(OpenOwnFolder(extractFolder));
    std::vector<std::string> folderParts;
    if (dirFd.Get() < 0 || !NormalisePath(extractFolder, folderParts) ||
        ExtractOnce(*archive, zipPath, FolderKey(folderParts), dirFd.Get(), {"DICOMDIR"}, dirFd.Get(), nullptr) !=
            kZipOk) {
        dirFd.Reset(-1);
        XEVDeleteExtractFolder(extractFolder);
        return false;
    }
    GiveBack(index, std::move(archive));
    return true;
}

}   // namespace

bool XEVExtractArchiveDicomDir(const std::string& zipPath, const std::string& extractFolder)
{
    return ExtractDicomDirInto(zipPath, extractFolder, false);
}

std::string XEVExtractArchiveDicomDirApart(const std::string& zipPath)
{
    const std::string folder = XEVMakeImportFolder();
    if (folder.empty()) {
        return std::string();
    }
    if (!ExtractDicomDirInto(zipPath, folder, true)) {
        XEVDeleteExtractFolder(folder);
        return std::string();
    }
    return folder;
}
