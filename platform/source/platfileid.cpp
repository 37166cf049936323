#include "platform/platfileid.h"

#include <dirent.h>

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

} // namespace

bool PlatIsSafeFileId(std::string_view fileId)
{
    if (fileId.empty()) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t end = fileId.find('\\', start);
        const std::string_view part = fileId.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
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
        // Several spellings of one name: the smallest in byte order, so the choice does not
        // depend on the order the file system lists them in.
        auto [it, inserted] = listing.folded.emplace(Folded(name), name);
        if (!inserted && name < it->second) {
            it->second = name;
        }
    }
    closedir(dir);
    return listing;
}

std::string PlatFileIdResolver::Join(std::string_view folder, std::string_view fileId)
{
    if (!PlatIsSafeFileId(fileId)) {
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
        const std::string_view part = fileId.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        const std::string* spelling = nullptr;
        if (resolving) {
            const Listing& listing = List(path);
            const std::string name(part);
            if (auto exact = listing.exact.find(name); exact != listing.exact.end()) {
                spelling = &exact->second;
            } else if (auto folded = listing.folded.find(Folded(part)); folded != listing.folded.end()) {
                spelling = &folded->second;
            } else {
                resolving = false;   // nothing below a missing folder can be found
            }
        }
        if (spelling != nullptr) {
            path += *spelling;
        } else {
            path.append(part);
        }
        if (end == std::string_view::npos) {
            return path;
        }
        path.push_back('/');
        start = end + 1;
    }
}

std::string PlatJoinFileId(std::string_view folder, std::string_view fileId)
{
    PlatFileIdResolver resolver;
    return resolver.Join(folder, fileId);
}
