#pragma once

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
