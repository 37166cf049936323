#include "platform/platfileid.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

std::string Folded(std::string_view name)
{
    std::string out(name);
    for (char& c : out) {
        c = LowerAscii(c);
    }
    return out;
}

// The real location of a path, every link followed; empty when it cannot be had.
std::string RealPath(const std::string& path)
{
    char* real = realpath(path.empty() ? "." : path.c_str(), nullptr);
    if (real == nullptr) {
        return std::string();
    }
    std::string out(real);
    std::free(real);
    return out;
}

bool IsWithin(const std::string& path, const std::string& root)
{
    return path.compare(0, root.size(), root) == 0 &&
           (path.size() == root.size() || path[root.size()] == '/' || root == "/");
}

std::string Latin1AsUtf8(std::string_view bytes)
{
    std::string out;
    for (char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x80) {
            out.push_back(c);
        } else {
            out.push_back(static_cast<char>(0xC0 | (b >> 6)));
            out.push_back(static_cast<char>(0x80 | (b & 0x3F)));
        }
    }
    return out;
}

// The name without an ISO 9660 version (";" and digits), and without the "." that stands
// before it on a name that has no extension; the name itself when it carries none.
std::string_view WithoutVersion(std::string_view name)
{
    const size_t semicolon = name.rfind(';');
    if (semicolon == std::string_view::npos || semicolon == 0 || semicolon + 1 == name.size() ||
        name.find_first_not_of("0123456789", semicolon + 1) != std::string_view::npos) {
        return name;
    }
    std::string_view base = name.substr(0, semicolon);
    if (base.size() > 1 && base.back() == '.') {
        base.remove_suffix(1);
    }
    return base;
}

// Keeps the smallest name in byte order under the key, so that the choice does not depend
// on the order the file system lists them in.
void KeepFirst(std::unordered_map<std::string, std::string>& names, std::string key, const std::string& name)
{
    auto [it, inserted] = names.emplace(std::move(key), name);
    if (!inserted && name < it->second) {
        it->second = name;
    }
}

}   // namespace

bool PlatIsSafeFileId(std::string_view fileId)
{
    if (fileId.empty()) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = fileId.find('\\', start);
        const std::string_view part =
            fileId.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (part.empty() || part == "." || part == "..") {
            return false;
        }
        for (char c : part) {
            const auto u = static_cast<unsigned char>(c);
            if (c == '/' || c == ':' || u < 0x20 || u == 0x7F) {
                return false;
            }
        }
        if (end == std::string_view::npos) {
            return true;
        }
        start = end + 1;
    }
}

const PlatFileIdResolver::Listing& PlatFileIdResolver::List(const std::string& folder)
{
    Listing& listing = listings_[folder];
    if (listing.read) {
        return listing;
    }
    listing.read = true;
    DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) {
        return listing;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        listing.exact.emplace(name, name);
        if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN) {
            listing.links.insert(name);
        }
        KeepFirst(listing.folded, Folded(name), name);
        if (const std::string_view base = WithoutVersion(name); base.size() != name.size()) {
            KeepFirst(listing.versioned, Folded(base), name);
        }
    }
    closedir(dir);
    return listing;
}

// The name as the ID writes it, else the same name without regard to ASCII case.
const std::string* PlatFileIdResolver::Spelling(const Listing& listing, const std::string& name)
{
    if (auto exact = listing.exact.find(name); exact != listing.exact.end()) {
        return &exact->second;
    }
    if (auto folded = listing.folded.find(Folded(name)); folded != listing.folded.end()) {
        return &folded->second;
    }
    return nullptr;
}

// The name with an ISO 9660 version, without regard to ASCII case.
const std::string* PlatFileIdResolver::VersionedSpelling(const Listing& listing, const std::string& name)
{
    const auto versioned = listing.versioned.find(Folded(name));
    return versioned != listing.versioned.end() ? &versioned->second : nullptr;
}

std::string PlatFileIdResolver::Join(std::string_view folder, std::string_view fileId, PlatJoinRefusal* refusal)
{
    PlatJoinRefusal unused = PlatJoinRefusal::None;
    PlatJoinRefusal& why = refusal != nullptr ? *refusal : unused;
    why = PlatJoinRefusal::None;
    if (!PlatIsSafeFileId(fileId)) {
        why = PlatJoinRefusal::Unsafe;
        return std::string();
    }
    std::string path(folder);
    if (!path.empty() && path.back() != '/') {
        path.push_back('/');
    }
    bool resolving = true;
    size_t start = 0;
    for (;;) {
        const size_t end = fileId.find('\\', start);
        const std::string_view part =
            fileId.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        const std::string* spelling = nullptr;
        if (resolving) {
            const Listing& listing = List(path);
            const std::string name(part);
            spelling = Spelling(listing, name);
            if (spelling == nullptr) {
                // An ID written in a legacy code page, on a disc whose names the system gives
                // in UTF-8: its bytes read as Latin-1.
                const std::string widened = Latin1AsUtf8(name);
                spelling = widened != name ? Spelling(listing, widened) : nullptr;
            }
            if (spelling == nullptr) {
                spelling = VersionedSpelling(listing, name);
            }
            resolving = spelling != nullptr;   // nothing below a missing folder can be found
        }
        if (spelling != nullptr) {
            path += *spelling;
        } else {
            path.append(part);
        }
        if (end == std::string_view::npos) {
            if (links_ == PlatLinks::StayInside) {
                why = StaysInside(std::string(folder), path);
            }
            return why == PlatJoinRefusal::None ? path : std::string();
        }
        path.push_back('/');
        start = end + 1;
    }
}

PlatJoinRefusal PlatFileIdResolver::StaysInside(const std::string& folder, const std::string& path)
{
    auto [root, added] = roots_.try_emplace(folder);
    if (added) {
        root->second = RealPath(folder);
    }
    // A folder that is not there holds nothing that could lead out of it.
    if (root->second.empty()) {
        return PlatJoinRefusal::None;
    }
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash < folder.size()) {
        return Resolves(path, folder.size(), root->second);
    }
    // A disc holds many files per folder: each folder is resolved once, and a file only
    // needs its own resolving when it is a link.
    const std::string parent = path.substr(0, slash);
    auto [inside, fresh] = insideFolders_.try_emplace(parent);
    if (fresh) {
        inside->second = Resolves(parent, folder.size(), root->second);
    }
    if (List(parent + '/').links.count(path.substr(slash + 1)) == 0) {
        return inside->second;
    }
    return Resolves(path, folder.size(), root->second);
}

// The deepest part of the path beyond the folder's own length that exists decides: below it
// there are no links.
PlatJoinRefusal PlatFileIdResolver::Resolves(std::string prefix, size_t folderLength, const std::string& root)
{
    while (prefix.size() > folderLength) {
        const std::string real = RealPath(prefix);
        if (!real.empty()) {
            return IsWithin(real, root) ? PlatJoinRefusal::None : PlatJoinRefusal::LinkOut;
        }
        // There but unresolvable: a link round in a loop, one to nothing, or one whose way
        // cannot be read, which is not followed either.
        const int error = errno;
        struct stat st {};
        if (::lstat(prefix.c_str(), &st) == 0) {
            return error == ELOOP                        ? PlatJoinRefusal::LinkLoop
                   : error == ENOENT || error == ENOTDIR ? PlatJoinRefusal::LinkDangling
                                                         : PlatJoinRefusal::LinkOut;
        }
        const size_t slash = prefix.rfind('/');
        if (slash == std::string::npos) {
            break;
        }
        prefix.resize(slash);
    }
    return PlatJoinRefusal::None;
}

std::string PlatFileIdFolder(const std::string& path)
{
    struct stat st {};
    const std::string real = ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? RealPath(path) : path;
    const size_t slash = real.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : real.substr(0, slash);
}

std::string PlatJoinFileId(std::string_view folder, std::string_view fileId)
{
    PlatFileIdResolver resolver(PlatLinks::Follow);
    return resolver.Join(folder, fileId);
}
