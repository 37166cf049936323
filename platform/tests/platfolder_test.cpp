#include "platform/platfolder.h"

#include "plat_temp_folder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

TEST(PlatFolder, ModuleFolderIsTheExecutablesAndTestsMayReplaceIt)
{
    const std::string own = PlatGetModuleFolder();
    ASSERT_FALSE(own.empty());
    EXPECT_EQ(own.back(), '/');
    EXPECT_EQ(own, std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/");

    PlatTempFolder folder;
    PlatSetModuleFolderForTest(folder.Path());
    EXPECT_EQ(PlatGetModuleFolder(), folder.Path() + "/");
    PlatSetModuleFolderForTest("");
    EXPECT_EQ(PlatGetModuleFolder(), own);
}

// Run in a copy of this binary below a long folder: prints what it finds as its folder.
TEST(PlatFolder, PrintModuleFolderWhenAsked)
{
    if (std::getenv("PLAT_PRINT_MODULE_FOLDER") != nullptr) {
        std::printf("module folder=[%s]\n", PlatGetModuleFolder().c_str());
    }
}

TEST(PlatFolder, ModuleFolderIsNotCutShort)
{
    PlatTempFolder folder;
    std::string deep = folder.Path();
    for (int i = 0; i < 7; ++i) {
        deep += "/" + std::string(100, static_cast<char>('a' + i));
    }
    std::filesystem::create_directories(deep);
    ASSERT_GT(deep.size(), 700u);
    const std::string copy = deep + "/platform_tests";
    std::filesystem::copy_file("/proc/self/exe", copy);
    std::filesystem::permissions(copy, std::filesystem::perms::owner_exec, std::filesystem::perm_options::add);
    const std::string command =
        "PLAT_PRINT_MODULE_FOLDER=1 '" + copy + "' --gtest_filter=PlatFolder.PrintModuleFolderWhenAsked";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, got);
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_NE(output.find("module folder=[" + deep + "/]"), std::string::npos) << output;
}

TEST(PlatFolder, LocalAppDataFollowsXdgThenHome)
{
    ScopedEnv home("HOME", "/home/reader");
    {
        ScopedEnv xdg("XDG_DATA_HOME", "/data/share");
        EXPECT_EQ(PlatGetLocalAppDataFolder(), "/data/share");
    }
    {
        ScopedEnv xdg("XDG_DATA_HOME", "relative/share");
        EXPECT_EQ(PlatGetLocalAppDataFolder(), "/home/reader/.local/share");
    }
    ScopedEnv xdg("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(PlatGetLocalAppDataFolder(), "/home/reader/.local/share");
}

TEST(PlatFolder, TempFolderFollowsTmpdir)
{
    {
        ScopedEnv tmp("TMPDIR", "/var/scratch");
        EXPECT_EQ(PlatGetTempFolder(), "/var/scratch/");
    }
    ScopedEnv tmp("TMPDIR", nullptr);
    EXPECT_EQ(PlatGetTempFolder(), "/tmp/");
}

TEST(PlatFolder, DriveTypeFromMountinfo)
{
    PlatTempFolder folder;
    const std::string root = folder.Path();
    std::filesystem::create_directories(root + "/cd rom/DICOM/IMG");
    std::filesystem::create_directories(root + "/cd rom/inner");
    std::filesystem::create_directories(root + "/cdx");
    std::filesystem::create_directories(root + "/nfs/study");
    std::filesystem::create_directories(root + "/disc");
    std::filesystem::create_directories(root + "/stick");
    std::filesystem::create_directories(root + "/over");
    const std::string mountinfo =
        folder.Write("mountinfo", "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                                  "30 22 11:0 / " +
                                      root +
                                      "/cd\\040rom ro,relatime shared:5 - iso9660 /dev/sr0 ro\n"
                                      "31 30 8:2 / " +
                                      root +
                                      "/cd\\040rom/inner rw - ext4 /dev/sda2 rw\n"
                                      "32 22 0:50 / " +
                                      root +
                                      "/cd ro - udf /dev/loop3 ro\n"
                                      "33 22 0:51 / " +
                                      root +
                                      "/nfs rw,relatime - nfs4 server:/export rw\n"
                                      "34 22 11:1 / " +
                                      root +
                                      "/disc ro - vfat /dev/sr1 ro\n"
                                      "35 22 8:17 / " +
                                      root +
                                      "/stick rw - vfat /dev/sdb1 rw\n"
                                      "36 22 0:52 / " +
                                      root +
                                      "/over rw - ext4 /dev/sda3 rw\n"
                                      "37 36 0:53 / " +
                                      root + "/over ro - iso9660 /dev/loop4 ro\n");
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cd rom/DICOM/IMG", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cd rom/DICOM/IMG/", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cd rom/inner", mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/cdx", mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/nfs/study", mountinfo), PlatDriveType::Remote);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/disc", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/stick", mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/over", mountinfo), PlatDriveType::CdRom);
    EXPECT_EQ(PlatGetDriveTypeFrom(root, mountinfo), PlatDriveType::Fixed);
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/absent", mountinfo), PlatDriveType::None);

    // Through a symbolic link the real location decides.
    std::filesystem::create_directory_symlink(root + "/cd rom/DICOM", root + "/link");
    EXPECT_EQ(PlatGetDriveTypeFrom(root + "/link", mountinfo), PlatDriveType::CdRom);
}

TEST(PlatFolder, DriveTypeOfThisMachine)
{
    EXPECT_NE(PlatGetDriveType("/"), PlatDriveType::None);
    EXPECT_EQ(PlatGetDriveType("/no/such/folder/here"), PlatDriveType::None);
}

namespace {

// A chain of depth folders "d" below folder, made holding one descriptor at a time, with a
// file at the bottom.
bool MakeDeepChain(const std::string& folder, int depth)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int i = 0; i < depth && fd >= 0; ++i) {
        const int next = ::mkdirat(fd, "d", 0700) == 0 ? ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    if (fd < 0) {
        return false;
    }
    const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ::close(fd);
    return file >= 0 && ::close(file) == 0;
}

}   // namespace

// The program's private folders: made 0700, an own folder taken and made 0700, anything else
// under the name (a file, a link, another user's folder) refused untouched.
TEST(PlatFolder, PrivateFoldersAreTheUsersOwnOrRefused)
{
    PlatTempFolder temp;
    ScopedEnv tmpdir("TMPDIR", temp.Path().c_str());
    EXPECT_EQ(PlatGetUserTempFolder(false), "");
    EXPECT_TRUE(std::filesystem::is_empty(temp.Path()));
    const std::string user = PlatGetUserTempFolder();
    EXPECT_EQ(user, temp / ("kestro-" + std::to_string(::geteuid())));
    EXPECT_EQ(PlatGetUserTempFolder(false), user);
    struct stat st {};
    ASSERT_EQ(::lstat(user.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    ASSERT_EQ(::chmod(user.c_str(), 0755), 0);
    EXPECT_EQ(PlatGetUserTempFolder(false), user);
    ASSERT_EQ(::lstat(user.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(PlatGetUserTempFolder(), user);
    ASSERT_EQ(::lstat(user.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    const std::string file = temp.Write("file", "keep");
    EXPECT_FALSE(PlatMakePrivateFolder(file));
    const std::string elsewhere = temp / "elsewhere";
    ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
    const std::string link = temp / "link";
    ASSERT_EQ(::symlink(elsewhere.c_str(), link.c_str()), 0);
    EXPECT_FALSE(PlatMakePrivateFolder(link));
    ASSERT_EQ(::stat(elsewhere.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    std::filesystem::remove_all(user);
    ASSERT_EQ(::symlink(elsewhere.c_str(), user.c_str()), 0);
    EXPECT_EQ(PlatGetUserTempFolder(), "");
    EXPECT_FALSE(PlatDeleteOwnFolder(user));
    EXPECT_TRUE(std::filesystem::is_directory(elsewhere));
    if (::geteuid() == 0) {
        // Only the superuser can hand a folder to another user.
        const std::string other = temp / "other";
        ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
        ASSERT_EQ(::chmod(other.c_str(), 0777), 0);
        temp.Write("other/x", "x");
        ASSERT_EQ(::chown(other.c_str(), 12345, 12345), 0);
        EXPECT_FALSE(PlatMakePrivateFolder(other));
        EXPECT_FALSE(PlatDeleteOwnFolder(other));
        ASSERT_EQ(::stat(other.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0777u);
        EXPECT_TRUE(std::filesystem::exists(other + "/x"));
    }
}

// Deleting a tree holds a few descriptors whatever its depth: a tree 3,000 folders deep goes
// in a process allowed 64, where a descriptor per level would run out. A kept name stays, and
// a link inside is removed, never followed.
TEST(PlatFolder, DeepTreesGoUnderALowDescriptorLimit)
{
    PlatTempFolder temp;
    const std::string tree = temp / "tree";
    ASSERT_EQ(::mkdir(tree.c_str(), 0700), 0);
    ASSERT_TRUE(MakeDeepChain(tree, 3000));
    temp.Write("tree/keep", "k");
    temp.Write("tree/a/b/c", "c");
    const std::string outside = temp.Write("outside/x", "x");
    ASSERT_EQ(::symlink((temp / "outside").c_str(), (tree + "/a/link").c_str()), 0);

    const pid_t child = ::fork();
    if (child == 0) {
        const struct rlimit limit = {64, 64};
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            _exit(3);
        }
        const int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        _exit(fd >= 0 && PlatEmptyFolderAt(fd, "keep") ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(tree)) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"keep"});
    EXPECT_TRUE(std::filesystem::exists(outside));

    ASSERT_TRUE(MakeDeepChain(tree, 10));
    EXPECT_TRUE(PlatDeleteOwnFolder(tree));
    EXPECT_FALSE(std::filesystem::exists(tree));
    EXPECT_TRUE(PlatDeleteOwnFolder(tree));   // missing
}

// A broad tree goes with each folder read once: 8,000 sub-folders cost their own entries and
// "." and ".." of each folder, where reading the top again after each sub-folder would cost
// 8,000 times its 8,000 entries. A stop asked for ends the emptying where it is and leaves the
// rest to a later emptying.
TEST(PlatFolder, BroadTreesAreReadOnceAndAStopLeavesTheRest)
{
    PlatTempFolder temp;
    const std::string tree = temp / "tree";
    ASSERT_EQ(::mkdir(tree.c_str(), 0700), 0);
    const int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto fill = [&](int folders, bool withFile) {
        for (int i = 0; i < folders; ++i) {
            const std::string name = std::to_string(i);
            ASSERT_EQ(::mkdirat(fd, name.c_str(), 0700), 0);
            const int file = withFile ? ::openat(fd, (name + "/IM1").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600) : 0;
            ASSERT_GE(file, 0);
            ::close(file);
        }
    };
    const auto count = [&] {
        size_t entries = 0;
        for (auto it = std::filesystem::recursive_directory_iterator(tree); it != decltype(it)(); ++it) {
            ++entries;
        }
        return entries;
    };
    constexpr uint64_t kBroad = 8000;
    fill(kBroad, false);
    const uint64_t before = PlatEmptyFolderEntriesRead();
    EXPECT_TRUE(PlatEmptyFolderAt(fd));
    const uint64_t read = PlatEmptyFolderEntriesRead() - before;
    EXPECT_EQ(count(), 0u);
    EXPECT_EQ(read, kBroad + 2 * (kBroad + 1));

    // The stop is asked for each entry and each sub-folder: 1,000 at the top, then two for
    // each sub-folder emptied.
    fill(1000, true);
    int asked = 0;
    EXPECT_FALSE(PlatEmptyFolderAt(fd, std::string(), [&] { return ++asked > 1500; }));
    const size_t left = count();
    EXPECT_GT(left, 0u);
    EXPECT_LT(left, 2000u);
    EXPECT_TRUE(PlatEmptyFolderAt(fd));
    EXPECT_EQ(count(), 0u);
    ::close(fd);
}
