#pragma once

// Where the frame counts read a file's header: the file itself or, when it is missing and an
// archive was imported, its member read in place through the archive. A count never
// extracts a member: only what is shown is written.

#include <QString>

#include <cstdint>

class VEK_InputStorage;
class VEK_Manager;

// The file's size, or the size the archive member standing for it declares; false when there
// is neither.
bool XEVSourceSize(const QString& path, uint64_t& size);

// A storage over the file or over the head of its archive member (inflated as far as it is
// read, within headLimit, 0 for kZipHeadLimit); null when neither opens. vek_destroy ends it.
VEK_InputStorage* XEVOpenSourceHeader(VEK_Manager* manager, const QString& path, uint64_t headLimit = 0);
