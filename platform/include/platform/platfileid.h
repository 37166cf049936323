#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

// DICOM Referenced File IDs ("IMG\0001") as paths on a disc copied to Linux.

// False for an ID that would leave its folder or is malformed: empty, a leading separator,
// an empty, "." or ".." component, or a '/', ':' or control character inside a component.
// Components are separated by '\'.
bool PlatIsSafeFileId(std::string_view fileId);

// Whether a joined path may lead out of its folder through symbolic links.
enum class PlatLinks { StayInside, Follow };

// Why a join under StayInside gave no path: the ID itself, or a link on the way that leads out
// of the folder, to nothing, or round in a loop.
enum class PlatJoinRefusal { None, Unsafe, LinkOut, LinkDangling, LinkLoop };

// Joins file IDs to a folder. '\' becomes '/'; a component that is missing under its exact
// name is found without regard to ASCII case, the exact name preferred; one with bytes above
// 0x7F that is still missing is looked for with those bytes read as Latin-1 in UTF-8 (an ID
// in a legacy code page on a disc whose names the system gives in UTF-8); one still missing
// is found under its name with an ISO 9660 version ("NAME;1", "NAME.;1"), as a disc mounted
// without name mapping shows it. Each folder is
// listed once per resolver, so a resolver should live as long as one pass over a disc.
// One resolver serves one thread at a time.
class PlatFileIdResolver {
public:
    explicit PlatFileIdResolver(PlatLinks links = PlatLinks::StayInside) : links_(links) {}

    // The joined path, or empty when the ID is refused (see PlatIsSafeFileId) or, under
    // StayInside, when its real location (links followed) lies outside the folder's or cannot
    // be had (a link to nothing, a loop); refusal, when given, says which. A component found
    // under no spelling is kept as written, so the caller's open fails on it.
    std::string Join(std::string_view folder, std::string_view fileId, PlatJoinRefusal* refusal = nullptr);

private:
    PlatJoinRefusal StaysInside(const std::string& folder, const std::string& path);
    static PlatJoinRefusal Resolves(std::string prefix, size_t folderLength, const std::string& root);

    struct Listing {
        bool read = false;
        std::unordered_map<std::string, std::string> exact;       // name -> name
        std::unordered_map<std::string, std::string> folded;      // lower-case name -> first name in byte order
        std::unordered_map<std::string, std::string> versioned;   // lower-case name without version -> name
        std::unordered_set<std::string> links;                    // names that are or may be links
    };
    const Listing& List(const std::string& folder);
    static const std::string* Spelling(const Listing& listing, const std::string& name);
    static const std::string* VersionedSpelling(const Listing& listing, const std::string& name);

    PlatLinks links_;
    std::unordered_map<std::string, Listing> listings_;
    std::unordered_map<std::string, std::string> roots_;               // folder -> its real location
    std::unordered_map<std::string, PlatJoinRefusal> insideFolders_;   // folder below a root -> None when inside
};

// The folder whose files a file's IDs name: where the file really lies when the path is itself
// a symbolic link (a link to a disc's DICOMDIR opens that disc), else the path's own folder.
std::string PlatFileIdFolder(const std::string& path);

// One-off join with its own resolver, links followed wherever they lead: for the program's
// own files.
std::string PlatJoinFileId(std::string_view folder, std::string_view fileId);
