#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

// Opening a file whose path came from outside (a disc, the command line, a dialog) for
// reading. Only a regular file opens, through links too: a named pipe would hold the open
// until a writer came, and a device such as /dev/zero never ends. Both are refused at once.

// A read-only descriptor in blocking mode, close-on-exec; -1 with errno set otherwise.
int PlatOpenRegularFile(const char* path);
// The same as a binary stdio stream; null otherwise.
std::FILE* PlatOpenRegularStream(const char* path);
// The whole of a regular file appended to bytes; false when it cannot be opened or read.
bool PlatReadRegularFile(const std::string& path, std::string& bytes);

// Two looks at a file see the same one unchanged: the same device and inode, length and
// modification and change times to the nanosecond. A file rewritten in place, even at its old
// length, is another; so is one replaced by a rename.
bool PlatSameFileState(const struct stat& a, const struct stat& b);
