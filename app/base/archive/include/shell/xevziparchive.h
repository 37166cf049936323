#pragma once

// Zip archives read in place: the member list, one member extracted at a time into the
// private extraction folder, and that folder's upkeep. No Qt: the loaders link it.

#include <atomic>
#include <climits>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <unzip.h>

// Results of the archive operations.
constexpr int32_t kZipOk = 0;
constexpr int32_t kZipNoMatch = -1;
constexpr int32_t kZipNoBuffer = -2;
constexpr int32_t kZipCreateFailed = -3;
constexpr int32_t kZipNotOpen = -4;
constexpr int32_t kZipWriteFailed = -5;
constexpr int32_t kZipNoSpace = -6;       // the member does not fit the folder's free space
constexpr int32_t kZipTooLarge = -7;      // the member gives more than its declared size
constexpr int32_t kZipUnreadable = -8;    // the member declares more than the image reader opens
constexpr int32_t kZipStopped = -9;       // the copy's stop was set; nothing is left of it
constexpr int32_t kZipOverBudget = -10;   // the archive's members extracted so far leave no room for it
constexpr int32_t kZipLink = -11;         // the member is a symbolic link: never written nor followed
constexpr int32_t kZipNotFound = -100;
constexpr int32_t kZipOpenFailed = -101;
constexpr int32_t kZipReadFailed = -102;
constexpr int32_t kZipCloseFailed = -103;
constexpr int32_t kZipNoFirstEntry = -104;
constexpr int32_t kZipInfoFailed = -105;
constexpr int32_t kZipNextFailed = -106;

// What a copy answers to between its blocks of kZipCopyBufferSize packed bytes (or
// kZipOutputBlock written, whichever comes first): a stop that ends it at the next block (null:
// none, and seen too after each kZipCopyBufferSize written), and a call that lets other readers
// at the medium.
// waiting is called with true before a caller waits for another caller's copy of the same
// member, and with false after: a caller holding the medium lets it go meanwhile, since that
// copy reads it.
struct XEVZipCopyControl {
    const std::atomic<int32_t>* stop = nullptr;
    std::function<void()> between;
    std::function<void(bool waiting)> waiting;
};

// The copy buffer, allocated once per extracted member, and the buffer of packed data.
constexpr uint32_t kZipCopyBufferSize = 1048576;
constexpr uint32_t kZipPackedBufferSize = 65536;
// What a copy writes between two offers of the medium when its packed data is little. Inflating
// and writing it takes about what reading a packed block from a fast drive takes, so a read for
// the screen waits no longer behind it, and two copies of members deflated 1000 to 1 do not hand
// the medium to each other for every MiB they write (each hand-over waits for a thread to run).
constexpr uint64_t kZipOutputBlock = uint64_t(16) << 20;
// How far a member's head is inflated at most: far past any real dataset before its pixels.
constexpr uint64_t kZipHeadLimit = uint64_t(64) << 20;
// The largest member extracted: the image reader refuses files of 2 GiB or more (its
// positions are 32-bit), so a larger one is refused before a byte is written.
constexpr uint64_t kZipLargestMember = uint64_t(INT32_MAX);
// Free space a member must leave in the extraction folder's file system.
constexpr uint64_t kZipFreeSpaceMargin = uint64_t(64) << 20;
// What one archive may write into its extraction folder in all, counted by the members' declared
// sizes, each member once: about twice a dual-layer DVD (8.5 GB), the largest disc a zip of a
// study comes from.
constexpr uint64_t kZipExtractBudget = uint64_t(16) << 30;
// The longest entry name taken: what a path can be (PATH_MAX less its end). A longer one names
// nothing that can be opened: its entry is passed over, and its name is never read whole.
constexpr size_t kZipNameLimit = 4095;
// What the entries kept of one archive (its index, a listing) may cost: their names as kept
// and a fixed share per entry for the record, the table around it and the allocator's own
// bytes. A million members under a disc's usual names take under half of it; the entries past
// it are left out.
constexpr uint64_t kZipIndexBudget = uint64_t(256) << 20;
constexpr uint64_t kZipIndexEntryCost = 128;

// The refusals a loader shows as an image that cannot be read: the member is there, it is just
// not written out.
inline bool IsZipMemberRefused(int32_t code)
{
    return code == kZipUnreadable || code == kZipOverBudget;
}

// The member is there but its data fails its check (broken deflate stream, CRC, size): a
// member that cannot be read, not a missing file.
inline bool IsZipMemberBroken(int32_t code)
{
    return code == kZipReadFailed || code == kZipTooLarge;
}

// The member is there, stored as a symbolic link.
inline bool IsZipMemberLink(int32_t code)
{
    return code == kZipLink;
}

// The extraction budget for tests; returns the one before, 0 restores kZipExtractBudget.
uint64_t SetZipExtractBudget(uint64_t budget);

// Bytes free for this user in the file system of an open folder. Replaceable for tests;
// returns the query before, null restores the real one.
using ZipFreeSpaceQuery = uint64_t (*)(int dirFd);
ZipFreeSpaceQuery SetZipFreeSpaceQuery(ZipFreeSpaceQuery query);

class ZipArchive {
public:
    ZipArchive() = default;
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Closes an archive still open first.
    int32_t Open(const std::string& path);
    int32_t Close();
    bool IsOpen() const { return handle_ != nullptr; }
    // The entries in archive order, each name at its full length: those within kZipNameLimit,
    // as many as kZipIndexBudget holds.
    int32_t List(std::vector<std::string>& names, std::vector<unz_file_info64>& infos);
    // The first member of exactly that name to outputPath. The data goes to a new file
    // beside the output, renamed over it once complete, so a reader never sees half a file.
    int32_t Extract(const std::string& member, const std::string& outputPath);
    // Walks the entries in archive order and stops at the first one wanted: 0 there,
    // kZipNotFound when none is, or the code of a failed step. Keeps no list, so a broken
    // entry after the one wanted does not matter. An entry named longer than kZipNameLimit is
    // passed over.
    using EntryTest = std::function<bool(const std::string& name, const unz_file_info64& info)>;
    int32_t Locate(const EntryTest& wanted);
    // Moves to an entry an index found and reads it; kZipNotFound when the archive has none
    // there.
    int32_t GoTo(const unz64_file_pos& position, unz_file_info64& info, std::string& name);
    // The entry Locate stopped at to the file leaf inside the open folder dirFd, through a
    // new file renamed over it. A symbolic link is never extracted; nor a member whose
    // declared size leaves less than the margin free (kZipNoSpace). Data past the declared
    // size stops the copy (kZipTooLarge); a failed copy leaves no file.
    int32_t ExtractCurrent(int dirFd, const std::string& leaf, const XEVZipCopyControl* control = nullptr);
    // Reads the current entry's data through as ExtractCurrent would, writing nothing: kZipOk
    // when it inflates to its declared size and CRC, else the copy's code.
    int32_t CheckCurrent(const XEVZipCopyControl* control = nullptr);
    // Where the current entry's data begins in the archive, from its local header (entries of
    // the central directory that name one local header give one place), and its information.
    int32_t CurrentDataStart(uint64_t& start, unz_file_info64& info);

private:
    friend class ZipMemberIndex;
    friend class ZipMemberHead;
    // Opens the current entry raw; the reader's blocks stop at the end of its packedSize bytes.
    // A member read whole has the kernel read ahead within it.
    int OpenCurrentRaw(int& method, uint64_t packedSize, bool whole = false);
    unzFile handle_ = nullptr;
    void* reader_ = nullptr;   // the descriptor's reader, minizip's stream
};

// Where a member's record stands in the central directory, the size it declares, and whether it
// is a symbolic link, which is found to be named, never extracted.
struct ZipMemberEntry {
    unz64_file_pos position{};
    uint64_t size = 0;
    bool link = false;
};

// The safe members of one archive, and its links under safe names, from one walk of its
// central directory, so that finding a
// member costs no walk. A member is looked for as the loaders name it: by its whole path below
// the folder of the archive's DICOMDIR, the names compared as a disc's are (the exact spelling
// first, else without regard to ASCII case, component by component); never by its file name
// alone, which repeats across the folders of a disc.
class ZipMemberIndex {
public:
    // Walks the archive; the entries before a broken one stay, and those that fit
    // kZipIndexBudget. kZipOk or the failed step's code.
    int32_t Build(ZipArchive& archive);
    // relativePath: the path below the extraction folder, '/' between its parts. Null when no
    // member lies there; a member there before a link of the same name. name, when given,
    // receives the member's normalised name.
    const ZipMemberEntry* Find(const std::string& relativePath, std::string* name = nullptr) const;
    // The archive's DICOMDIR entry (see IsDicomDirEntry), the first in archive order; null
    // when it has none.
    const ZipMemberEntry* DicomDir() const { return dicomDirSeen_ ? &dicomDir_ : nullptr; }
    // The DICOMDIR entry's folder in the archive, normalised: "" or ending in '/'.
    const std::string& DicomDirFolder() const { return dicomDirFolder_; }
    size_t Size() const { return byPath_.size(); }
    // What the entries held cost against kZipIndexBudget, and whether some were left out.
    uint64_t Charged() const { return charged_; }
    bool Full() const { return full_; }

private:
    struct FoldedHash {
        size_t operator()(const std::string& name) const;
    };
    struct FoldedEqual {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    // Normalised entry name, every spelling of one name under one key.
    std::unordered_multimap<std::string, ZipMemberEntry, FoldedHash, FoldedEqual> byPath_;
    std::string dicomDirFolder_;   // "" or with a trailing '/'
    ZipMemberEntry dicomDir_;
    bool dicomDirSeen_ = false;
    uint64_t charged_ = 0;
    bool full_ = false;
};

// Walks of central directories so far, in this process: each costs time in proportion to
// the archive's entries.
uint64_t ZipDirectoryWalks();

// Bytes inflated so far, in this process, to read members' heads in place.
uint64_t ZipHeadBytesInflated();

// The index of the archive at zipPath, made on first use and kept while the file stays the
// same one; null when the archive cannot be opened. Any thread.
std::shared_ptr<const ZipMemberIndex> ZipIndexOf(const std::string& zipPath);
// Forgets the kept index and closes the archives kept open with it.
void ZipForgetIndex();

// The archive opened at the member for a path. A few archives stay open with the kept index
// for the next member: opening one reads the archive's end again.
class ZipOpenMember {
public:
    ZipOpenMember() = default;
    // Gives the archive back.
    ~ZipOpenMember();
    ZipOpenMember(const ZipOpenMember&) = delete;
    ZipOpenMember& operator=(const ZipOpenMember&) = delete;

    // The member ExtractZipMember takes for path: the one at path's place below the
    // DICOMDIR's folder; path must lie inside extractFolder. kZipOk, kZipNoMatch, kZipLink (the
    // name is known then, nothing else) or the failed step's code.
    int32_t Open(const std::string& zipPath, const std::string& extractFolder, const std::string& path);
    void Release();
    // Null unless open.
    ZipArchive* Archive() const { return archive_.get(); }
    const ZipMemberEntry& Entry() const { return entry_; }
    // The member's name as the archive stores it.
    const std::string& Name() const { return name_; }

private:
    std::unique_ptr<ZipArchive> archive_;
    std::shared_ptr<const ZipMemberIndex> index_;
    ZipMemberEntry entry_;
    std::string name_;
};

// The start of one member's data read in place: inflated as far as a reader asks, never past
// the member's declared size nor the limit, and nothing written. What a member's header says
// is read without extracting it. One thread at a time.
class ZipMemberHead {
public:
    ZipMemberHead() = default;
    ~ZipMemberHead();
    ZipMemberHead(const ZipMemberHead&) = delete;
    ZipMemberHead& operator=(const ZipMemberHead&) = delete;

    // The member ExtractZipMember would take for path (which must lie inside extractFolder).
    // kZipOk, kZipNoMatch or the failed step's code.
    int32_t Open(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                 uint64_t limit = kZipHeadLimit);
    uint64_t DeclaredSize() const { return declared_; }
    // Up to size bytes from offset; fewer past the declared size, the limit or broken data.
    size_t ReadAt(uint64_t offset, void* out, size_t size);

private:
    bool InflateTo(uint64_t end);
    void EndStream();

    ZipOpenMember member_;
    int method_ = 0;
    bool memberOpen_ = false;
    bool streamOpen_ = false;
    bool done_ = false;
    uint64_t declared_ = 0;
    uint64_t limit_ = 0;
    std::string data_;
    std::unique_ptr<char[]> packed_;
    z_stream stream_{};
};

// The current entry's information and its name at full length; an unz code. A name longer
// than kZipNameLimit is not read: name comes back empty (info.size_filename says how long).
int ZipReadCurrentEntry(unzFile file, unz_file_info64& info, std::string& name);

// A symbolic link, as a Unix zip tool records it.
bool IsZipSymlink(const unz_file_info64& info);
// A name that stays inside whatever folder it is extracted to: no ".." component, no
// leading "/" or "\" or drive letter, no zero byte.
bool IsSafeZipName(const std::string& name);
// A safe name, and not a symbolic link.
bool IsSafeZipMember(const std::string& name, const unz_file_info64& info);
// A safe entry whose name ends in "DICOMDIR" (upper case) where that is also the first
// "DICOMDIR" in the name and starts it or follows a separator.
bool IsDicomDirEntry(const std::string& name, const unz_file_info64& info);

// The archive opens.
bool IsZipFile(const std::string& path);
// "DICM" at offset 128.
bool HasDicmMarker(const std::string& path);
// The marks of the file's first bytes: "DICM" at offset 128, and "PK" (a zip's record) at its start.
struct XEVFileMarks {
    bool dicm = false;
    bool zipStart = false;
};
XEVFileMarks ReadFileMarks(const std::string& path);

// This copy's extraction folder, no trailing '/': made on first use with mkdtemp in the user's
// private folder of the temporary folder (PlatGetUserTempFolder), or beside it when someone
// else holds that name, and holding a lock of this copy for as long as it runs, so that no
// other copy's start-up takes it for a leftover. Made anew when the temporary folder changes
// or the folder went. Empty when no folder can be made. Any thread.
std::string XEVGetExtractFolder();
// The file in each extraction folder that its copy holds locked; never a member's place.
constexpr char kXEVExtractLockName[] = ".owner";
// What was extracted into folder is forgotten: the folder was emptied, so its members are written
// anew and its budget starts again. Called by the folder's upkeep below.
void ZipForgetExtracted(const std::string& folder);
// Bytes charged to folder's extraction budget so far.
uint64_t ZipExtractedBytes(const std::string& folder);

// Removes this copy's extraction folder with its lock, at exit, emptying again what a copier
// named meanwhile. stop, when given, is asked between entries and ends the removal early: what
// is left keeps its lock file, so the next start removes it.
void XEVEndExtractFolder(const std::function<bool()>& stop = std::function<bool()>());
// Shut, nothing more is named in any extraction folder (a copy under way is not named, no
// sub-folder made); shutting waits for nothing.
void ZipShutNaming(bool shut);
// Waits until what was being named when naming was shut has been named.
void ZipWaitForNaming();
// Runs make, which names something in an extraction folder, unless naming is shut (false then).
bool ZipWhileNamingOpen(const std::function<bool()>& make);
// Removes what copies that ended without their exit left: folders named as this program names
// its extraction folders, of this user, whose lock no one holds. Nothing else is touched. stop
// as above. A folder whose lock another copy holds is tried again until waitForEndingMs have
// passed: a copy that is ending lets its lock go by then. The number removed.
int XEVRemoveLeftoverExtractFolders(const std::function<bool()>& stop = std::function<bool()>(),
                                    int waitForEndingMs = 0);
// A new folder for one archive's members inside this copy's extraction folder (made first
// when missing), never over a name that is there, so that it goes with that folder at every
// end; empty when none can be made (naming shut, no extraction folder).
std::string XEVMakeImportFolder();
// Makes the folder (mode 0700) or takes an existing one that is a real folder of this user,
// made 0700; false otherwise, and then nothing in it is touched.
bool XEVPrepareExtractFolder(const std::string& folder);
// Deletes the folder and everything in it without following links; true also when it is
// missing. A symlink, a non-folder or another user's folder is left alone (false). This copy's
// own extraction folder is emptied and stays, with its lock; stop as above ends its emptying early,
// as it does an import folder's removal. The folder this copy's end removed, and what lies in it,
// is left as the end left it (true when gone).
bool XEVDeleteExtractFolder(const std::string& folder, const std::function<bool()>& stop = std::function<bool()>());

// The member for path (the one at path's place below the DICOMDIR's folder), from the
// archive at zipPath, to destination (the path when empty).
// The target must lie inside extractFolder; the folders on the way are made there without
// following links. A member is written once per local header into a folder: another entry
// naming the same local header, or the same entry again, gets a link to that copy, and a
// second caller for it waits for the first one's copy. 0, or an archive code (-1 when nothing
// matches or the target lies outside the folder, kZipLink for a symbolic link, kZipUnreadable
// when the member declares more than kZipLargestMember, kZipOverBudget when it would take the
// folder's members past kZipExtractBudget). memberName, when given, receives the member's name
// in the archive once it is found, so that a failure can name it without reading again.
int32_t ExtractZipMember(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                         const std::string& destination, const XEVZipCopyControl* control = nullptr,
                         std::string* memberName = nullptr);
// The declared size of the member ExtractZipMember would take for path, without reading it.
int32_t ZipMemberSize(const std::string& zipPath, const std::string& extractFolder, const std::string& path,
                      uint64_t& size);
// What the archive holds for path, as ExtractZipMember would find it, from the index alone:
// kZipOk for a member that can be written out, kZipLink for a symbolic link, kZipUnreadable for
// one declaring more than kZipLargestMember, kZipNoMatch for none, or the failed step's code.
int32_t ZipMemberStatus(const std::string& zipPath, const std::string& extractFolder, const std::string& path);

// The archive opens and holds a DICOMDIR entry. Indexes the archive anew (it may have been
// rewritten since it was last read); the index then serves the import and its members.
bool ZipHasDicomDir(const std::string& zipPath);
// The archive's DICOMDIR member reads whole: its data inflates to its declared size and CRC.
bool ZipDicomDirIntact(const std::string& zipPath, const std::atomic<int32_t>* stop = nullptr);
// The import's archive work: the archive's DICOMDIR extracted as extractFolder/DICOMDIR,
// after what an earlier import left there was deleted. False when the archive cannot be
// read, has no DICOMDIR or the folder is refused; the folder is then removed again
// unless it was refused.
bool XEVExtractArchiveDicomDir(const std::string& zipPath, const std::string& extractFolder);
// The same into a folder of its own beside what earlier imports extracted, which stays: a new
// folder inside this copy's extraction folder (XEVMakeImportFolder). The folder, or empty when
// nothing was extracted; nothing is left of it then.
std::string XEVExtractArchiveDicomDirApart(const std::string& zipPath);
