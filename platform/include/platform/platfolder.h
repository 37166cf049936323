#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Folders of the program and the user, UTF-8 with '/'.

// The folder of the running executable, ending in '/'; empty when it cannot be read.
std::string PlatGetModuleFolder();
// Tests point the program folder elsewhere (for its settings files); an empty folder
// restores the executable's own. A folder without a trailing '/' gets one.
void PlatSetModuleFolderForTest(const std::string& folder);

// $XDG_DATA_HOME when it is absolute, else ~/.local/share; no trailing '/'; empty when there
// is no home folder. Nothing is created.
std::string PlatGetLocalAppDataFolder();

// $TMPDIR when it is absolute, else the system's temporary folder; ending in '/'.
std::string PlatGetTempFolder();

enum class PlatDriveType {
    None,   // the path does not exist
    Fixed,
    Remote,   // nfs, cifs, smb3, sshfs
    CdRom,    // iso9660, udf, or a file system on an optical (sr) device
};

// The kind of file system that holds the path: the mount with the longest mount point
// that contains it, from the process's mountinfo.
PlatDriveType PlatGetDriveType(const std::string& path);
PlatDriveType PlatGetDriveTypeFrom(const std::string& path, const std::string& mountinfoPath);

// Makes the folder mode 0700, or takes one that is there when it is a real folder (not a
// link) of this user, and makes it 0700. False otherwise: another user or a plain file holds
// the name, and nothing is changed.
bool PlatMakePrivateFolder(const std::string& path);

// The program's folder of this user in the temporary folder, "kestro-<user id>", made private
// (see PlatMakePrivateFolder); no trailing '/'. Empty when the name is held by someone else.
// With make false nothing is made or changed: the folder when it is there as a real folder of
// this user, else empty.
std::string PlatGetUserTempFolder(bool make = true);

// Deletes what lies in the open folder dirFd and every level below it, never through a link,
// holding at most three descriptors of its own whatever the depth, and reading each folder
// once, but for a folder that a writer named something in after its emptying. A name directly
// in the folder may be kept. stop, when given, is asked between entries:
// true ends the emptying there (false is returned). True when everything else went; false
// when some entry stayed, or when a folder on the way was moved while the walk was below it
// (the walk then stops).
bool PlatEmptyFolderAt(int dirFd, const std::string& keep = std::string(),
                       const std::function<bool()>& stop = std::function<bool()>());
// The folder entries all emptying in this process has read so far: the entries emptied and
// two for each folder, for tests and benchmarks that check the emptying stays linear.
uint64_t PlatEmptyFolderEntriesRead();

// The folder at path and everything in it, when it is a real folder of this user (not a link):
// true when it is gone, also when it was missing. Another user's folder, a link or a file at
// path is left alone (false).
bool PlatDeleteOwnFolder(const std::string& path);
