#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

// Opening a file whose path came from outside (a disc, the command line, a dialog) for
// reading. Only a regular file opens, through links too: a named pipe would hold the open
// until a writer came, and a device such as /dev/zero never ends. Both are refused at once.

// Told the path of every open below before it is tried, on the opening thread; for tests
// that count how often a file is opened. Null (the default) tells nobody.
void PlatSetOpenObserver(void (*observer)(const char* path));

// A read-only descriptor in blocking mode, close-on-exec; -1 with errno set otherwise.
int PlatOpenRegularFile(const char* path);
// The same as a binary stdio stream; null otherwise.
std::FILE* PlatOpenRegularStream(const char* path);
// The whole of a regular file appended to bytes; false when it cannot be opened or read.
bool PlatReadRegularFile(const std::string& path, std::string& bytes);

// The program's own files beside it (settings, corner texts) never come near this size: a
// larger one is taken for absent, and nothing of it is read.
constexpr uint64_t kPlatOwnFileLimit = uint64_t(16) << 20;

enum class PlatReadResult { Read, Failed, TooLarge };
// The whole of a regular file of at most limit bytes appended to bytes. A larger file, or one
// that grows past the limit while it is read, is TooLarge and leaves bytes as they were; at
// most limit + 1 bytes are read, and none when the size is already past the limit.
PlatReadResult PlatReadRegularFileUpTo(const std::string& path, uint64_t limit, std::string& bytes);

// Two looks at a file see the same one unchanged: the same device and inode, length and
// modification and change times to the nanosecond. A file rewritten in place, even at its old
// length, is another; so is one replaced by a rename.
bool PlatSameFileState(const struct stat& a, const struct stat& b);
