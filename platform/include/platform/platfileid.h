#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

// DICOM Referenced File IDs ("IMG\0001") as paths on a disc copied to Linux.

// False for an ID that would leave its folder or is malformed: empty, a leading separator,
// an empty, "." or ".." component, or a '/', ':' or control character inside a component.
// Components are separated by '\'.
bool PlatIsSafeFileId(std::string_view fileId);

// Joins file IDs to a folder. '\' becomes '/'; a component that is missing under its exact
// name is found without regard to ASCII case, the exact name preferred. Each folder is
// listed once per resolver, so a resolver should live as long as one pass over a disc.
// One resolver serves one thread at a time.
class PlatFileIdResolver {
public:
    // The joined path, or empty when the ID is refused (see PlatIsSafeFileId). A component
    // found under no spelling is kept as written, so the caller's open fails on it.
    std::string Join(std::string_view folder, std::string_view fileId);

private:
    struct Listing {
        bool read = false;
        std::unordered_map<std::string, std::string> exact;   // name -> name
        std::unordered_map<std::string, std::string> folded;  // lower-case name -> first name in byte order
    };
    const Listing& List(const std::string& folder);

    std::unordered_map<std::string, Listing> listings_;
};

// One-off join with its own resolver.
std::string PlatJoinFileId(std::string_view folder, std::string_view fileId);
